// UI commands against an answering vehicle, through the real broker, the
// daemon process and the ECU simulator.
#include "e2e_rig.h"

#include "c_handles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>

namespace {

using namespace std::chrono_literals;

constexpr const char *DEMO_CODES =
    R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}})";
// Clearing leaves the permanent code, as on a real vehicle.
constexpr const char *CLEARED_CODES =
    R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":[],"PNDDTC":[],"PRMDTC":["P0420"]}})";

// A rig whose daemon has identified the demo vehicle and is idle.
void bring_up(e2e_rig &rig, const ecu_profile &vehicle = e2e_vehicle("demo_petrol_11bit.json"))
{
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.plug_in(vehicle));
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
}

// Keys of a live data message's "DATA", in order; empty when it is not one.
std::vector<std::string> live_keys(const std::string &payload)
{
    std::vector<std::string> keys;
    json_ptr doc(cJSON_Parse(payload.c_str()));
    const cJSON *data = cJSON_GetObjectItemCaseSensitive(doc.get(), "DATA");
    if (e2e_message_cmd(payload) != 2 || !cJSON_IsObject(data))
        return keys;
    for (const cJSON *item = data->child; item; item = item->next)
        keys.emplace_back(item->string);
    return keys;
}

std::size_t requests_with_prefix(ecu_sim &sim, std::initializer_list<std::uint8_t> prefix)
{
    auto records = ecu_sim_requests(sim);
    return std::count_if(records.begin(), records.end(), [&](const ecu_sim_record &r) {
        return std::equal(prefix.begin(), prefix.end(), r.frame.data);
    });
}

bool wait_for_request(ecu_sim &sim, std::initializer_list<std::uint8_t> prefix, std::size_t count)
{
    return ecu_sim_wait_for(
        sim,
        [&](const std::vector<ecu_sim_record> &records) {
            return static_cast<std::size_t>(std::count_if(records.begin(), records.end(), [&](const ecu_sim_record &r) {
                       return std::equal(prefix.begin(), prefix.end(), r.frame.data);
                   })) >= count;
        },
        E2E_TIMEOUT);
}

} // namespace

TEST(E2eCommands, ReadsTroubleCodesThenIdles)
{
    e2e_rig rig;
    bring_up(rig);
    ASSERT_TRUE(rig.send_command(1));
    std::vector<std::string> before;
    ASSERT_TRUE(rig.skip_until(DEMO_CODES, &before));
    for (const auto &m : before)
        EXPECT_EQ(e2e_status_word(m), "ECU") << m;
    // Back in IDLE: the heartbeat runs again.
    EXPECT_TRUE(rig.skip_until(e2e_status("ECU")));
}

TEST(E2eCommands, StreamsLiveDataUntilStopped)
{
    e2e_rig rig;
    bring_up(rig);
    ASSERT_TRUE(rig.send_command(2));
    for (int cycle = 0; cycle < 3; ++cycle) {
        auto message = rig.next_message();
        ASSERT_TRUE(message);
        if (e2e_status_word(message->payload) == "ECU") {
            --cycle; // a heartbeat from before the command
            continue;
        }
        EXPECT_EQ(live_keys(message->payload), (std::vector<std::string>{"ENGRPM", "SPD", "COLTMP"}))
            << message->payload;
    }

    ASSERT_TRUE(rig.send_command(3));
    std::vector<std::string> after_stop;
    ASSERT_TRUE(rig.skip_until(e2e_status("ECU"), &after_stop));
    EXPECT_LE(after_stop.size(), 1u) << "at most the cycle under way when CMD 3 came";
    std::vector<std::string> between_heartbeats;
    ASSERT_TRUE(rig.skip_until(e2e_status("ECU"), &between_heartbeats));
    EXPECT_TRUE(between_heartbeats.empty()) << between_heartbeats.front();
}

