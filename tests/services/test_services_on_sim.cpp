// The diagnostic services against the ECU simulator, through the real
// transport: the bytes on the bus and the texts the UI receives.
#include "broker.h"
#include "mqtt_test_client.h"
#include "svc_sim_bus.h"

#include "mqtt/mqtt_link.h"
#include "mqtt/outbox.h"
#include "mqtt/status_packet.h"
#include "obd2/config_file.h"
#include "obd2/dtc_clear.h"
#include "obd2/dtc_read.h"
#include "obd2/isotp.h"
#include "obd2/live_data.h"
#include "obd2/obd2_types.h"
#include "obd2/pid_catalogue.h"
#include "obd2/pid_discovery.h"
#include "obd2/vehicle_info.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

using bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

namespace {

constexpr std::uint8_t FILL = 0xAA;

dtc_bytes dtc(const char *text)
{
    dtc_bytes code{};
    EXPECT_TRUE(ecu_dtc_from_text(text, code)) << text;
    return code;
}

bytes text_payload(const std::string &text)
{
    bytes payload(1 + text.size());
    payload[0] = 0x01; // item count
    std::copy(text.begin(), text.end(), payload.begin() + 1);
    return payload;
}

// Request frame the daemon sends: PCI, service, parameter, fill.
bytes request(std::uint8_t pci, std::uint8_t service, std::uint8_t parameter)
{
    return {pci, service, parameter, FILL, FILL, FILL, FILL, FILL};
}

void configure(const std::vector<std::string> &sensors, const std::vector<std::string> &dtc_kinds)
{
    std::memset(g_live_sensor_names, 0, sizeof g_live_sensor_names);
    std::memset(g_dtc_names, 0, sizeof g_dtc_names);
    for (std::size_t i = 0; i < sensors.size(); ++i)
        std::snprintf(g_live_sensor_names[i], CONFIG_NAME_SIZE, "%s", sensors[i].c_str());
    for (std::size_t i = 0; i < dtc_kinds.size(); ++i)
        std::snprintf(g_dtc_names[i], CONFIG_NAME_SIZE, "%s", dtc_kinds[i].c_str());
    g_live_sensor_count = static_cast<int>(sensors.size());
    g_dtc_count = static_cast<int>(dtc_kinds.size());
}

void detected_ecu(ecu_addressing addressing)
{
    bool bits29 = addressing == ecu_addressing::bits29;
    g_ecu_list[0] = {bits29 ? 0x18DAF110u : 0x7E8u, bits29 ? ADDR_MODE_29BIT : ADDR_MODE_11BIT};
    g_ecu_count = 1;
}

class ServicesOnSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_can_padding = FILL;
        configure({}, {});
        detected_ecu(ecu_addressing::bits11);
    }

    void TearDown() override
    {
        g_ecu_count = 0;
        configure({}, {});
    }
};

} // namespace

// ---- trouble codes ---------------------------------------------------------------------

TEST_F(ServicesOnSim, TroubleCodeDocumentByteForByte)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    profile.ecus[0].stored_dtcs = {dtc("P0133"), dtc("P0420")};
    profile.ecus[0].pending_dtcs = {dtc("P0420"), dtc("U0100"), dtc("P0420")};
    profile.ecus[0].permanent_dtcs = {dtc("P0420"), dtc("C0035"), dtc("B1234"), dtc("P3100")};
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());
    configure({}, {"PRMDTC", "STRDTC", "PNDDTC"});

    EXPECT_STREQ(handle_dtc_command(),
                 R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}})");
    EXPECT_EQ(bus.requests(3),
              (std::vector<bytes>{request(0x01, 0x03, FILL), request(0x01, 0x07, FILL), request(0x01, 0x0A, FILL)}));
}

TEST_F(ServicesOnSim, TroubleCodesOfUnselectedKindsAreNeitherAskedNorReported)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits29);
    profile.ecus[0].stored_dtcs = {dtc("P0420")};
    profile.ecus[0].permanent_dtcs = {dtc("U0100")};
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());
    detected_ecu(ecu_addressing::bits29);
    configure({}, {"STRDTC", "PRMDTC", "strdtc"});

    // Without the pending list no stored code survives.
    EXPECT_STREQ(handle_dtc_command(), R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":[],"PNDDTC":[],"PRMDTC":["U0100"]}})");
    EXPECT_EQ(bus.requests(2), (std::vector<bytes>{request(0x01, 0x03, FILL), request(0x01, 0x0A, FILL)}));
}

