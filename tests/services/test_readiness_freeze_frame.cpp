// Readiness monitors (service 01 PID 01) and the freeze frame (service 02):
// the decoding and merging of monitor bytes, and both services against the
// ECU simulator through the real transport.
#include "svc_sim_bus.h"

#include "obd2/config_file.h"
#include "obd2/freeze_frame.h"
#include "obd2/isotp.h"
#include "obd2/obd2_types.h"
#include "obd2/readiness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint8_t FILL = 0xAA;

std::string readiness(const char *mil_count_ignition, const char *monitors)
{
    return std::string(R"({"TYP":1,"CMD":20,"DATA":{)") + mil_count_ignition + R"(,"MONITORS":{)" + monitors +
           "}}}";
}

class ServiceOnSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_can_padding = FILL;
        g_ecu_list[0] = ECM_11BIT;
        g_ecu_count = 1;
    }
    void TearDown() override { g_ecu_count = 0; }
};

ecu_node_profile second_ecu(const ecu_profile &profile)
{
    ecu_node_profile tcm = profile.ecus[0];
    tcm.name = "TCM";
    tcm.response_id = 0x7E9;
    tcm.physical_id = 0x7E1;
    return tcm;
}

ecu_rule answer_rule(bytes request, bytes response) { return {std::move(request), {std::move(response)}, 0, false}; }
ecu_rule nrc_rule(bytes request, std::uint8_t nrc) { return {std::move(request), {}, nrc, false}; }
ecu_rule refuse_rule(bytes request) { return nrc_rule(std::move(request), 0x12); }
ecu_rule silent_rule(bytes request) { return {std::move(request), {}, 0, true}; }

} // namespace

// Bytes A B C D of each ECU (engine first) -> the document. Each ECU's bits
// are read by its own ignition type; a monitor is supported if any ECU
// supports it and complete only if all that support it say so.
TEST(Readiness, MonitorBytesOfOneOrSeveralEcus)
{
    const char *spark_all_unsupported =
        R"("MISFIRE":"unsupported","FUEL_SYSTEM":"unsupported","COMPONENTS":"unsupported",)"
        R"("CATALYST":"unsupported","HEATED_CATALYST":"unsupported","EVAP_SYSTEM":"unsupported",)"
        R"("SECONDARY_AIR":"unsupported","AC_REFRIGERANT":"unsupported","O2_SENSOR":"unsupported",)"
        R"("O2_SENSOR_HEATER":"unsupported","EGR_VVT":"unsupported")";
    struct row {
        const char *what;
        std::vector<readiness_bytes> answers;
        std::string document;
    } rows[] = {
        {"spark, nothing supported", {{0x00, 0x00, 0x00, 0x00}},
         readiness(R"("MIL":0,"DTC_COUNT":0,"IGNITION":"spark")", spark_all_unsupported)},
        // B 17: misfire incomplete; C 65 / D 44: catalyst, O2
        // sensor complete, evap and O2 heater incomplete.
        {"spark, MIL and three codes", {{0x83, 0x17, 0x65, 0x44}},
         readiness(R"("MIL":1,"DTC_COUNT":3,"IGNITION":"spark")",
                   R"("MISFIRE":"incomplete","FUEL_SYSTEM":"complete","COMPONENTS":"complete",)"
                   R"("CATALYST":"complete","HEATED_CATALYST":"unsupported","EVAP_SYSTEM":"incomplete",)"
                   R"("SECONDARY_AIR":"unsupported","AC_REFRIGERANT":"unsupported","O2_SENSOR":"complete",)"
                   R"("O2_SENSOR_HEATER":"incomplete","EGR_VVT":"unsupported")")},
        {"spark, every bit set", {{0xFF, 0x77, 0xFF, 0xFF}},
         readiness(R"("MIL":1,"DTC_COUNT":127,"IGNITION":"spark")",
                   R"("MISFIRE":"incomplete","FUEL_SYSTEM":"incomplete","COMPONENTS":"incomplete",)"
                   R"("CATALYST":"incomplete","HEATED_CATALYST":"incomplete","EVAP_SYSTEM":"incomplete",)"
                   R"("SECONDARY_AIR":"incomplete","AC_REFRIGERANT":"incomplete","O2_SENSOR":"incomplete",)"
                   R"("O2_SENSOR_HEATER":"incomplete","EGR_VVT":"incomplete")")},
        // B 2F: compression, fuel system incomplete; C FF: the reserved bits
        // 2 and 4 name nothing; D 41: NMHC catalyst and PM filter incomplete.
        {"compression", {{0x01, 0x2F, 0xFF, 0x41}},
         readiness(R"("MIL":0,"DTC_COUNT":1,"IGNITION":"compression")",
                   R"("MISFIRE":"complete","FUEL_SYSTEM":"incomplete","COMPONENTS":"complete",)"
                   R"("NMHC_CATALYST":"incomplete","NOX_SCR":"complete","BOOST_PRESSURE":"complete",)"
                   R"("EXHAUST_GAS_SENSOR":"complete","PM_FILTER":"incomplete","EGR_VVT":"complete")")},
        // The engine supports catalyst and components (complete); the
        // second ECU supports components (incomplete) and the evap system,
        // which the engine does not: MIL from either, codes summed.
        {"two ECUs", {{0x02, 0x04, 0x01, 0x00}, {0x81, 0x44, 0x04, 0x00}},
         readiness(R"("MIL":1,"DTC_COUNT":3,"IGNITION":"spark")",
                   R"("MISFIRE":"unsupported","FUEL_SYSTEM":"unsupported","COMPONENTS":"incomplete",)"
                   R"("CATALYST":"complete","HEATED_CATALYST":"unsupported","EVAP_SYSTEM":"complete",)"
                   R"("SECONDARY_AIR":"unsupported","AC_REFRIGERANT":"unsupported","O2_SENSOR":"unsupported",)"
                   R"("O2_SENSOR_HEATER":"unsupported","EGR_VVT":"unsupported")")},
        // A compression engine and a spark-coded second ECU: the second's
        // C bit 0 is its catalyst, not the NMHC catalyst; EGR_VVT is both's.
        {"compression engine, spark second ECU", {{0x00, 0x08, 0x81, 0x00}, {0x00, 0x00, 0x81, 0x81}},
         readiness(R"("MIL":0,"DTC_COUNT":0,"IGNITION":"compression")",
                   R"("MISFIRE":"unsupported","FUEL_SYSTEM":"unsupported","COMPONENTS":"unsupported",)"
                   R"("NMHC_CATALYST":"complete","NOX_SCR":"unsupported","BOOST_PRESSURE":"unsupported",)"
                   R"("EXHAUST_GAS_SENSOR":"unsupported","PM_FILTER":"unsupported","EGR_VVT":"incomplete")")},
    };
    for (const row &r : rows)
        EXPECT_EQ(readiness_document(r.answers.data(), static_cast<int>(r.answers.size())), r.document) << r.what;
}