TEST(E2eCommands, ClearsTroubleCodesAfterResponsePendingAnswers)
{
    e2e_rig rig;
    bring_up(rig);
    ASSERT_TRUE(rig.send_command(4));
    std::vector<std::string> before;
    ASSERT_TRUE(rig.skip_until(e2e_status("DTC_CLEARED", 4), &before));
    for (const auto &m : before)
        EXPECT_EQ(e2e_status_word(m), "ECU") << m;

    // The demo vehicle answers 7F 04 78 twice before the positive answer.
    EXPECT_EQ(requests_with_prefix(rig.sim(), {0x01, 0x04}), 3u);
    EXPECT_EQ(rig.daemon().count_in_log("OBD2: ECU busy clearing DTCs (NRC=0x78). Retrying..."), 2u);
    EXPECT_TRUE(ecu_sim_profile(rig.sim()).ecus[0].stored_dtcs.empty());

    ASSERT_TRUE(rig.send_command(1));
    EXPECT_TRUE(rig.skip_until(CLEARED_CODES));
}

TEST(E2eCommands, ReloadReadsTheConfigurationAgainWithoutRescan)
{
    e2e_rig rig;
    bring_up(rig);
    const std::size_t mark = rig.daemon().log_mark();
    ecu_sim_clear_log(rig.sim());
    ASSERT_TRUE(write_text_file(rig.config_dir() + "/config.json", R"({
        "can_port": { "padding": 170, "BR": 250000 },
        "live_page": { "sensors": [ { "name": "SPD", "show": 1 } ] },
        "show_dtc": { "STRDTC": 1, "PNDDTC": 1 }
    })"));

    ASSERT_TRUE(rig.send_command(10));
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    const auto &d = rig.daemon();
    EXPECT_NE(d.wait_for_log("SIM_SHELL : sudo ip link set can0 up type can bitrate 250000", 1s, mark),
              std::string::npos);
    EXPECT_NE(d.wait_for_log("ECU info matches saved file. Skipping PID scan and JSON update.", 1s, mark),
              std::string::npos);
    EXPECT_TRUE(e2e_scanned_pids(ecu_sim_requests(rig.sim())).empty()) << "the known vehicle was scanned again";

    ASSERT_TRUE(rig.send_command(2));
    std::optional<mqtt_test_message> live;
    while ((live = rig.next_message()) && e2e_status_word(live->payload) == "ECU") {
    }
    ASSERT_TRUE(live);
    EXPECT_EQ(live_keys(live->payload), std::vector<std::string>{"SPD"}) << live->payload;
    ASSERT_TRUE(rig.send_command(3));
}

// The hand-over waits for a heartbeat exchange under way and then takes over.
TEST(E2eCommands, CommandDuringHeartbeatIsNotLost)
{
    ecu_profile vehicle = e2e_vehicle("demo_petrol_11bit.json");
    vehicle.ecus[0].delays.push_back({byte_vector{0x01, 0x00}, 50}); // a slow heartbeat answer
    e2e_rig rig;
    bring_up(rig, vehicle);

    for (int round = 0; round < 3; ++round) {
        const std::size_t asked = requests_with_prefix(rig.sim(), {0x02, 0x01, 0x00});
        ASSERT_TRUE(wait_for_request(rig.sim(), {0x02, 0x01, 0x00}, asked + 1));
        ASSERT_TRUE(rig.send_command(1));
        EXPECT_TRUE(rig.skip_until(DEMO_CODES)) << "round " << round;
    }
}

// Commands arriving every 15 ms while an unplugged ECU comes back: the
// heartbeat that finds it again publishes "ECU" and "GOTECU" while the MQTT
// library's thread is busy handing commands over. Nothing may wait for that
// thread: the bring-up follows and a later command is answered.
TEST(E2eCommands, CommandBurstWhileTheEcuComesBackLocksNothingUp)
{
    ecu_profile vehicle = e2e_vehicle("demo_petrol_11bit.json");
    vehicle.ecus[0].delays.push_back({byte_vector{0x01, 0x00}, 60}); // a wide heartbeat window
    e2e_rig rig;
    bring_up(rig, vehicle);
    rig.set_unplugged(true);
    ASSERT_TRUE(rig.skip_until(e2e_status("NOECU", 0, 1)));

    // A second client: the rig's own client is read by this thread.
    mqtt_test_client burst(rig.broker_uri());
    ASSERT_TRUE(burst.connect());
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop)
            if (burst.publish("dt/ui_to_app/cmd", R"({"TYP":1,"CMD":3})", 0))
                std::this_thread::sleep_for(15ms);
    });
    rig.set_unplugged(false);
    const bool found_again = rig.skip_until(e2e_status("GOTECU"));
    stop = true;
    sender.join();
    ASSERT_TRUE(found_again);
    ASSERT_TRUE(rig.skip_until(e2e_status("SAVSUC")));
    ASSERT_TRUE(rig.send_command(1));
    EXPECT_TRUE(rig.skip_until(DEMO_CODES));
}