TEST_F(ServicesOnSim, NoConfiguredKindSendsNothing)
{
    svc_sim_bus bus(svc_profile(ecu_addressing::bits11));
    ASSERT_TRUE(bus.ok());
    EXPECT_STREQ(handle_dtc_command(), R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":[],"PNDDTC":[],"PRMDTC":[]}})");
    EXPECT_TRUE(bus.requests().empty());
}

TEST_F(ServicesOnSim, RefusedKindLeavesTheOthersReported)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    profile.ecus[0].stored_dtcs = {dtc("P0420")};
    profile.ecus[0].pending_dtcs = {dtc("P0420")};
    profile.ecus[0].rules.push_back({{0x0A}, {}, 0x12, false});
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());
    configure({}, {"STRDTC", "PNDDTC", "PRMDTC"});

    EXPECT_STREQ(handle_dtc_command(), R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420"],"PRMDTC":[]}})");
}

// Refusals are answers: the car was reached and has nothing to report.
TEST_F(ServicesOnSim, EveryKindRefusedStillGivesTheDocument)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    for (std::uint8_t service : {0x03, 0x07, 0x0A})
        profile.ecus[0].rules.push_back({{service}, {}, 0x11, false});
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());
    configure({}, {"STRDTC", "PNDDTC", "PRMDTC"});

    EXPECT_STREQ(handle_dtc_command(), R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":[],"PNDDTC":[],"PRMDTC":[]}})");
}

// A car that is off is not a car without codes: no document, and only the
// first kind is waited for.
TEST_F(ServicesOnSim, SilentEcuGivesNoDocumentAndIsAskedOnce)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    profile.ecus[0].stored_dtcs = {dtc("P0420")};
    for (std::uint8_t service : {0x03, 0x07, 0x0A})
        profile.ecus[0].rules.push_back({{service}, {}, 0, true});
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());
    configure({}, {"STRDTC", "PNDDTC", "PRMDTC"});

    EXPECT_STREQ(handle_dtc_command(), "");
    EXPECT_EQ(bus.requests(), (std::vector<bytes>{request(0x01, 0x03, FILL)}));
}

// The engine ECU says "response pending" to 03 and 07 and sends its codes
// 300 ms later on its own; the transmission ECU answers at once. The wait
// takes the engine ECU's final answers (its stored code needs the pending
// one), never the other ECU's answer in its place, and asks nothing twice.
TEST_F(ServicesOnSim, TroubleCodesWaitForTheFinalAnswerAfterResponsePending)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    profile.ecus[0].stored_dtcs = {dtc("P0420")};
    profile.ecus[0].pending_dtcs = {dtc("P0420")};
    for (std::uint8_t service : {0x03, 0x07}) {
        ecu_rule pending{{service}, {}, 0, false};
        pending.pending_ms = 300;
        profile.ecus[0].rules.push_back(pending);
    }
    ecu_node_profile tcm;
    tcm.name = "TCM";
    tcm.response_id = 0x7E9;
    tcm.physical_id = 0x7E1;
    tcm.pending_dtcs = {dtc("U0100")};
    profile.ecus.push_back(tcm);
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());
    g_ecu_list[1] = {0x7E9, ADDR_MODE_11BIT};
    g_ecu_count = 2;
    configure({}, {"STRDTC", "PNDDTC"});

    EXPECT_STREQ(handle_dtc_command(),
                 R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":[]}})");
    const bytes stored = request(0x01, 0x03, FILL), pending = request(0x01, 0x07, FILL);
    EXPECT_EQ(bus.requests(4), (std::vector<bytes>{stored, pending, stored, pending}));
}

// ---- clearing ------------------------------------------------------------------------------

TEST_F(ServicesOnSim, ClearRepeatsWhileTheEcuAnswersResponsePending)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    profile.ecus[0].stored_dtcs = {dtc("P0420")};
    profile.ecus[0].clear_pending_answers = 2;
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());

    EXPECT_EQ(handle_clear_dtc_command(ECM_11BIT), 1);

    bytes clear = request(0x01, 0x04, FILL);
    EXPECT_EQ(bus.requests(3), (std::vector<bytes>{clear, clear, clear}));
    std::vector<ecu_time> times = bus.request_times();
    ASSERT_EQ(times.size(), 3u);
    EXPECT_GE(times[1] - times[0], 300ms);
    EXPECT_GE(times[2] - times[1], 300ms);
    EXPECT_TRUE(ecu_sim_profile(bus.sim()).ecus[0].stored_dtcs.empty());
}

