// An engine and a transmission ECU on one bus, the second answering every
// functional request 8 ms after the first: each answer is matched to its
// request and its ECU.
#include "e2e_rig.h"

#include "c_handles.h"
#include "obd2/pid_catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// The engine ECU's own answer to `01 pid`, asked of a fresh engine.
bool engine_answers_pid(const ecu_profile &profile, std::uint8_t pid)
{
    ecu_engine engine;
    ecu_engine_reset(engine, profile);
    return ecu_engine_answer(engine, 0, byte_vector{0x01, pid}).has_value();
}

std::string ecu_info_text(const cJSON *ecu_info, const char *name)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(ecu_info, name);
    return cJSON_IsString(item) ? item->valuestring : "<missing>";
}

void bring_up(e2e_rig &rig, const ecu_profile &vehicle)
{
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.plug_in(vehicle));
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    ASSERT_NE(rig.daemon().wait_for_log("OBD2_INFO : ECU info saved to", E2E_TIMEOUT,
                                        rig.daemon().log().find("SAVSUC")),
              std::string::npos);
}

// The value of `key` in every live data message among `messages`.
std::vector<std::string> live_values(const std::vector<std::string> &messages, const char *key)
{
    std::vector<std::string> values;
    for (const std::string &m : messages) {
        json_ptr doc(cJSON_Parse(m.c_str()));
        const cJSON *data = cJSON_GetObjectItemCaseSensitive(doc.get(), "DATA");
        const cJSON *value = cJSON_GetObjectItemCaseSensitive(data, key);
        if (e2e_message_cmd(m) == 2 && cJSON_IsNumber(value))
            values.push_back(std::to_string(value->valueint));
    }
    return values;
}

} // namespace

TEST(E2eTwoEcus, EngineEcuIdentifiesTheVehicleAndBothReportCodes)
{
    const ecu_profile vehicle = e2e_vehicle("two_ecus_11bit.json");
    e2e_rig rig;
    bring_up(rig, vehicle);

    // Identification and the ECU info file are the engine ECU's.
    json_ptr info(cJSON_Parse(read_text_file(rig.ecu_info_path()).c_str()));
    const cJSON *ecu = cJSON_GetObjectItemCaseSensitive(info.get(), "ECU_INFO");
    EXPECT_EQ(ecu_info_text(ecu, "VID"), "ZZZDEM0TW0ECU0004");
    EXPECT_EQ(ecu_info_text(ecu, "CID"), "DEMOCAL-ECM");
    EXPECT_EQ(ecu_info_text(ecu, "CVN"), "01DEADBEEF");
    EXPECT_EQ(ecu_info_text(ecu, "ECUNM"), "ECM-EngineControl");
    const cJSON *live = cJSON_GetObjectItemCaseSensitive(info.get(), "LIVE_PIDS");
    for (int row = 0; row < num_pids; ++row) {
        const cJSON *flag = cJSON_GetObjectItemCaseSensitive(live, short_keys[row]);
        EXPECT_EQ(cJSON_IsNumber(flag) ? flag->valueint : -1, engine_answers_pid(vehicle, pids[row].pid) ? 1 : 0)
            << short_keys[row];
    }
    EXPECT_NE(rig.daemon().log().find("OBD2_INFO : Detected ECU with 11-bit mode."), std::string::npos);

    // Each ECU's stored codes are kept only where that ECU reports them
    // pending (the engine ECU's P0133 is pending only at the transmission
    // ECU); the lists are merged in ECU order, a code both report once.
    const std::string merged = R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420","P0700"],)"
                               R"("PNDDTC":["P0420","U0100","P0700","P0133"],"PRMDTC":["P0420","P0700"]}})";
    for (int round = 0; round < 10; ++round) {
        ASSERT_TRUE(rig.send_command(1));
        auto answer = rig.ui().wait_for([](const mqtt_test_message &m) { return e2e_message_cmd(m.payload) == 1; },
                                        E2E_TIMEOUT);
        ASSERT_TRUE(answer) << "round " << round;
        EXPECT_EQ(answer->payload, merged) << "round " << round;
    }

    // Live values are the engine ECU's: its speeds are 0 and 40 km/h, the
    // transmission ECU's 100.
    ASSERT_TRUE(rig.send_command(2));
    std::vector<std::string> messages;
    while (live_values(messages, "SPD").size() < 4) {
        auto m = rig.next_message();
        ASSERT_TRUE(m);
        messages.push_back(m->payload);
    }
    ASSERT_TRUE(rig.send_command(3));
    for (const std::string &speed : live_values(messages, "SPD"))
        EXPECT_TRUE(speed == "0" || speed == "40") << speed;
}