// A command handed over while another executes is not overwritten by the
// executing command's return to IDLE.
TEST(E2eCommands, CommandWhileExecutingIsNotLost)
{
    e2e_rig rig;
    bring_up(rig);

    ASSERT_TRUE(rig.send_command(4));
    ASSERT_TRUE(wait_for_request(rig.sim(), {0x01, 0x04}, 1));
    ASSERT_TRUE(rig.send_command(1)); // arrives during the clear and its 4 s pause
    std::vector<std::string> skipped;
    ASSERT_TRUE(rig.skip_until(e2e_status("DTC_CLEARED", 4), &skipped));
    EXPECT_TRUE(rig.skip_until(CLEARED_CODES));

    // The same during a live stream.
    ASSERT_TRUE(rig.send_command(2));
    ASSERT_TRUE(rig.ui().wait_for([](const mqtt_test_message &m) { return e2e_message_cmd(m.payload) == 2; },
                                  E2E_TIMEOUT));
    ASSERT_TRUE(rig.send_command(1));
    EXPECT_TRUE(rig.skip_until(CLEARED_CODES));
}

// A command with nothing to do ends at once, publishing nothing: the
// heartbeat goes on after each, and the next real command runs.
TEST(E2eCommands, CommandsWithNothingToDoEndAtOnce)
{
    e2e_rig rig;
    bring_up(rig);
    const std::size_t start = rig.daemon().log_mark();
    // A code without action, an unreadable CMD (read as -1), CMD 0.
    const std::pair<const char *, const char *> commands[] = {
        {R"({"TYP":1,"CMD":5})", "[DEBUG] TYP=1, CMD=5"},
        {R"({"TYP":1,"CMD":"4"})", "[DEBUG] TYP=1, CMD=-1"},
        {R"({"TYP":1,"CMD":0})", "[DEBUG] TYP=1, CMD=0"},
    };
    for (const auto &[command, parsed] : commands) {
        SCOPED_TRACE(command);
        const std::size_t mark = rig.daemon().log_mark();
        ASSERT_TRUE(rig.send(command));
        ASSERT_NE(rig.daemon().wait_for_log(parsed, E2E_TIMEOUT, mark), std::string::npos);
        rig.ui().take_all();
        std::vector<std::string> skipped;
        ASSERT_TRUE(rig.skip_until(e2e_status("ECU"), &skipped));
        EXPECT_TRUE(skipped.empty()) << skipped.front();
    }
    // Read once, not again and again.
    EXPECT_EQ(rig.daemon().count_in_log("OBD2_ERROR : CAN command detection failed.", start), 1u);
    ASSERT_TRUE(rig.send_command(1));
    EXPECT_TRUE(rig.skip_until(DEMO_CODES));
}

TEST(E2eCommands, RelayPacketSwitchesRelays)
{
    e2e_rig rig;
    bring_up(rig);
    const std::size_t mark = rig.daemon().log_mark();
    ASSERT_TRUE(rig.send(R"({"TYP":2,"DATA":{"params":{"DO":{"DO3":1,"DO7":1}}}})"));
    const auto &d = rig.daemon();
    EXPECT_NE(d.wait_for_log("DO_INFO : relay 3 ON", E2E_TIMEOUT, mark), std::string::npos);
    EXPECT_NE(d.wait_for_log("DO_INFO : relay 7 ON", E2E_TIMEOUT, mark), std::string::npos);
    ASSERT_TRUE(rig.send(R"({"TYP":2,"DATA":{"params":{"DO":{"DO3":0}}}})"));
    EXPECT_NE(d.wait_for_log("DO_INFO : relay 3 OFF", E2E_TIMEOUT, mark), std::string::npos);
    // Relay packets get no answer; the OBD side is undisturbed.
    ASSERT_TRUE(rig.send_command(1));
    std::vector<std::string> skipped;
    EXPECT_TRUE(rig.skip_until(DEMO_CODES, &skipped));
    for (const auto &m : skipped)
        EXPECT_EQ(e2e_status_word(m), "ECU") << m;
}