TEST_F(ServicesOnSim, ClearGivesUpAfterSixResponsePendingAnswers)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits29);
    profile.ecus[0].clear_pending_answers = 6;
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());

    testing::internal::CaptureStdout();
    EXPECT_EQ(handle_clear_dtc_command(ECM_29BIT), 0);
    std::string log = testing::internal::GetCapturedStdout();

    EXPECT_EQ(bus.requests().size(), 6u);
    EXPECT_NE(log.find("OBD2: Retry limit reached. Clear DTC failed.\n"), std::string::npos);
}

TEST_F(ServicesOnSim, ClearRefusalIsNotRepeated)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    profile.ecus[0].clear_result = ecu_clear_result::refuse;
    profile.ecus[0].clear_nrc = 0x22;
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());

    testing::internal::CaptureStdout();
    EXPECT_EQ(handle_clear_dtc_command(ECM_11BIT), 0);
    std::string log = testing::internal::GetCapturedStdout();

    EXPECT_EQ(bus.requests().size(), 1u);
    EXPECT_NE(log.find("OBD2: Negative Response. NRC=0x22\n"), std::string::npos);
}

// A service 01 answer arriving late is no answer to the clear: it is
// dropped, and the ECU's own answer decides.
TEST_F(ServicesOnSim, ClearIsNotDecidedByALateAnswerOfAnotherService)
{
    svc_sim_bus bus(svc_profile(ecu_addressing::bits11));
    ASSERT_TRUE(bus.ok());
    can_frame late{};
    late.can_id = 0x7E8;
    late.len = 8;
    const std::uint8_t rpm[8] = {0x04, 0x41, 0x0C, 0x1A, 0xF8, 0x55, 0x55, 0x55};
    std::memcpy(late.data, rpm, sizeof rpm);
    ASSERT_TRUE(ecu_sim_inject_frame(bus.sim(), late));
    std::this_thread::sleep_for(50ms); // queued on the daemon's socket

    testing::internal::CaptureStdout();
    const int result = handle_clear_dtc_command(ECM_11BIT);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 1);
    EXPECT_NE(log.find("OBD2 WARN: stale frame 0x7E8 discarded"), std::string::npos) << log;
    EXPECT_EQ(log.find("Unexpected response"), std::string::npos);
}

TEST_F(ServicesOnSim, ClearOfASilentEcuEndsAfterThreeAttempts)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    profile.ecus[0].clear_result = ecu_clear_result::silent;
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());

    EXPECT_EQ(handle_clear_dtc_command(ECM_11BIT), 0);
    EXPECT_EQ(bus.requests().size(), static_cast<std::size_t>(CLEAR_DTC_MAX_SILENT_ATTEMPTS));
}

// An ECU that says "response pending" once and then sends its final answer
// on its own: the answer, queued while the repeat waits, ends the clear.
TEST_F(ServicesOnSim, ClearTakesTheFinalAnswerSentAfterResponsePending)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    profile.ecus[0].stored_dtcs = {dtc("P0420")};
    profile.ecus[0].clear_final_after_ms = 150;
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());

    testing::internal::CaptureStdout();
    const int result = handle_clear_dtc_command(ECM_11BIT);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 1);
    EXPECT_LE(bus.requests().size(), 2u);
    EXPECT_NE(log.find("OBD2: DTCs cleared successfully."), std::string::npos) << log;
    EXPECT_TRUE(ecu_sim_profile(bus.sim()).ecus[0].stored_dtcs.empty());
}

// Without padding the positive answer is the two-byte frame 01 44.
TEST_F(ServicesOnSim, ClearAnsweredInAnUnpaddedFrameSucceeds)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    profile.padding = false;
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());

    EXPECT_EQ(handle_clear_dtc_command(ECM_11BIT), 1);
    EXPECT_EQ(bus.requests().size(), 1u);
}

