// The simulator's engine on its own: frames in, frames out, time passed in.
#include "ecu_sim.h"
#include "sim_frames.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace std::chrono_literals;

namespace {

const ecu_time T0 = ecu_time{} + 1000s;

ecu_profile profile_from(const std::string &json)
{
    ecu_profile profile;
    std::string error;
    EXPECT_TRUE(ecu_profile_from_json(json, profile, error)) << error;
    return profile;
}

// One ECU 0x7E8/0x7E0, fill 0x55, VIN, a few PIDs and codes.
ecu_profile petrol_car()
{
    return profile_from(R"({
        "fill_byte": "0x55",
        "vin": "ZZZDEM0PETR0L0001",
        "pids": { "04": "40", "05": "82", "0C": ["0C D0", "17 70"], "0D": "20", "21": "00 10" },
        "dtcs": { "stored": ["P0133", "P0420"], "pending": ["P0420"], "permanent": ["P0420"] },
        "clear": { "pending_answers": 2, "result": "positive" },
        "rules": [ { "request": "01 11", "nrc": "0x12" },
                   { "request": "09 04", "response": "49 04 01 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51 52 53 54 55 56 57 58 59 5A 30 31 32 33 34 35 36 37 38 39" } ]
    })");
}

struct engine_fixture : ::testing::Test {
    ecu_engine engine;
    std::vector<can_frame> out;

    void use(const ecu_profile &profile) { ecu_engine_reset(engine, profile); }

    std::vector<can_frame> receive(canid_t id, const bytes &data, ecu_time now = T0)
    {
        out.clear();
        ecu_engine_receive_frame(engine, frame(id, data), now, out);
        return out;
    }
    std::vector<can_frame> advance(ecu_time now)
    {
        out.clear();
        ecu_engine_advance(engine, now, out);
        return out;
    }
    std::vector<can_frame> request(const bytes &payload, ecu_time now = T0)
    {
        bytes data{static_cast<std::uint8_t>(payload.size())};
        data.insert(data.end(), payload.begin(), payload.end());
        data.resize(8, 0x55);
        return receive(0x7DF, data, now);
    }
};

using EcuEngine = engine_fixture;

TEST_F(EcuEngine, AnswersSingleFramePaddedWithFillByte)
{
    use(petrol_car());
    auto frames = request({0x01, 0x0C});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].can_id, 0x7E8u);
    EXPECT_EQ(data_of(frames[0]), (bytes{0x04, 0x41, 0x0C, 0x0C, 0xD0, 0x55, 0x55, 0x55}));
}

TEST_F(EcuEngine, CyclesValuesPerRequest)
{
    use(petrol_car());
    EXPECT_EQ(data_of(request({0x01, 0x0C})[0]), (bytes{0x04, 0x41, 0x0C, 0x0C, 0xD0, 0x55, 0x55, 0x55}));
    EXPECT_EQ(data_of(request({0x01, 0x0C})[0]), (bytes{0x04, 0x41, 0x0C, 0x17, 0x70, 0x55, 0x55, 0x55}));
    EXPECT_EQ(data_of(request({0x01, 0x0C})[0]), (bytes{0x04, 0x41, 0x0C, 0x0C, 0xD0, 0x55, 0x55, 0x55}));
}

TEST_F(EcuEngine, AnswersPhysicalRequestsOnItsOwnIdOnly)
{
    use(petrol_car());
    EXPECT_EQ(receive(0x7E0, {0x02, 0x01, 0x05, 0x55, 0x55, 0x55, 0x55, 0x55}).size(), 1u);
    EXPECT_TRUE(receive(0x7E1, {0x02, 0x01, 0x05, 0x55, 0x55, 0x55, 0x55, 0x55}).empty());
    EXPECT_TRUE(receive(0x7E8, {0x02, 0x01, 0x05, 0x55, 0x55, 0x55, 0x55, 0x55}).empty());
}