// Every ECU is asked 02 01 01; one that refuses or answers short adds
// nothing, silence is told apart (the command is tried again).
TEST_F(ServiceOnSim, ReadinessOfEveryEcuAndWhatCountsAsNoAnswer)
{
    struct row {
        const char *what;
        std::vector<ecu_rule> engine, second;
        ecu_reply reply;
        const char *count; // "DTC_COUNT":n of the document
    } rows[] = {
        {"both answer", {answer_rule({0x01, 0x01}, {0x41, 0x01, 0x81, 0x07, 0x00, 0x00})},
         {answer_rule({0x01, 0x01}, {0x41, 0x01, 0x02, 0x00, 0x00, 0x00})}, ecu_reply::answered, "3"},
        {"the second refuses", {answer_rule({0x01, 0x01}, {0x41, 0x01, 0x81, 0x07, 0x00, 0x00})},
         {refuse_rule({0x01, 0x01})}, ecu_reply::answered, "1"},
        {"refusal and an answer of five bytes", {refuse_rule({0x01, 0x01})},
         {answer_rule({0x01, 0x01}, {0x41, 0x01, 0x02, 0x00, 0x00})}, ecu_reply::unusable, nullptr},
        {"one silent, one refusing", {silent_rule({0x01, 0x01})}, {refuse_rule({0x01, 0x01})}, ecu_reply::silent,
         nullptr},
        // The lamp and the monitors are the engine ECU's first: without its
        // answer the attempt fails and is tried again.
        {"the engine ECU silent", {silent_rule({0x01, 0x01})},
         {answer_rule({0x01, 0x01}, {0x41, 0x01, 0x00, 0x07, 0x00, 0x00})}, ecu_reply::silent, nullptr},
    };
    for (const row &r : rows) {
        ecu_profile profile = svc_profile(ecu_addressing::bits11);
        profile.ecus.push_back(second_ecu(profile));
        profile.ecus[0].rules = r.engine;
        profile.ecus[1].rules = r.second;
        svc_sim_bus bus(profile);
        ASSERT_TRUE(bus.ok());
        g_ecu_list[1] = {0x7E9, ADDR_MODE_11BIT};
        g_ecu_count = 2;

        std::string document;
        EXPECT_EQ(handle_readiness_command(document), r.reply) << r.what;
        const bytes ask{0x02, 0x01, 0x01, FILL, FILL, FILL, FILL, FILL};
        EXPECT_EQ(bus.requests(2), (std::vector<bytes>{ask, ask})) << r.what;
        if (r.count)
            EXPECT_NE(document.find(std::string(R"("DTC_COUNT":)") + r.count + ","), std::string::npos)
                << r.what << ": " << document;
        else
            EXPECT_EQ(document, "") << r.what;
    }
}