// An ECU answering PID 00 after 130 ms misses the detection's 100 ms wait;
// its answer, queued meanwhile, is taken by the next detection pass.
TEST_F(ServicesOnSim, SlowEcuIsDetectedOnTheNextPass)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    profile.ecus[0].delays.push_back({{0x01, 0x00}, 130});
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());

    std::uint8_t resp[OBD2_RESPONSE_SIZE];
    std::uint64_t resp_len = 0;
    const bytes pid00 = request(0x02, 0x01, 0x00);
    testing::internal::CaptureStdout();
    const int first_pass = detect_mode(pid00.data(), pid00.size(), resp, &resp_len);
    std::this_thread::sleep_for(1s); // the detection pass's pause
    const int second_pass = detect_mode(pid00.data(), pid00.size(), resp, &resp_len);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(first_pass, 0);
    EXPECT_EQ(second_pass, ADDR_MODE_11BIT);
    EXPECT_EQ(resp[1], 0x41);
}

// ---- live data ----------------------------------------------------------------------------

TEST_F(ServicesOnSim, LiveCycleShowsUnansweredSensorsAsDashes)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    profile.ecus[0].pids[0x0C] = {{0x1A, 0xF8}};
    profile.ecus[0].pids[0x05] = {{0x00}};
    profile.ecus[0].pids[0x32] = {{0xFF, 0xFC}};
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());
    configure({"ENGRPM", "SPD", "COLTMP", "unknown", "EVPPRS"}, {});

    ASSERT_EQ(get_pid_list(ADDR_MODE_11BIT), 1);
    const char *message = handle_live_mode(0, ECM_11BIT);

    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message, json_output);
    EXPECT_STREQ(message, "{\n"
                          "  \"TYP\": 1,\n"
                          "  \"CMD\": 2,\n"
                          "  \"DATA\": {\n"
                          "    \"ENGRPM\": 1726.00,\n"
                          "    \"SPD\": \"--\",\n"
                          "    \"COLTMP\": -40.00,\n"
                          "    \"EVPPRS\": -1.00\n"
                          "  }\n"
                          "}");
    EXPECT_EQ(bus.requests(4), (std::vector<bytes>{request(0x02, 0x01, 0x0C), request(0x02, 0x01, 0x0D),
                                                   request(0x02, 0x01, 0x05), request(0x02, 0x01, 0x32)}));
    std::vector<ecu_time> times = bus.request_times();
    for (std::size_t i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i] - times[i - 1], 100ms) << "request " << i;
}

TEST_F(ServicesOnSim, LiveCycleWithoutAnyAnswerGivesNothing)
{
    svc_sim_bus bus(svc_profile(ecu_addressing::bits29));
    ASSERT_TRUE(bus.ok());
    detected_ecu(ecu_addressing::bits29);
    configure({"SPD", "COLTMP"}, {});
    std::memset(json_output, 'x', sizeof json_output);

    get_pid_list(ADDR_MODE_29BIT);
    EXPECT_EQ(handle_live_mode(0, ECM_29BIT), nullptr);
    EXPECT_EQ(json_output[0], '\0');
    EXPECT_EQ(bus.requests(2).size(), 2u);
}

TEST_F(ServicesOnSim, SingleLiveValueHasNoSeparator)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits29);
    profile.ecus[0].pids[0x0D] = {{0x32}};
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());
    detected_ecu(ecu_addressing::bits29);
    configure({"SPD"}, {});

    get_pid_list(ADDR_MODE_29BIT);
    EXPECT_STREQ(handle_live_mode(0, ECM_29BIT),
                 "{\n  \"TYP\": 1,\n  \"CMD\": 2,\n  \"DATA\": {\n    \"SPD\": 50.00\n  }\n}");
}

// ---- vehicle information ---------------------------------------------------------------