TEST_F(EcuEngine, StaysSilentForUnsupportedPidsAndServices)
{
    use(petrol_car());
    EXPECT_TRUE(request({0x01, 0x0F}).empty());
    EXPECT_TRUE(request({0x22, 0xF1, 0x90}).empty());
    EXPECT_TRUE(request({0x01, 0x40}).empty()); // no PID above 0x40: range not supported
}

TEST_F(EcuEngine, ComputesSupportedPidBitmaps)
{
    use(petrol_car());
    // 04, 05, 0C, 0D, and 20 because PID 21 exists.
    EXPECT_EQ(data_of(request({0x01, 0x00})[0]), (bytes{0x06, 0x41, 0x00, 0x18, 0x18, 0x00, 0x01, 0x55}));
    EXPECT_EQ(data_of(request({0x01, 0x20})[0]), (bytes{0x06, 0x41, 0x20, 0x80, 0x00, 0x00, 0x00, 0x55}));
    // Service 09: only InfoType 02 is listed (rules do not count).
    EXPECT_EQ(data_of(request({0x09, 0x00})[0]), (bytes{0x06, 0x49, 0x00, 0x40, 0x00, 0x00, 0x00, 0x55}));
}

TEST_F(EcuEngine, AnswersSeveralPidsInOneRequest)
{
    use(petrol_car());
    auto frames = request({0x01, 0x04, 0x0F, 0x05});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(data_of(frames[0]), (bytes{0x05, 0x41, 0x04, 0x40, 0x05, 0x82, 0x55, 0x55}));
}

TEST_F(EcuEngine, AnswersNegativeResponseOnDemand)
{
    use(petrol_car());
    EXPECT_EQ(data_of(request({0x01, 0x11})[0]), (bytes{0x03, 0x7F, 0x01, 0x12, 0x55, 0x55, 0x55, 0x55}));
}

TEST_F(EcuEngine, VinWaitsForFlowControlThenSendsConsecutiveFrames)
{
    use(petrol_car());
    auto first = request({0x09, 0x02});
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(data_of(first[0]), (bytes{0x10, 0x14, 0x49, 0x02, 0x01, 'Z', 'Z', 'Z'}));
    EXPECT_TRUE(advance(T0 + 500ms).empty()); // nothing without flow control
    auto rest = receive(0x7E0, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}, T0 + 600ms);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(data_of(rest[0]), (bytes{0x21, 'D', 'E', 'M', '0', 'P', 'E', 'T'}));
    EXPECT_EQ(data_of(rest[1]), (bytes{0x22, 'R', '0', 'L', '0', '0', '0', '1'}));
    EXPECT_FALSE(ecu_engine_next_deadline(engine).has_value());
}

TEST_F(EcuEngine, BlockSizeAsksForAFlowControlPerBlock)
{
    use(petrol_car());
    request({0x09, 0x04}); // 39 bytes: first frame + 5 consecutive frames
    auto block = receive(0x7E0, {0x30, 0x02, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55});
    ASSERT_EQ(block.size(), 2u);
    EXPECT_EQ(block[0].data[0], 0x21);
    EXPECT_EQ(block[1].data[0], 0x22);
    EXPECT_TRUE(advance(T0 + 900ms).empty());
    block = receive(0x7E0, {0x30, 0x02, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}, T0 + 900ms);
    ASSERT_EQ(block.size(), 2u);
    EXPECT_EQ(block[0].data[0], 0x23);
    EXPECT_EQ(block[1].data[0], 0x24);
    block = receive(0x7E0, {0x30, 0x02, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}, T0 + 1800ms);
    ASSERT_EQ(block.size(), 1u);
    EXPECT_EQ(data_of(block[0]), (bytes{0x25, 0x35, 0x36, 0x37, 0x38, 0x39, 0x55, 0x55}));
}

TEST_F(EcuEngine, SeparationTimeSpacesConsecutiveFrames)
{
    use(petrol_car());
    request({0x09, 0x04});
    auto frames = receive(0x7E0, {0x30, 0x00, 20, 0x55, 0x55, 0x55, 0x55, 0x55});
    ASSERT_EQ(frames.size(), 1u); // the first one at once
    EXPECT_EQ(ecu_engine_next_deadline(engine), T0 + 20ms);
    EXPECT_TRUE(advance(T0 + 19ms).empty());
    ASSERT_EQ(advance(T0 + 20ms).size(), 1u);
    EXPECT_EQ(out[0].data[0], 0x22);
    EXPECT_EQ(ecu_engine_next_deadline(engine), T0 + 40ms);
}