// A stored frame: the code, the bitmaps as far as they reach (00 announces
// 20, 20 announces 40, 40 does not announce 60), then the frame's catalogue
// PIDs in catalogue order, 100 ms apart; SPD is claimed but not answered.
TEST_F(ServiceOnSim, StoredFrameByteForByte)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    ecu_freeze_frame &frame = profile.ecus[0].freeze_frame;
    frame.dtc = {0x04, 0x20};
    frame.pids = {{0x0C, {0x0D, 0x48}}, {0x05, {0x82}}, {0x0D, {0x28}}, {0x46, {0x3D}}, {0x01, {0x00, 0x07, 0x65, 0x00}}};
    profile.ecus[0].rules.push_back(silent_rule({0x02, 0x0D}));
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());

    std::string document;
    ASSERT_EQ(handle_freeze_frame_command(ECM_11BIT, document), ecu_reply::answered);
    EXPECT_EQ(document,
              R"({"TYP":1,"CMD":21,"DATA":{"DTC":"P0420","VALUES":{"COLTMP":90.00,"ENGRPM":850.00,"SPD":"--","AMBTMP":21.00}}})");

    auto ask = [](std::uint8_t pid) { return bytes{0x03, 0x02, pid, 0x00, FILL, FILL, FILL, FILL}; };
    EXPECT_EQ(bus.requests(8), (std::vector<bytes>{ask(0x02), ask(0x00), ask(0x20), ask(0x40), ask(0x05), ask(0x0C),
                                                    ask(0x0D), ask(0x46)}));
    const std::vector<ecu_time> times = bus.request_times();
    for (std::size_t i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i] - times[i - 1], std::chrono::milliseconds(100)) << i;
}

// PID 02: 0000 or a refusal is no frame (nothing more is asked), silence
// is worth another attempt, an answer without the code's two bytes is not.
TEST_F(ServiceOnSim, FrameCodeAnswers)
{
    const std::string no_frame = R"({"TYP":1,"CMD":21,"DATA":{"DTC":"","VALUES":{}}})";
    struct row {
        const char *what;
        std::vector<ecu_rule> rules;
        ecu_reply reply;
        std::string document;
    } rows[] = {
        {"no frame stored", {}, ecu_reply::answered, no_frame},
        {"service refused", {refuse_rule({0x02})}, ecu_reply::answered, no_frame},
        {"request out of range", {nrc_rule({0x02}, 0x31)}, ecu_reply::answered, no_frame},
        {"busy", {nrc_rule({0x02}, 0x21)}, ecu_reply::silent, ""},
        {"conditions not correct", {nrc_rule({0x02}, 0x22)}, ecu_reply::silent, ""},
        {"silent", {silent_rule({0x02})}, ecu_reply::silent, ""},
        {"code cut short", {answer_rule({0x02, 0x02}, {0x42, 0x02, 0x00, 0x04})}, ecu_reply::unusable, ""},
        {"another frame's code", {answer_rule({0x02, 0x02}, {0x42, 0x02, 0x01, 0x04, 0x20})}, ecu_reply::unusable, ""},
    };
    for (const row &r : rows) {
        ecu_profile profile = svc_profile(ecu_addressing::bits11);
        profile.ecus[0].freeze_frame.pids = {{0x0C, {0x0D, 0x48}}}; // never asked: no code
        profile.ecus[0].rules = r.rules;
        svc_sim_bus bus(profile);
        ASSERT_TRUE(bus.ok());

        std::string document;
        EXPECT_EQ(handle_freeze_frame_command(ECM_11BIT, document), r.reply) << r.what;
        EXPECT_EQ(document, r.document) << r.what;
        EXPECT_EQ(bus.requests(1).size(), 1u) << r.what;
    }
}

// A busy ECU (7F 02 21 once) fails the attempt; the next one gets the frame.
// A frame PID answered without its data bytes (03 42 0C 00) is "--".
TEST_F(ServiceOnSim, BusyFrameIsTriedAgainAndAValueWithoutDataIsDashes)
{
    ecu_profile profile = svc_profile(ecu_addressing::bits11);
    ecu_freeze_frame &frame = profile.ecus[0].freeze_frame;
    frame.dtc = {0x04, 0x20};
    frame.pids = {{0x0C, {0x0D, 0x48}}, {0x05, {0x82}}};
    ecu_rule busy_once = nrc_rule({0x02, 0x02}, 0x21);
    busy_once.times = 1;
    profile.ecus[0].rules = {busy_once, answer_rule({0x02, 0x0C}, {0x42, 0x0C, 0x00})};
    svc_sim_bus bus(profile);
    ASSERT_TRUE(bus.ok());

    std::string document;
    EXPECT_EQ(handle_freeze_frame_command(ECM_11BIT, document), ecu_reply::silent);
    EXPECT_EQ(document, "");
    ASSERT_EQ(handle_freeze_frame_command(ECM_11BIT, document), ecu_reply::answered);
    EXPECT_EQ(document, R"({"TYP":1,"CMD":21,"DATA":{"DTC":"P0420","VALUES":{"COLTMP":90.00,"ENGRPM":"--"}}})");
}