TEST_F(ServicesOnSim, VehicleInformationFromSingleAndMultiFrameAnswers)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    profile.ecus[0].info[0x02] = text_payload("1FTEW1EP5JFA12345");
    profile.ecus[0].info[0x04] = text_payload("CAL-2024-0001");
    profile.ecus[0].info[0x06] = {0x01, 0xA1, 0xB2, 0xC3, 0xD4};
    bytes name = text_payload("ECM");
    name.insert(name.end(), {0x00, 0xFF}); // fill inside a single frame
    profile.ecus[0].info[0x0A] = name;
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());

    EXPECT_EQ(get_vehicle_info(ECM_11BIT), 1);

    ASSERT_EQ(g_vehicle_info_count, 4);
    EXPECT_EQ(g_vehicle_info[0].info_type, 0x02);
    EXPECT_STREQ(g_vehicle_info[0].text, "1FTEW1EP5JFA12345");
    EXPECT_EQ(g_vehicle_info[1].info_type, 0x04);
    EXPECT_STREQ(g_vehicle_info[1].text, "CAL-2024-0001");
    EXPECT_EQ(g_vehicle_info[2].info_type, 0x06);
    EXPECT_STREQ(g_vehicle_info[2].text, "01A1B2C3D4");
    EXPECT_EQ(g_vehicle_info[3].info_type, 0x0A);
    EXPECT_STREQ(g_vehicle_info[3].text, "ECM");

    std::vector<bytes> asked = bus.requests(4);
    EXPECT_EQ(asked, (std::vector<bytes>{request(0x02, 0x09, 0x02), request(0x02, 0x09, 0x04),
                                         request(0x02, 0x09, 0x06), request(0x02, 0x09, 0x0A)}));
    // The VIN came in a first frame and was asked for with flow control.
    bool flow_control = false;
    for (const can_frame &frame : bus.tester_frames())
        flow_control |= frame.can_id == 0x7E0 && frame.data[0] == 0x30;
    EXPECT_TRUE(flow_control);
}

TEST_F(ServicesOnSim, VehicleInformationSkipsRefusedAndPaddingOnlyAnswers)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits29);
    profile.ecus[0].info[0x02] = text_payload("WVWZZZ1JZXW000001");
    profile.ecus[0].info[0x04] = {0x01, 0x00, 0x1F, 0xFF, 0x00};
    profile.ecus[0].rules.push_back({{0x09, 0x06}, {}, 0x31, false});
    profile.ecus[0].rules.push_back({{0x09, 0x0A}, {{0x49, 0x02, 0x01, 'X'}}, 0, false});
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());

    testing::internal::CaptureStdout();
    EXPECT_EQ(get_vehicle_info(ECM_29BIT), 1);
    std::string log = testing::internal::GetCapturedStdout();

    ASSERT_EQ(g_vehicle_info_count, 1);
    EXPECT_STREQ(g_vehicle_info[0].text, "WVWZZZ1JZXW000001");
    EXPECT_NE(log.find("OBD2 WARN: Payload contains only padding for InfoType 04\n"), std::string::npos);
    EXPECT_NE(log.find("OBD2 WARN: Failed to request InfoType 06\n"), std::string::npos);
    // An answer for another InfoType is none for 0A: the wait runs out.
    EXPECT_NE(log.find("OBD2 WARN: Failed to request InfoType 0A\n"), std::string::npos);
}

TEST(CanProtocol, NamesTheAddressingMode)
{
    set_can_protocol(1);
    EXPECT_STREQ(g_can_protocol, "ISO15765-4 (11-bit)");
    set_can_protocol(2);
    EXPECT_STREQ(g_can_protocol, "ISO15765-4 (29-bit)");
    set_can_protocol(0);
    EXPECT_STREQ(g_can_protocol, "UNKNOWN");
    set_can_protocol(7);
    EXPECT_STREQ(g_can_protocol, "UNKNOWN");
}

// ---- supported-PID discovery -------------------------------------------------------------

namespace {

std::string availability_row(const std::vector<int> &rows_on)
{
    std::string text;
    for (int i = 0; i < num_pids; ++i) {
        bool on = std::find(rows_on.begin(), rows_on.end(), i) != rows_on.end();
        text += std::string(on ? "1" : "0") + (i + 1 < num_pids ? "," : "");
    }
    return text;
}

} // namespace

