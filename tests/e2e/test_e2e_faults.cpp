// The vehicle goes away, comes back, never answers: what the UI is told.
#include "e2e_rig.h"

#include "c_handles.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const std::string NOECU = e2e_status("NOECU", 0, 1);

void bring_up_with(e2e_rig &rig, const ecu_profile &vehicle)
{
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.plug_in(vehicle));
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
}

void bring_up(e2e_rig &rig) { bring_up_with(rig, e2e_vehicle("demo_petrol_11bit.json")); }

std::string ecu_info_member(const e2e_rig &rig, const char *name)
{
    json_ptr doc(cJSON_Parse(read_text_file(rig.ecu_info_path()).c_str()));
    const cJSON *ecu = cJSON_GetObjectItemCaseSensitive(doc.get(), "ECU_INFO");
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(ecu, name);
    return cJSON_IsString(item) ? item->valuestring : "<missing>";
}

std::size_t count_equal(const std::vector<std::string> &messages, const std::string &payload)
{
    return static_cast<std::size_t>(std::count(messages.begin(), messages.end(), payload));
}

} // namespace

TEST(E2eFaults, UnpluggedEcuIsReportedAndFoundAgainWithoutRescan)
{
    e2e_rig rig;
    bring_up(rig);
    ASSERT_TRUE(rig.skip_until(e2e_status("ECU")));

    const std::size_t mark = rig.daemon().log_mark();
    rig.set_unplugged(true);
    ASSERT_TRUE(rig.skip_until(NOECU));
    std::vector<std::string> between;
    ASSERT_TRUE(rig.skip_until(NOECU, &between));
    EXPECT_TRUE(between.empty());
    // The record is reset once, at the loss, keeping the fingerprint.
    EXPECT_EQ(rig.daemon().count_in_log("OBD2_INFO : RESETING SUPPORTED PID CONFIG FILE", mark), 1u);
    EXPECT_EQ(ecu_info_member(rig, "PROTO"), "UNKNOWN");
    EXPECT_EQ(ecu_info_member(rig, "VID"), "ZZZDEM0PETR0L0001");

    ecu_sim_clear_log(rig.sim());
    rig.set_unplugged(false);
    ASSERT_TRUE(rig.expect_words({"ECU", "GOTECU", "MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    EXPECT_TRUE(e2e_scanned_pids(ecu_sim_requests(rig.sim())).empty()) << "the known vehicle was scanned";
    EXPECT_NE(rig.daemon().wait_for_log("ECU info matches saved file. Skipping PID scan", E2E_TIMEOUT, mark),
              std::string::npos);
    EXPECT_TRUE(rig.skip_until(e2e_status("ECU")));
}

TEST(E2eFaults, CommandsWithoutAnyDetectedEcuReportComer)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
    rig.set_unplugged(true);
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.skip_until(NOECU)); // detection keeps failing

    ASSERT_TRUE(rig.send_command(1));
    ASSERT_TRUE(rig.skip_until(e2e_status("COMER", 1, 1)));
    EXPECT_NE(rig.daemon().wait_for_log(
                  "OBD2_ERROR : Error while communicating with ecu device [ecu count] : [ 0 ]", E2E_TIMEOUT),
              std::string::npos);
    ASSERT_TRUE(rig.send_command(2));
    ASSERT_TRUE(rig.skip_until(e2e_status("COMER", 2, 1)));

    // Clearing with no ECU known does nothing and ends; detection goes on.
    ASSERT_TRUE(rig.send_command(4));
    ASSERT_NE(rig.daemon().wait_for_log("[DEBUG] TYP=1, CMD=4", E2E_TIMEOUT), std::string::npos);
    ASSERT_TRUE(rig.send_command(1));
    std::vector<std::string> skipped;
    ASSERT_TRUE(rig.skip_until(e2e_status("COMER", 1, 1), &skipped));
    for (const auto &m : skipped)
        EXPECT_EQ(m, NOECU);

    // Each COMER ends its command (no retry) and the bring-up goes on with
    // detection, which finds the vehicle once it answers.
    rig.set_unplugged(false);
    skipped.clear();
    ASSERT_TRUE(rig.skip_until(e2e_status("MODEDETECTED"), &skipped));
    EXPECT_EQ(count_equal(skipped, e2e_status("COMER", 1, 1)), 0u);
    EXPECT_TRUE(rig.expect_words({"GOTINFO", "GOTPID", "SAVSUC"}));
}

TEST(E2eFaults, SilentEcuGetsFourNoResponsePacketsForLiveData)
{
    e2e_rig rig;
    bring_up(rig);
    const std::size_t mark = rig.daemon().log_mark();
    rig.set_unplugged(true);
    ASSERT_TRUE(rig.send_command(2));

    const std::string nores = e2e_status("NORES", 2, 1);
    std::vector<std::string> skipped;
    for (int attempt = 0; attempt < 4; ++attempt)
        ASSERT_TRUE(rig.skip_until(nores, &skipped)) << "attempt " << attempt;
    for (const auto &m : skipped)
        EXPECT_EQ(e2e_status_word(m), "ECU") << m;

    // Then back to IDLE, whose heartbeat finds no ECU; no fifth attempt.
    skipped.clear();
    ASSERT_TRUE(rig.skip_until(NOECU, &skipped));
    EXPECT_EQ(count_equal(skipped, nores), 0u);
    const auto &d = rig.daemon();
    for (int retry = 0; retry < 3; ++retry) {
        const std::string line = "OBD2_ERROR : Error while handling received command--- Retrying [" +
                                 std::to_string(retry) + "]";
        EXPECT_EQ(d.count_in_log(line, mark), 1u) << line;
    }
    EXPECT_EQ(d.count_in_log("OBD2_ERROR : NO COMMUNICATION WITH ECU.", mark), 1u);
}

// The car switched off after identification: the codes are retried and end
// in NORES, never in the empty document of a car without faults.
TEST(E2eFaults, SilentCarGetsNoResponseForTroubleCodesNotAnEmptyDocument)
{
    e2e_rig rig;
    bring_up(rig);
    const std::size_t mark = rig.daemon().log_mark();
    rig.set_unplugged(true);
    ecu_sim_clear_log(rig.sim());
    ASSERT_TRUE(rig.send_command(1));

    // Four attempts, each one 10 s frame wait, a second apart.
    const std::string nores = e2e_status("NORES", 1, 1);
    std::vector<std::string> skipped;
    ASSERT_TRUE(rig.skip_until(nores, &skipped, std::chrono::seconds(100)));
    for (const auto &m : skipped)
        EXPECT_NE(e2e_message_cmd(m), 1) << "before NORES: " << m;
    skipped.clear();
    ASSERT_TRUE(rig.skip_until(NOECU, &skipped)); // idle again
    for (const auto &m : skipped)
        EXPECT_NE(e2e_message_cmd(m), 1) << "after NORES: " << m;

    // Only the first kind is asked of a silent ECU: one request per attempt.
    std::vector<int> services;
    for (const auto &r : ecu_sim_requests(rig.sim())) {
        const std::uint8_t service = r.frame.data[1];
        if (r.frame.data[0] == 0x01 && (service == 0x03 || service == 0x07 || service == 0x0A))
            services.push_back(service);
    }
    EXPECT_EQ(services, (std::vector<int>{0x03, 0x03, 0x03, 0x03}));
    EXPECT_EQ(rig.daemon().count_in_log("OBD2_ERROR : NO COMMUNICATION WITH ECU.", mark), 1u);
    EXPECT_EQ(rig.daemon().count_in_log("final json:", mark), 0u);
}

// Negative answers to the heartbeat: three retries a second apart, the
// fourth declares the ECU lost.
TEST(E2eFaults, HeartbeatNegativeResponsesDeclareTheEcuLost)
{
    ecu_profile vehicle = e2e_vehicle("demo_petrol_11bit.json");
    ecu_rule refuse;
    refuse.request = {0x01, 0x00};
    refuse.nrc = 0x12;
    vehicle.ecus[0].rules.push_back(refuse);

    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.plug_in(vehicle));
    // A negative answer still proves an ECU: detected on 11-bit identifiers.
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    const std::size_t mark = rig.daemon().log_mark();

    std::vector<std::string> before;
    ASSERT_TRUE(rig.skip_until(NOECU, &before));
    EXPECT_TRUE(before.empty()) << before.front();
    // Counted in the log up to the NOECU publication.
    const std::string log = rig.daemon().log();
    const std::size_t lost_at = log.find("Payload [" + NOECU + "]", mark);
    ASSERT_NE(lost_at, std::string::npos);
    const std::string up_to_loss = log.substr(mark, lost_at - mark);
    std::size_t refusals = 0;
    for (std::size_t at = up_to_loss.find("OBD2 Negative Response: SID=0x01, NRC=0x12"); at != std::string::npos;
         at = up_to_loss.find("OBD2 Negative Response: SID=0x01, NRC=0x12", at + 1))
        ++refusals;
    EXPECT_EQ(refusals, 4u);
}