TEST_F(EcuEngine, SeparationTimeInMicroseconds)
{
    use(petrol_car());
    request({0x09, 0x04});
    receive(0x7E0, {0x30, 0x00, 0xF3, 0x55, 0x55, 0x55, 0x55, 0x55});
    EXPECT_EQ(ecu_engine_next_deadline(engine), T0 + 300us);
    use(petrol_car());
    request({0x09, 0x04});
    receive(0x7E0, {0x30, 0x00, 0x80, 0x55, 0x55, 0x55, 0x55, 0x55}); // reserved: 127 ms
    EXPECT_EQ(ecu_engine_next_deadline(engine), T0 + 127ms);
}

TEST_F(EcuEngine, DropsTransferWithoutFlowControlInTime)
{
    use(petrol_car());
    request({0x09, 0x02});
    EXPECT_EQ(ecu_engine_next_deadline(engine), T0 + 1000ms);
    advance(T0 + 999ms);
    advance(T0 + 1000ms);
    EXPECT_FALSE(ecu_engine_next_deadline(engine).has_value());
    ASSERT_FALSE(engine.notes.empty());
    EXPECT_NE(engine.notes.back().find("no flow control"), std::string::npos);
    EXPECT_TRUE(receive(0x7E0, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}, T0 + 1100ms).empty());
}

TEST_F(EcuEngine, FlowControlWaitRestartsTheTimer)
{
    use(petrol_car());
    request({0x09, 0x02});
    receive(0x7E0, {0x31, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}, T0 + 900ms);
    advance(T0 + 1500ms);
    EXPECT_EQ(receive(0x7E0, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}, T0 + 1600ms).size(), 2u);
}

TEST_F(EcuEngine, OverflowAndInvalidFlowStatusEndTheTransfer)
{
    for (std::uint8_t status : {0x32, 0x35}) {
        use(petrol_car());
        request({0x09, 0x02});
        receive(0x7E0, {status, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55});
        EXPECT_TRUE(receive(0x7E0, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}).empty());
    }
}

TEST_F(EcuEngine, IgnoresFlowControlOnFunctionalOrForeignIds)
{
    use(petrol_car());
    request({0x09, 0x02});
    EXPECT_TRUE(receive(0x7DF, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}).empty());
    EXPECT_TRUE(receive(0x7E1, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}).empty());
    EXPECT_TRUE(receive(0x7E0 | CAN_EFF_FLAG, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}).empty());
    EXPECT_EQ(receive(0x7E0, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}).size(), 2u);
}

TEST_F(EcuEngine, SequenceNumberWrapsAfterFifteen)
{
    ecu_profile profile = petrol_car();
    ecu_rule rule;
    rule.request = {0x09, 0x0B};
    rule.responses.push_back(bytes(132, 0x11));
    profile.ecus[0].rules.insert(profile.ecus[0].rules.begin(), rule);
    use(profile);
    request({0x09, 0x0B});
    auto frames = receive(0x7E0, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55});
    ASSERT_EQ(frames.size(), 18u); // 6 + 18 * 7 = 132
    EXPECT_EQ(frames[14].data[0], 0x2F);
    EXPECT_EQ(frames[15].data[0], 0x20);
    EXPECT_EQ(frames[16].data[0], 0x21);
}