TEST_F(ServicesOnSim, DiscoveryRecordsWhatTheEcuAnswersAndPublishesGotpid)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits29);
    for (std::uint8_t pid : {0x04, 0x0C, 0x0D, 0x32, 0x47, 0x63})
        profile.ecus[0].pids[pid] = {{0x00, 0x00}};
    profile.ecus[0].rules.push_back({{0x01, 0x05}, {}, 0x31, false}); // refused: not available
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());

    test_broker broker;
    ASSERT_TRUE(broker.running());
    scoped_env broker_env("DIAG_GW_BROKER", broker.uri());
    mqtt_test_client ui(broker.uri());
    ASSERT_TRUE(ui.connect());
    ASSERT_TRUE(ui.subscribe("dt/app_to_ui/resp"));
    ASSERT_EQ(mqtt_init(), 1);
    ASSERT_EQ(mqtt_connect(), 1);
    mqtt_change_state(MQTT_CONNECTED); // as the link thread says once subscribed: the outbox publishes

    for (int &entry : g_pid_availability)
        entry = 1;
    testing::internal::CaptureStdout();
    int result = get_supported_pid_list(ECM_29BIT);
    std::string log = testing::internal::GetCapturedStdout();
    MQTT_Disconnect();

    EXPECT_EQ(result, 1);
    std::vector<int> expected_rows = {0, 4, 5, 35, 48, 55}; // ENGLD ENGRPM SPD THRPSB2 EVPPRS REFTORQ
    for (int i = 0; i < PID_AVAILABILITY_SIZE; ++i) {
        bool on = std::find(expected_rows.begin(), expected_rows.end(), i) != expected_rows.end();
        EXPECT_EQ(g_pid_availability[i], on ? 1 : 0) << "entry " << i;
    }
    EXPECT_NE(log.find("PID 0x0C \u2192 AVAILABLE \n"), std::string::npos);
    EXPECT_NE(log.find("PID 0x05 \u2192 NOT AVAILABLE \n"), std::string::npos);
    EXPECT_NE(log.find("\nPID Availability:\n[" + availability_row(expected_rows) +
                       "]\n====================\nreturning l_status : 1\n===================\n"),
              std::string::npos);

    // Every catalogue PID was asked for once, in catalogue order.
    std::vector<bytes> asked = bus.requests(num_pids);
    ASSERT_EQ(asked.size(), static_cast<std::size_t>(num_pids));
    for (int i = 0; i < num_pids; ++i)
        EXPECT_EQ(asked[i], request(0x02, 0x01, pids[i].pid)) << "row " << i;

    char gotpid[STATUS_PACKET_SIZE] = {};
    ASSERT_EQ(create_pkt_without_data(gotpid, 1, 0, 0, "GOTPID"), 1);
    EXPECT_TRUE(ui.wait_for(std::string_view(gotpid)));
}

// A PID answered after the 100 ms wait is still supported, and its late
// answer is not taken for the next PID's.
TEST_F(ServicesOnSim, DiscoveryCreditsALateAnswerToItsOwnPid)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    for (std::uint8_t pid : {0x04, 0x0C, 0x0D})
        profile.ecus[0].pids[pid] = {{0x00, 0x00}};
    profile.ecus[0].delays.push_back({{0x01, 0x0C}, 150});
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());
    MQTT_Disconnect(); // GOTPID is only kept
    outbox_clear();

    testing::internal::CaptureStdout();
    get_supported_pid_list(ECM_11BIT);
    std::string log = testing::internal::GetCapturedStdout();
    outbox_clear();

    for (int row = 0; row < num_pids; ++row) {
        const bool supported = pids[row].pid == 0x04 || pids[row].pid == 0x0C || pids[row].pid == 0x0D;
        EXPECT_EQ(g_pid_availability[row], supported ? 1 : 0) << short_keys[row];
    }
    EXPECT_NE(log.find("PID 0x0C \u2192 AVAILABLE (late answer)\n"), std::string::npos) << log;
}

// With the link down GOTPID is kept for the UI, not lost: the scan succeeds.
TEST_F(ServicesOnSim, DiscoveryKeepsGotpidWhileTheLinkIsDown)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    for (const pid_entry &row : pids)
        profile.ecus[0].pids[row.pid] = {{0x01}};
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());
    MQTT_Disconnect(); // no link
    outbox_clear();

    testing::internal::CaptureStdout();
    int result = get_supported_pid_list(ECM_11BIT);
    std::string log = testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, 1);
    EXPECT_EQ(log.find("OBD2_ERROR : Error while publishing PID STATUS packet"), std::string::npos);
    EXPECT_EQ(outbox_size(), 1u);
    for (int i = 0; i < PID_AVAILABILITY_SIZE; ++i)
        EXPECT_EQ(g_pid_availability[i], i < num_pids ? 1 : 0) << "entry " << i;
    outbox_clear();
}