// Readiness and the freeze frame of the demo vehicle, then a clear: every
// monitor it supports is incomplete again and the frame is gone. A silent
// vehicle gets NORES with the command's CMD once its retries are spent.
TEST(E2eCommands, ReadinessAndFreezeFrameBeforeAndAfterAClear)
{
    const std::string readiness = R"({"TYP":1,"CMD":20,"DATA":{"MIL":1,"DTC_COUNT":2,"IGNITION":"spark","MONITORS":{)"
                                  R"("MISFIRE":"complete","FUEL_SYSTEM":"complete","COMPONENTS":"complete",)"
                                  R"("CATALYST":"complete","HEATED_CATALYST":"unsupported","EVAP_SYSTEM":"incomplete",)"
                                  R"("SECONDARY_AIR":"unsupported","AC_REFRIGERANT":"unsupported",)"
                                  R"("O2_SENSOR":"complete","O2_SENSOR_HEATER":"complete","EGR_VVT":"incomplete"}}})";
    const std::string frame = R"({"TYP":1,"CMD":21,"DATA":{"DTC":"P0420","VALUES":{"ENGLD":29.80,"COLTMP":90.00,)"
                              R"("INTPRS":40.00,"ENGRPM":850.00,"SPD":0.00,"STFT1":0.78}}})";
    const std::string cleared = R"({"TYP":1,"CMD":20,"DATA":{"MIL":0,"DTC_COUNT":0,"IGNITION":"spark","MONITORS":{)"
                                R"("MISFIRE":"incomplete","FUEL_SYSTEM":"incomplete","COMPONENTS":"incomplete",)"
                                R"("CATALYST":"incomplete","HEATED_CATALYST":"unsupported","EVAP_SYSTEM":"incomplete",)"
                                R"("SECONDARY_AIR":"unsupported","AC_REFRIGERANT":"unsupported",)"
                                R"("O2_SENSOR":"incomplete","O2_SENSOR_HEATER":"incomplete","EGR_VVT":"incomplete"}}})";
    e2e_rig rig;
    bring_up(rig);
    ASSERT_TRUE(rig.send_command(20));
    EXPECT_TRUE(rig.skip_until(readiness));
    ASSERT_TRUE(rig.send_command(21));
    EXPECT_TRUE(rig.skip_until(frame));

    ASSERT_TRUE(rig.send_command(4));
    ASSERT_TRUE(rig.skip_until(e2e_status("DTC_CLEARED", 4)));
    ASSERT_TRUE(rig.send_command(20));
    EXPECT_TRUE(rig.skip_until(cleared));
    ASSERT_TRUE(rig.send_command(21));
    EXPECT_TRUE(rig.skip_until(R"({"TYP":1,"CMD":21,"DATA":{"DTC":"","VALUES":{}}})"));
    // Nothing is asked of a frame that is not there.
    EXPECT_EQ(requests_with_prefix(rig.sim(), {0x03, 0x02, 0x00}), 1u);

    // Silence: four attempts, then one NORES.
    const std::size_t asked = requests_with_prefix(rig.sim(), {0x02, 0x01, 0x01});
    rig.set_unplugged(true);
    ASSERT_TRUE(rig.send_command(20));
    EXPECT_TRUE(rig.skip_until(e2e_status("NORES", 20, 1)));
    EXPECT_EQ(requests_with_prefix(rig.sim(), {0x02, 0x01, 0x01}) - asked, 4u);
}