TEST_F(EcuEngine, ClearAnswersPendingTwiceThenClears)
{
    use(petrol_car());
    EXPECT_EQ(data_of(request({0x04})[0]), (bytes{0x03, 0x7F, 0x04, 0x78, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(data_of(request({0x04})[0]), (bytes{0x03, 0x7F, 0x04, 0x78, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(data_of(request({0x03})[0]), (bytes{0x06, 0x43, 0x02, 0x01, 0x33, 0x04, 0x20, 0x55}));
    EXPECT_EQ(data_of(request({0x04})[0]), (bytes{0x01, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(data_of(request({0x03})[0]), (bytes{0x02, 0x43, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(data_of(request({0x07})[0]), (bytes{0x02, 0x47, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(data_of(request({0x0A})[0]), (bytes{0x04, 0x4A, 0x01, 0x04, 0x20, 0x55, 0x55, 0x55}));
    EXPECT_TRUE(engine.profile.ecus[0].stored_dtcs.empty());
}

TEST_F(EcuEngine, ClearRefusedOrSilentKeepsTheCodes)
{
    use(profile_from(R"({"dtcs": {"stored": ["P0133"]}, "clear": {"result": "refuse", "nrc": "0x22"}})"));
    EXPECT_EQ(data_of(request({0x04})[0]), (bytes{0x03, 0x7F, 0x04, 0x22, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(data_of(request({0x03})[0]), (bytes{0x04, 0x43, 0x01, 0x01, 0x33, 0x55, 0x55, 0x55}));
    use(profile_from(R"({"dtcs": {"stored": ["P0133"]}, "clear": {"pending_answers": 1, "result": "silent"}})"));
    EXPECT_EQ(request({0x04}).size(), 1u);
    EXPECT_TRUE(request({0x04}).empty());
    EXPECT_EQ(request({0x04}).size(), 1u); // the sequence starts again
}

TEST_F(EcuEngine, LongTroubleCodeListGoesMultiFrame)
{
    use(profile_from(R"({"dtcs": {"pending": ["P0133", "U0100", "C0123", "B1234"]}})"));
    auto first = request({0x07});
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(data_of(first[0]), (bytes{0x10, 0x0A, 0x47, 0x04, 0x01, 0x33, 0xC1, 0x00}));
    auto rest = receive(0x7E0, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55});
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(data_of(rest[0]), (bytes{0x21, 0x41, 0x23, 0x92, 0x34, 0x55, 0x55, 0x55}));
}

TEST_F(EcuEngine, TwentyNineBitIdentifiers)
{
    use(profile_from(R"({"addressing": "29bit", "fill_byte": 0, "vin": "ZZZDEM029BT000003", "pids": {"0C": "1A F8"}})"));
    EXPECT_TRUE(receive(0x7DF, {0x02, 0x01, 0x0C, 0, 0, 0, 0, 0}).empty());
    EXPECT_TRUE(receive(0x18DB33F1, {0x02, 0x01, 0x0C, 0, 0, 0, 0, 0}).empty()); // no EFF flag
    auto frames = receive(0x18DB33F1 | CAN_EFF_FLAG, {0x02, 0x01, 0x0C, 0, 0, 0, 0, 0});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].can_id, 0x18DAF110u | CAN_EFF_FLAG);
    EXPECT_EQ(data_of(frames[0]), (bytes{0x04, 0x41, 0x0C, 0x1A, 0xF8, 0, 0, 0}));
    receive(0x18DB33F1 | CAN_EFF_FLAG, {0x02, 0x09, 0x02, 0, 0, 0, 0, 0});
    EXPECT_EQ(receive(0x18DA10F1 | CAN_EFF_FLAG, {0x30, 0, 0, 0, 0, 0, 0, 0}).size(), 2u);
}

TEST_F(EcuEngine, EachEcuTakesFlowControlOnItsOwnPhysicalId)
{
    use(profile_from(R"({"ecus": [ {"vin": "ZZZDEM0TW0ECU0004"}, {"vin": "ZZZDEM0TW0ECU0005"} ]})"));
    auto first = request({0x09, 0x02});
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].can_id, 0x7E8u);
    EXPECT_EQ(first[1].can_id, 0x7E9u);
    auto from_first = receive(0x7E0, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55});
    ASSERT_EQ(from_first.size(), 2u);
    EXPECT_EQ(from_first[0].can_id, 0x7E8u);
    auto from_second = receive(0x7E1, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55});
    ASSERT_EQ(from_second.size(), 2u);
    EXPECT_EQ(from_second[1].can_id, 0x7E9u);
    EXPECT_EQ(from_second[1].data[7], '5');
}

TEST_F(EcuEngine, DelayHoldsTheAnswerBack)
{
    use(profile_from(R"({"dtcs": {"stored": ["P0133"]}, "delays_ms": {"04": 50, "03": 20}})"));
    EXPECT_TRUE(request({0x04}).empty());
    EXPECT_EQ(ecu_engine_next_deadline(engine), T0 + 50ms);
    EXPECT_TRUE(advance(T0 + 49ms).empty());
    ASSERT_EQ(advance(T0 + 50ms).size(), 1u);
    EXPECT_EQ(out[0].data[1], 0x44);
}

TEST_F(EcuEngine, WithoutPaddingFramesAreOnlyAsLongAsTheirData)
{
    use(profile_from(R"({"padding": false, "pids": {"0D": "20"}, "vin": "ZZZDEM0PETR0L0001"})"));
    auto frames = request({0x01, 0x0D});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].len, 4);
    request({0x09, 0x02});
    auto rest = receive(0x7E0, {0x30, 0x00, 0x00});
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[1].len, 8); // 7 bytes left exactly
}

TEST_F(EcuEngine, IgnoresMalformedTesterFrames)
{
    use(petrol_car());
    can_frame oversized = frame(0x7DF, {0x02, 0x01, 0x0C, 0x55, 0x55, 0x55, 0x55, 0x55});
    oversized.len = 12;
    ecu_engine_receive_frame(engine, oversized, T0, out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(receive(0x7DF, {}).empty());
    EXPECT_TRUE(receive(0x7DF, {0x02, 0x01}).empty());          // shorter than its PCI says
    EXPECT_TRUE(receive(0x7DF, {0x00, 0x01, 0x0C}).empty());    // length 0
    EXPECT_TRUE(receive(0x7DF, {0x08, 0x01, 0x0C, 0, 0, 0, 0, 0}).empty());
    EXPECT_TRUE(receive(0x7DF, {0x10, 0x08, 0x01, 0x0C, 0, 0, 0, 0}).empty()); // first frame
    EXPECT_TRUE(receive(0x7DF | CAN_ERR_FLAG, {0x02, 0x01, 0x0C, 0, 0, 0, 0, 0}).empty());
    EXPECT_TRUE(receive(0x7DF | CAN_RTR_FLAG, {0x02, 0x01, 0x0C, 0, 0, 0, 0, 0}).empty());
    EXPECT_EQ(receive(0x7DF, {0x02, 0x01, 0x0C}).size(), 1u); // short but consistent
}

TEST_F(EcuEngine, NewRequestReplacesATransferInProgress)
{
    use(petrol_car());
    request({0x09, 0x02});
    auto frames = request({0x01, 0x05}, T0 + 100ms);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data[1], 0x41);
    EXPECT_TRUE(receive(0x7E0, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}).empty());
}

TEST_F(EcuEngine, UnplugDropsTransfersButKeepsState)
{
    use(petrol_car());
    request({0x04});
    request({0x09, 0x02});
    ecu_engine_abort_transfers(engine);
    EXPECT_FALSE(ecu_engine_next_deadline(engine).has_value());
    EXPECT_EQ(data_of(request({0x04})[0])[3], 0x78); // second pending answer: sequence kept
}

TEST_F(EcuEngine, PayloadModeQueuesWholeAnswers)
{
    use(profile_from(R"({"vin": "ZZZDEM0PETR0L0001", "delays_ms": {"09": 30}})"));
    ecu_engine_receive_payload(engine, 0, {0x09, 0x02}, T0);
    std::vector<ecu_payload_out> answers;
    ecu_engine_take_payloads(engine, T0 + 29ms, answers);
    EXPECT_TRUE(answers.empty());
    ecu_engine_take_payloads(engine, T0 + 30ms, answers);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].payload.size(), 20u);
    EXPECT_EQ(answers[0].payload[2], 0x01);
}

// OBD on UDS: the same kind of data as the petrol car, answered through UDS.
ecu_profile uds_car(const std::string &extra = "")
{
    return profile_from(R"({
        "obd_on_uds": true, "fill_byte": "0x55", "vin": "ZZZDEM0UDS2027001",)" + extra + R"(
        "pids": { "05": "82", "0C": "0C D0", "21": "00 10" },
        "readiness": { "ignition": "spark", "mil": true, "complete": ["MISFIRE"], "incomplete": ["CATALYST"] },
        "dtcs": { "stored": ["P0133", "P0420"], "pending": ["P0420", "P0300"], "permanent": ["P0420", "P0171"] },
        "freeze_frame": { "dtc": "P0420", "pids": { "0C": "0D 48", "05": "82" } },
        "clear": { "pending_answers": 2 }
    })");
}

struct ObdOnUds : engine_fixture {
    bytes answer(const bytes &request)
    {
        std::optional<byte_vector> payload = ecu_engine_answer(engine, 0, request);
        return payload ? *payload : bytes{};
    }
};

TEST_F(ObdOnUds, ClassicServicesGetNoAnswerAtAll)
{
    use(uds_car());
    for (const bytes &classic : {bytes{0x01, 0x00}, bytes{0x01, 0x0C}, bytes{0x02, 0x02, 0x00}, bytes{0x03},
                                 bytes{0x04}, bytes{0x07}, bytes{0x09, 0x02}, bytes{0x0A}})
        EXPECT_TRUE(request(classic).empty()) << int(classic[0]);
    EXPECT_FALSE(engine.profile.ecus[0].stored_dtcs.empty()); // the 04 cleared nothing
}

TEST_F(ObdOnUds, ReadsPidsAndVehicleInformationByIdentifier)
{
    use(uds_car());
    EXPECT_EQ(answer({0x22, 0xF4, 0x00}), (bytes{0x62, 0xF4, 0x00, 0x88, 0x10, 0x00, 0x01}));
    EXPECT_EQ(answer({0x22, 0xF4, 0x20}), (bytes{0x62, 0xF4, 0x20, 0x80, 0x00, 0x00, 0x00}));
    EXPECT_EQ(answer({0x22, 0xF4, 0x01}), (bytes{0x62, 0xF4, 0x01, 0x82, 0x01, 0x01, 0x01}));
    EXPECT_EQ(answer({0x22, 0xF4, 0x05, 0xF4, 0x0C}), (bytes{0x62, 0xF4, 0x05, 0x82, 0xF4, 0x0C, 0x0C, 0xD0}));
    EXPECT_EQ(answer({0x22, 0xF8, 0x00}), (bytes{0x62, 0xF8, 0x00, 0x40, 0x00, 0x00, 0x00}));
    EXPECT_EQ(answer({0x22, 0xF4, 0x40}), (bytes{0x7F, 0x22, 0x31}));
    EXPECT_EQ(answer({0x22, 0xF1, 0x90}), (bytes{0x7F, 0x22, 0x31}));
    EXPECT_EQ(answer({0x22, 0xF4}), (bytes{0x7F, 0x22, 0x13}));
    // The VIN without its item count, in frames; with it where the profile asks.
    auto first = request({0x22, 0xF8, 0x02});
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(data_of(first[0]), (bytes{0x10, 0x14, 0x62, 0xF8, 0x02, 'Z', 'Z', 'Z'}));
    use(uds_car(R"("info_item_count": true,)"));
    EXPECT_EQ(answer({0x22, 0xF8, 0x02}).size(), 21u);
    EXPECT_EQ(answer({0x22, 0xF8, 0x02})[3], 0x01);
    EXPECT_EQ(answer({0x22, 0xF8, 0x00}), (bytes{0x62, 0xF8, 0x00, 0x40, 0x00, 0x00, 0x00}));
}

TEST_F(ObdOnUds, CodesByStatusMaskOneRecordPerCode)
{
    use(uds_car());
    const bytes header{0x59, 0x42, 0x33, 0xFF, 0xE0, 0x04};
    const bytes p0133{0x20, 0x01, 0x33, 0x00, 0x08}, p0420{0x20, 0x04, 0x20, 0x00, 0x0C},
        p0300{0x20, 0x03, 0x00, 0x00, 0x04};
    auto with = [&](std::initializer_list<bytes> records) {
        bytes all = header;
        for (const bytes &r : records)
            all.insert(all.end(), r.begin(), r.end());
        return all;
    };
    EXPECT_EQ(answer({0x19, 0x42, 0x33, 0x0C, 0xFF}), with({p0133, p0420, p0300}));
    EXPECT_EQ(answer({0x19, 0x42, 0x33, 0x08, 0xFF}), with({p0133, p0420}));
    EXPECT_EQ(answer({0x19, 0x42, 0x33, 0x04, 0xFF}), with({p0420, p0300}));
    EXPECT_EQ(answer({0x19, 0x42, 0x33, 0x01, 0xFF}), header);
    EXPECT_EQ(answer({0x19, 0x42, 0x00, 0x0C, 0xFF}), (bytes{0x7F, 0x19, 0x31}));
    EXPECT_EQ(answer({0x19, 0x42, 0x33}), (bytes{0x7F, 0x19, 0x13}));
    EXPECT_EQ(answer({0x19, 0x0A}), (bytes{0x7F, 0x19, 0x12}));
}

TEST_F(ObdOnUds, PermanentCodes)
{
    use(uds_car());
    EXPECT_EQ(answer({0x19, 0x55, 0x33}),
              (bytes{0x59, 0x55, 0x33, 0xFF, 0x04, 0x04, 0x20, 0x00, 0x0C, 0x01, 0x71, 0x00, 0x00}));
    EXPECT_EQ(answer({0x19, 0x55, 0x00}), (bytes{0x7F, 0x19, 0x31}));
}

TEST_F(ObdOnUds, FreezeFrameIsTheStoredCodesSnapshot)
{
    use(uds_car());
    EXPECT_EQ(answer({0x19, 0x03}), (bytes{0x59, 0x03, 0x04, 0x20, 0x00, 0x00}));
    const bytes frame{0x59, 0x04, 0x04, 0x20, 0x00, 0x0C, 0x00, 0x02, 0xF4, 0x05, 0x82, 0xF4, 0x0C, 0x0D, 0x48};
    EXPECT_EQ(answer({0x19, 0x04, 0x04, 0x20, 0x00, 0x00}), frame);
    EXPECT_EQ(answer({0x19, 0x04, 0x04, 0x20, 0x00, 0xFF}), frame);
    EXPECT_EQ(answer({0x19, 0x04, 0x04, 0x20, 0x00, 0x01}), (bytes{0x7F, 0x19, 0x31}));
    EXPECT_EQ(answer({0x19, 0x04, 0x01, 0x33, 0x00, 0x00}), (bytes{0x7F, 0x19, 0x31}));
}

TEST_F(ObdOnUds, FailureTypeIsTheCodesThirdByte)
{
    use(profile_from(R"({"obd_on_uds": true,
        "dtcs": { "stored": ["03011F", "0301 2E"], "pending": [[3, 1, 31]], "permanent": ["03011F"] },
        "freeze_frame": { "dtc": "03012E", "record": 1, "pids": { "0D": "20" } } })"));
    EXPECT_EQ(answer({0x19, 0x42, 0x33, 0x0C, 0xFF}), (bytes{0x59, 0x42, 0x33, 0xFF, 0xE0, 0x04,
                                                            0x20, 0x03, 0x01, 0x1F, 0x0C,
                                                            0x20, 0x03, 0x01, 0x2E, 0x08}));
    EXPECT_EQ(answer({0x19, 0x55, 0x33}), (bytes{0x59, 0x55, 0x33, 0xFF, 0x04, 0x03, 0x01, 0x1F, 0x0C}));
    EXPECT_EQ(answer({0x19, 0x03}), (bytes{0x59, 0x03, 0x03, 0x01, 0x2E, 0x01}));
    EXPECT_EQ(answer({0x19, 0x04, 0x03, 0x01, 0x2E, 0x01}),
              (bytes{0x59, 0x04, 0x03, 0x01, 0x2E, 0x08, 0x01, 0x01, 0xF4, 0x0D, 0x20}));
    EXPECT_EQ(answer({0x19, 0x04, 0x03, 0x01, 0x1F, 0x01}), (bytes{0x7F, 0x19, 0x31}));
    // The classic services ignore the failure type (seen by a classic twin).
    engine.profile.obd_on_uds = false;
    EXPECT_EQ(answer({0x03}), (bytes{0x43, 0x02, 0x03, 0x01, 0x03, 0x01}));
}

TEST_F(ObdOnUds, ClearAnswersPendingThenClearsCodesMilMonitorsAndFrame)
{
    use(uds_car());
    const bytes clear{0x04, 0x14, 0xFF, 0xFF, 0x33, 0x55, 0x55, 0x55};
    EXPECT_EQ(data_of(receive(0x7DF, clear)[0]), (bytes{0x03, 0x7F, 0x14, 0x78, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(data_of(receive(0x7DF, clear)[0]), (bytes{0x03, 0x7F, 0x14, 0x78, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(data_of(receive(0x7DF, clear)[0]), (bytes{0x01, 0x54, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(answer({0x19, 0x42, 0x33, 0x0C, 0xFF}), (bytes{0x59, 0x42, 0x33, 0xFF, 0xE0, 0x04}));
    EXPECT_EQ(answer({0x22, 0xF4, 0x01}), (bytes{0x62, 0xF4, 0x01, 0x00, 0x11, 0x01, 0x01}));
    EXPECT_EQ(answer({0x19, 0x03}), (bytes{0x59, 0x03}));
    EXPECT_EQ(answer({0x19, 0x55, 0x33}),
              (bytes{0x59, 0x55, 0x33, 0xFF, 0x04, 0x04, 0x20, 0x00, 0x00, 0x01, 0x71, 0x00, 0x00}));
    EXPECT_EQ(answer({0x14, 0xFF, 0xFF, 0x00}), (bytes{0x7F, 0x14, 0x31}));
    // A clear whose final answer follows the "response pending" on its own.
    ecu_profile deferred = uds_car();
    deferred.ecus[0].clear_final_after_ms = 200;
    use(deferred);
    EXPECT_EQ(data_of(receive(0x7DF, clear)[0]), (bytes{0x03, 0x7F, 0x14, 0x78, 0x55, 0x55, 0x55, 0x55}));
    ASSERT_EQ(advance(T0 + 200ms).size(), 1u);
    EXPECT_EQ(data_of(out[0]), (bytes{0x01, 0x54, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}));
}

TEST(EcuFrames, DescribesFramesAndRequests)
{
    EXPECT_EQ(ecu_describe_frame(frame(0x7DF, {0x02, 0x01, 0x0C, 0x55, 0x55, 0x55, 0x55, 0x55})),
              "7DF [8] 02 01 0C 55 55 55 55 55");
    EXPECT_EQ(ecu_describe_frame(frame(0x18DAF110 | CAN_EFF_FLAG, {0x01, 0x44})), "18DAF110 [2] 01 44");
    can_frame oversized = frame(0x7E8, {1, 2, 3, 4, 5, 6, 7, 8});
    oversized.len = 15;
    EXPECT_EQ(ecu_describe_frame(oversized), "7E8 [15] 01 02 03 04 05 06 07 08");
    EXPECT_EQ(ecu_describe_request({0x01, 0x0C}), "01 0C ENGRPM");
    EXPECT_EQ(ecu_describe_request({0x09, 0x02}), "09 02 VIN");
    EXPECT_EQ(ecu_describe_request({0x04}), "04 CLEAR_DTC");
    EXPECT_EQ(ecu_describe_request({0x22, 0xF4, 0x0C}), "22 F4 0C ENGRPM");
    EXPECT_EQ(ecu_describe_request({0x19, 0x42, 0x33, 0x0C, 0xFF}), "19 42 DTC_BY_STATUS");
}

} // namespace