// Answers do not reset the count of negative answers to the heartbeat: a
// refusal, an answer, then three more refusals declare the ECU lost.
TEST(E2eFaults, AnsweredHeartbeatDoesNotResetTheRefusalCount)
{
    const byte_vector answer{0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13};
    const byte_vector refusal{0x7F, 0x01, 0x12};
    ecu_profile vehicle = e2e_vehicle("demo_petrol_11bit.json");
    ecu_rule heartbeat;
    heartbeat.request = {0x01, 0x00};
    // Detection, then the heartbeats.
    heartbeat.responses = {answer, refusal, answer, refusal, refusal, refusal};
    for (int i = 0; i < 10; ++i)
        heartbeat.responses.push_back(answer);
    vehicle.ecus[0].rules.push_back(heartbeat);

    e2e_rig rig;
    bring_up_with(rig, vehicle);
    std::vector<std::string> before;
    ASSERT_TRUE(rig.skip_until(NOECU, &before));
    EXPECT_EQ(before, (std::vector<std::string>{e2e_status("ECU")}));
}

// A clear the ECU refuses: NORES for each of the four attempts, then idle.
TEST(E2eFaults, RefusedClearIsReportedFourTimesThenIdles)
{
    ecu_profile vehicle = e2e_vehicle("demo_petrol_11bit.json");
    vehicle.ecus[0].clear_pending_answers = 0;
    vehicle.ecus[0].clear_result = ecu_clear_result::refuse;
    e2e_rig rig;
    bring_up_with(rig, vehicle);
    const std::size_t mark = rig.daemon().log_mark();
    ASSERT_TRUE(rig.send_command(4));

    const std::string nores = e2e_status("NORES", 4, 1);
    std::vector<std::string> skipped;
    for (int attempt = 0; attempt < 4; ++attempt)
        ASSERT_TRUE(rig.skip_until(nores, &skipped)) << "attempt " << attempt;
    ASSERT_TRUE(rig.skip_until(e2e_status("ECU"), &skipped)); // idle again
    EXPECT_EQ(count_equal(skipped, nores), 0u);
    const auto &d = rig.daemon();
    for (int retry = 0; retry < 3; ++retry)
        EXPECT_EQ(d.count_in_log("OBD2_ERROR : Error while handling received command--- Retrying [" +
                                     std::to_string(retry) + "]",
                                 mark),
                  1u);
    EXPECT_EQ(d.count_in_log("OBD2_ERROR : NO COMMUNICATION WITH ECU.", mark), 1u);
    EXPECT_EQ(d.count_in_log("Retrying [3]", mark), 0u);
}