// Clearing is one functional request; the engine ECU's confirmation counts.
TEST(E2eTwoEcus, OneClearReachesBothEcus)
{
    e2e_rig rig;
    bring_up(rig, e2e_vehicle("two_ecus_11bit.json"));
    ASSERT_TRUE(rig.send_command(4));
    ASSERT_TRUE(rig.skip_until(e2e_status("DTC_CLEARED", 4)));
    const ecu_profile after = ecu_sim_profile(rig.sim());
    EXPECT_TRUE(after.ecus[0].stored_dtcs.empty());
    EXPECT_TRUE(after.ecus[1].stored_dtcs.empty());
}

// On 29 bits the daemon hears the engine ECU (address 0x10) only; the second
// ECU's answers never reach it and disturb nothing.
TEST(E2eTwoEcus, TwentyNineBitVehicleIsTheEngineEcus)
{
    e2e_rig rig;
    bring_up(rig, e2e_vehicle("two_ecus_29bit.json"));
    json_ptr info(cJSON_Parse(read_text_file(rig.ecu_info_path()).c_str()));
    const cJSON *ecu = cJSON_GetObjectItemCaseSensitive(info.get(), "ECU_INFO");
    EXPECT_EQ(ecu_info_text(ecu, "VID"), "ZZZDEM029BT000005");
    EXPECT_EQ(ecu_info_text(ecu, "PROTO"), "ISO15765-4 (29-bit)");
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(rig.send_command(1));
        EXPECT_TRUE(rig.skip_until(R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0301"],"PNDDTC":["P0301"],"PRMDTC":[]}})"))
            << "round " << round;
    }
}

namespace {

// The next heartbeat word ("ECU" or "NOECU") the UI gets, "" when none comes.
std::string next_heartbeat_word(e2e_rig &rig)
{
    auto message = rig.ui().wait_for(
        [](const mqtt_test_message &m) {
            const std::string word = e2e_status_word(m.payload);
            return word == "ECU" || word == "NOECU";
        },
        E2E_TIMEOUT);
    return message ? e2e_status_word(message->payload) : "";
}

} // namespace

// The heartbeat is the engine ECU's, and only its answer to this very
// heartbeat counts: the transmission ECU's answer, 8 ms behind, left queued,
// must not vouch for a car switched off since, nor may the transmission ECU
// stand in for an engine ECU that went silent. Either way the first heartbeat
// after the silence says NOECU.
TEST(E2eTwoEcus, HeartbeatTakesOnlyTheEngineEcusFreshAnswer)
{
    const ecu_profile vehicle = e2e_vehicle("two_ecus_11bit.json");
    e2e_rig rig;
    bring_up(rig, vehicle);

    ASSERT_EQ(next_heartbeat_word(rig), "ECU");
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the transmission ECU's answer is queued by now
    rig.set_unplugged(true);
    const auto silent_since = std::chrono::steady_clock::now();
    EXPECT_EQ(next_heartbeat_word(rig), "NOECU");
    // Within one heartbeat period (four 1 s passes and the exchange), with room for load.
    EXPECT_LT(std::chrono::steady_clock::now() - silent_since, std::chrono::seconds(10));

    rig.set_unplugged(false);
    ASSERT_TRUE(rig.expect_words({"GOTECU", "MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    ASSERT_EQ(next_heartbeat_word(rig), "ECU");
    ecu_profile without_engine = vehicle;
    without_engine.ecus.erase(without_engine.ecus.begin());
    ecu_sim_set_profile(rig.sim(), without_engine);
    EXPECT_EQ(next_heartbeat_word(rig), "NOECU");
}
