// The broker goes away, comes back late, or freezes: the ECU's answers still
// decide, nothing the UI needs is lost, and nothing waits for the broker.
#include "e2e_rig.h"

#include "obd2/pid_catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr const char *DEMO_CODES =
    R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}})";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto SHUTDOWN_BOUND = 5s; // the sanitizers' own work at exit
#else
constexpr auto SHUTDOWN_BOUND = 1s;
#endif

void bring_up(e2e_rig &rig, const ecu_profile &vehicle = e2e_vehicle("demo_petrol_11bit.json"))
{
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.plug_in(vehicle));
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
}

std::size_t requests_of(ecu_sim &sim, std::initializer_list<std::uint8_t> prefix)
{
    auto records = ecu_sim_requests(sim);
    return static_cast<std::size_t>(std::count_if(records.begin(), records.end(), [&](const ecu_sim_record &r) {
        return std::equal(prefix.begin(), prefix.end(), r.frame.data);
    }));
}

bool live_message_arrives(e2e_rig &rig)
{
    return rig.ui()
        .wait_for([](const mqtt_test_message &m) { return e2e_message_cmd(m.payload) == 2; }, E2E_TIMEOUT)
        .has_value();
}

// Stops the broker for `outage`, starts it again and resumes the UI's session.
::testing::AssertionResult outage(e2e_rig &rig, std::chrono::milliseconds outage)
{
    rig.broker().stop();
    std::this_thread::sleep_for(outage);
    if (!rig.broker().restart())
        return ::testing::AssertionFailure() << "broker did not start again";
    if (!rig.reconnect_ui())
        return ::testing::AssertionFailure() << "UI did not reconnect";
    return ::testing::AssertionSuccess();
}

} // namespace

// Cycles that the ECU answered are successes whatever the broker does: the
// stream goes on across restarts and an outage.
TEST(E2eBroker, LiveDataGoesOnAcrossRestartsAndAnOutage)
{
    e2e_rig rig(true);
    bring_up(rig);
    ASSERT_TRUE(rig.send_command(2));
    ASSERT_TRUE(live_message_arrives(rig));
    for (int restart = 0; restart < 5; ++restart) {
        ASSERT_TRUE(outage(rig, 0ms)) << "restart " << restart;
        rig.ui().take_all();
        EXPECT_TRUE(live_message_arrives(rig)) << "after restart " << restart;
        std::this_thread::sleep_for(4s);
    }
    ASSERT_TRUE(outage(rig, 5s));
    rig.ui().take_all();
    EXPECT_TRUE(live_message_arrives(rig)) << "after the outage";
    EXPECT_EQ(rig.daemon().count_in_log("OBD2_ERROR : NO COMMUNICATION WITH ECU."), 0u);
}

// The broker goes while the codes are read: each kind is asked once, and the
// document reaches the UI when the broker is back.
TEST(E2eBroker, TroubleCodesReadDuringAnOutageArriveAfterIt)
{
    ecu_profile vehicle = e2e_vehicle("demo_petrol_11bit.json");
    for (std::uint8_t service : {0x03, 0x07, 0x0A})
        vehicle.ecus[0].delays.push_back({{service}, 700});
    e2e_rig rig(true);
    bring_up(rig, vehicle);
    ASSERT_TRUE(rig.send_command(1));
    ASSERT_TRUE(ecu_sim_wait_for(
        rig.sim(),
        [](const std::vector<ecu_sim_record> &records) {
            return std::any_of(records.begin(), records.end(),
                               [](const ecu_sim_record &r) { return r.frame.data[1] == 0x03; });
        },
        E2E_TIMEOUT));
    rig.broker().stop();
    ASSERT_NE(rig.daemon().wait_for_log("final json:", E2E_TIMEOUT), std::string::npos);
    std::this_thread::sleep_for(1500ms); // retries, had the failed publication counted
    ASSERT_TRUE(rig.broker().restart());
    ASSERT_TRUE(rig.reconnect_ui());
    EXPECT_TRUE(rig.skip_until(DEMO_CODES));
    for (std::uint8_t service : {0x03, 0x07, 0x0A})
        EXPECT_EQ(requests_of(rig.sim(), {0x01, service}), 1u) << "service " << int(service);
}

// The clear goes to the ECU once, and DTC_CLEARED reaches the UI afterwards.
TEST(E2eBroker, ClearDuringAnOutageIsSentOnceAndReported)
{
    e2e_rig rig(true);
    bring_up(rig);
    ASSERT_TRUE(rig.send_command(4));
    rig.broker().stop();
    ASSERT_NE(rig.daemon().wait_for_log("OBD2: DTCs cleared successfully.", E2E_TIMEOUT), std::string::npos);
    ASSERT_NE(rig.daemon().wait_for_log("kept for the UI: " + e2e_status("DTC_CLEARED", 4), E2E_TIMEOUT),
              std::string::npos);
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(rig.broker().restart());
    ASSERT_TRUE(rig.reconnect_ui());
    EXPECT_TRUE(rig.skip_until(e2e_status("DTC_CLEARED", 4)));
    // The demo vehicle answers "response pending" twice: one clear is three requests.
    EXPECT_EQ(requests_of(rig.sim(), {0x01, 0x04}), 3u);
}

// The vehicle is there before the daemon: its first words go out before the
// link is up, and still reach the UI once each, in order.
TEST(E2eBroker, StartWithTheEcuPresentReportsEveryWordOnce)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    std::vector<std::string> after;
    ASSERT_TRUE(rig.skip_until(e2e_status("ECU"), &after));
    EXPECT_TRUE(after.empty()) << after.front();
}

// No broker for the first 10 s: the vehicle is read once, the daemon waits
// quietly, and the UI gets the bring-up's words when the broker comes.
TEST(E2eBroker, StartWithoutBrokerReadsTheVehicleOnceAndReportsLater)
{
    e2e_rig rig(true); // the UI's session is kept while the broker is down
    rig.broker().stop();
    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config(), e2e_standard_config(), false));
    std::this_thread::sleep_for(10s);
    const auto cpu = rig.daemon().cpu_time();
    EXPECT_LT(cpu, 1000ms) << "10 s without a broker";
    EXPECT_EQ(requests_of(rig.sim(), {0x02, 0x09, 0x02}), 1u) << "VIN asked more than once";

    ASSERT_TRUE(rig.broker().restart());
    ASSERT_TRUE(rig.reconnect_ui());
    EXPECT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    EXPECT_EQ(requests_of(rig.sim(), {0x02, 0x09, 0x02}), 1u);
}

// A frozen broker holds nothing up: heartbeats to the ECU go on and relay
// packets delivered just before the freeze are applied; once it thaws the
// link is found again and commands are answered.
TEST(E2eBroker, FrozenBrokerStallsNeitherTheEcuNorTheRelays)
{
    e2e_rig rig;
    bring_up(rig);
    ASSERT_TRUE(rig.skip_until(e2e_status("ECU")));
    const std::size_t mark = rig.daemon().log_mark();
    ASSERT_TRUE(rig.send_command(3));
    ASSERT_TRUE(rig.send(R"({"TYP":2,"DATA":{"params":{"DO":{"DO0":1}}}})"));
    ASSERT_TRUE(rig.send(R"({"TYP":2,"DATA":{"params":{"DO":{"DO11":1}}}})"));
    rig.broker().pause();
    const std::size_t heartbeats = requests_of(rig.sim(), {0x02, 0x01, 0x00});
    std::this_thread::sleep_for(30s);
    const std::size_t during = requests_of(rig.sim(), {0x02, 0x01, 0x00}) - heartbeats;
    rig.broker().resume();
    EXPECT_GE(during, 4u) << "heartbeats while the broker was frozen";
    EXPECT_NE(rig.daemon().wait_for_log("SIM_GPIO : gpiochip4 line 10 -> low", 1s, mark), std::string::npos);
    EXPECT_NE(rig.daemon().wait_for_log("SIM_GPIO : gpiochip0 line 13 -> low", 1s, mark), std::string::npos);

    ASSERT_TRUE(rig.reconnect_ui());
    ASSERT_NE(rig.daemon().wait_for_log("INTR_MQTT_INFO : successfully Subscribed topics", E2E_TIMEOUT, mark),
              std::string::npos);
    ASSERT_TRUE(rig.send_command(1));
    EXPECT_TRUE(rig.skip_until(DEMO_CODES));
}

// SIGTERM (systemctl stop) in the middle of a live stream: a clean exit,
// status 0, the MQTT session closed with a DISCONNECT.
TEST(E2eBroker, SigtermEndsTheDaemonCleanly)
{
    e2e_rig rig;
    bring_up(rig);
    ASSERT_TRUE(rig.send_command(2));
    ASSERT_TRUE(live_message_arrives(rig));
    const std::string log_path = rig.daemon().log_path();
    const std::optional<int> status = rig.daemon().terminate(SIGTERM, SHUTDOWN_BOUND);
    ASSERT_TRUE(status) << "still running after " << SHUTDOWN_BOUND.count() << " s";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    EXPECT_NE(read_text_file(log_path).find("MAIN_INFO : SIGTERM received: OBD session stopped, relays "
                                            "released, MQTT session closed."),
              std::string::npos);
    EXPECT_NE(rig.broker().log().find("Client mqtt_internal_broker disconnected."), std::string::npos)
        << rig.broker().log();
}

// SIGTERM in the middle of the PID scan: every further exchange fails at
// once, and that is no finding. Nothing more reaches the UI, the ECU info
// file keeps what it held, the bus gets no further request, and the exit is
// clean.
TEST(E2eBroker, SigtermDuringThePidScanPublishesAndWritesNothingMore)
{
    ecu_profile vehicle = e2e_vehicle("demo_petrol_11bit.json");
    vehicle.ecus[0].delays.push_back({{0x01}, 50});      // the scan takes seconds,
    vehicle.ecus[0].delays.push_back({{0x01, 0x00}, 0}); // detection does not
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.plug_in(vehicle));
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO"}));
    const std::string ecu_info_before = read_text_file(rig.ecu_info_path());
    ASSERT_TRUE(ecu_sim_wait_for(
        rig.sim(), [](const std::vector<ecu_sim_record> &r) { return e2e_scanned_pids(r).size() >= 5; },
        E2E_TIMEOUT));

    const std::size_t asked_before = e2e_scanned_pids(ecu_sim_requests(rig.sim())).size();
    const std::optional<int> status = rig.daemon().terminate(SIGTERM, SHUTDOWN_BOUND);
    ASSERT_TRUE(status) << "still running after " << SHUTDOWN_BOUND.count() << " s";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;

    std::this_thread::sleep_for(500ms); // anything still under way to the UI
    for (const auto &m : rig.ui().take_all())
        ADD_FAILURE() << "published after GOTINFO: " << m.payload;
    EXPECT_EQ(read_text_file(rig.ecu_info_path()), ecu_info_before);
    EXPECT_FALSE(file_exists(rig.ecu_info_path() + ".tmp"));
    const std::size_t asked = e2e_scanned_pids(ecu_sim_requests(rig.sim())).size();
    EXPECT_LE(asked, asked_before + 1) << "the scan went on after the signal";
    EXPECT_LT(asked, static_cast<std::size_t>(num_pids));
}
