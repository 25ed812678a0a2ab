// The request/answer exchange over a socket pair, the test playing the ECU.
#include "can_peer.h"

#include "obd2/config_file.h"
#include "obd2/isotp.h"

#include <gtest/gtest.h>

#include <thread>

using bytes = std::vector<std::uint8_t>;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr canid_t EFF = CAN_EFF_FLAG;
const bytes PID00_REQUEST{0x02, 0x01, 0x00, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
const bytes VIN_REQUEST{0x02, 0x09, 0x02, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};

class IsotpExchange : public testing::Test {
protected:
    void SetUp() override { g_can_padding = 0xAA; }

    // The daemon's request reaches the ECU with this identifier and payload.
    static void expect_request(can_test_peer &ecu, canid_t id, const bytes &payload)
    {
        auto frame = ecu.receive();
        ASSERT_TRUE(frame) << "no request reached the ECU";
        EXPECT_EQ(frame->can_id, id);
        EXPECT_EQ(can_frame_bytes(*frame), payload);
    }

    static void expect_flow_control(can_test_peer &ecu, canid_t id)
    {
        auto frame = ecu.receive();
        ASSERT_TRUE(frame) << "no flow control";
        EXPECT_EQ(frame->can_id, id);
        EXPECT_EQ(can_frame_bytes(*frame), (bytes{0x30, 0x00, 0x00, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
    }

    // The VIN's first frame from `from`, and the flow control the tester owes it.
    static void start_vin_answer(can_test_peer &ecu, canid_t from, canid_t flow_control_to)
    {
        ecu.send(from, {0x10, 0x13, 0x49, 0x02, 0x01, 0x57, 0x30, 0x4C});
        expect_flow_control(ecu, flow_control_to);
    }

    static int count(const std::string &text, const std::string &what)
    {
        int n = 0;
        for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
            ++n;
        return n;
    }
};

// The rest of the 20-byte VIN answer: its two consecutive frames.
void send_vin_answer(can_test_peer &ecu, canid_t from)
{
    ecu.send(from, {0x21, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37});
    ecu.send(from, {0x22, 0x38, 0x39, 0x41, 0x42, 0x43, 0x44, 0x45});
}

const bytes VIN_RESPONSE{0x13, 0x49, 0x02, 0x01, 0x57, 0x30, 0x4C, 0x31, 0x32, 0x33,
                         0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x41, 0x42, 0x43, 0x44};

TEST_F(IsotpExchange, AcceptsSingleFrameFromAnyObdResponder)
{
    can_test_peer ecu(1);
    async_request call(1, PID00_REQUEST, REQ_KIND_LIVE);
    expect_request(ecu, 0x7DF, PID00_REQUEST);
    ecu.send(0x7E9, {0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00});
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(call.answer(), (bytes{0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00}));
}

TEST_F(IsotpExchange, IgnoresFramesFromOtherIdentifiers)
{
    can_test_peer ecu(1);
    async_request call(1, PID00_REQUEST, REQ_KIND_LIVE);
    expect_request(ecu, 0x7DF, PID00_REQUEST);
    for (canid_t id : {0x7DFu, 0x7E0u, 0x7F0u, 0x7E8u | EFF, 0x7E8u | CAN_ERR_FLAG})
        ecu.send(id, {0x06, 0x41, 0x00, 0x11, 0x11, 0x11, 0x11, 0x00});
    ecu.send(0x7E8, {0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00});
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(call.answer(), (bytes{0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00}));
}

TEST_F(IsotpExchange, Accepts29BitAnswerOnlyFromEcu10ToTester)
{
    can_test_peer ecu(2);
    async_request call(2, PID00_REQUEST, REQ_KIND_LIVE);
    expect_request(ecu, 0x18DB33F1 | EFF, PID00_REQUEST);
    ecu.send(0x18DAF111 | EFF, {0x06, 0x41, 0x00, 0x11, 0x11, 0x11, 0x11, 0x00});
    ecu.send(0x18DAF110, {0x06, 0x41, 0x00, 0x22, 0x22, 0x22, 0x22, 0x00}); // no EFF flag
    ecu.send(0x18DAF110 | EFF, {0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00});
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(call.answer(), (bytes{0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00}));
}

TEST_F(IsotpExchange, ReassemblesMultiFrameAnswerAfterFlowControl)
{
    can_test_peer ecu(1);
    CaptureStdout();
    async_request call(1, VIN_REQUEST, REQ_KIND_VEHICLE_INFO);
    expect_request(ecu, 0x7DF, VIN_REQUEST);
    start_vin_answer(ecu, 0x7E8, 0x7E0);
    send_vin_answer(ecu, 0x7E8);
    EXPECT_EQ(call.get(), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(call.answer(), VIN_RESPONSE); // the last byte of the second frame is fill
    EXPECT_TRUE(has_text(out, " >>>>>>> Total Len: 20 <<<<<<<<\n"));
    EXPECT_TRUE(has_text(out, "---------: response len : 20 copy len : 6 | expected seq : 3 | "
                               "Total len : 20\n"));
}

TEST_F(IsotpExchange, Sends29BitFlowControlToEcuPhysicalAddress)
{
    can_test_peer ecu(2);
    async_request call(2, VIN_REQUEST, REQ_KIND_VEHICLE_INFO);
    expect_request(ecu, 0x18DB33F1 | EFF, VIN_REQUEST);
    start_vin_answer(ecu, 0x18DAF110 | EFF, 0x18DA10F1 | EFF);
    send_vin_answer(ecu, 0x18DAF110 | EFF);
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(call.answer(), VIN_RESPONSE);
}

TEST_F(IsotpExchange, SendsFlowControlToTheEcuThatAnswered)
{
    can_test_peer ecu(1);
    async_request call(1, VIN_REQUEST, REQ_KIND_VEHICLE_INFO);
    expect_request(ecu, 0x7DF, VIN_REQUEST);
    start_vin_answer(ecu, 0x7E9, 0x7E1);
    send_vin_answer(ecu, 0x7E9);
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(call.answer(), VIN_RESPONSE);
}

TEST_F(IsotpExchange, TakesConsecutiveFramesOnlyFromTheFirstFramesSender)
{
    can_test_peer ecu(1);
    async_request call(1, VIN_REQUEST, REQ_KIND_VEHICLE_INFO);
    expect_request(ecu, 0x7DF, VIN_REQUEST);
    start_vin_answer(ecu, 0x7E8, 0x7E0);
    ecu.send(0x7E9, {0x21, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}); // another ECU
    ecu.send(0x7E9, {0x03, 0x7F, 0x09, 0x12});                        // ditto, refusing
    send_vin_answer(ecu, 0x7E8);
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(call.answer(), VIN_RESPONSE);
}

// In the middle of its VIN the ECU refuses another service and starts an
// answer of another service: neither is this request's (found by fuzzing).
TEST_F(IsotpExchange, OtherServicesFramesDoNotEndAMultiFrameAnswer)
{
    can_test_peer ecu(1);
    async_request call(1, VIN_REQUEST, REQ_KIND_VEHICLE_INFO);
    expect_request(ecu, 0x7DF, VIN_REQUEST);
    start_vin_answer(ecu, 0x7E8, 0x7E0);
    ecu.send(0x7E8, {0x03, 0x7F, 0x01, 0x12});
    ecu.send(0x7E8, {0x10, 0x08, 0x43, 0x03, 0x01, 0x33, 0x04, 0x20});
    send_vin_answer(ecu, 0x7E8);
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(call.answer(), VIN_RESPONSE);
}

TEST_F(IsotpExchange, WrapsSequenceNumberAfterFifteen)
{
    can_test_peer ecu(1);
    async_request call(1, VIN_REQUEST, REQ_KIND_VEHICLE_INFO);
    expect_request(ecu, 0x7DF, VIN_REQUEST);
    // 6 bytes in the first frame + 17 consecutive frames of 7 = 125 payload bytes.
    ecu.send(0x7E8, {0x10, 125, 0x49, 0x02, 0x01, 0x00, 0x01, 0x02});
    expect_flow_control(ecu, 0x7E0);
    bytes expected{125, 0x49, 0x02, 0x01, 0x00, 0x01, 0x02};
    for (int i = 1; i <= 17; ++i) {
        auto b = static_cast<std::uint8_t>(i);
        ecu.send(0x7E8, {static_cast<std::uint8_t>(0x20 | (i & 0x0F)), b, b, b, b, b, b, b});
        expected.insert(expected.end(), 7, b);
    }
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(call.answer(), expected);
}

TEST_F(IsotpExchange, RejectsWrongSequenceNumber)
{
    can_test_peer ecu(1);
    CaptureStdout();
    async_request call(1, VIN_REQUEST, REQ_KIND_VEHICLE_INFO);
    expect_request(ecu, 0x7DF, VIN_REQUEST);
    ecu.send(0x7E8, {0x10, 0x20, 0x49, 0x02, 0x01, 0x57, 0x30, 0x4C});
    expect_flow_control(ecu, 0x7E0);
    ecu.send(0x7E8, {0x21, 1, 2, 3, 4, 5, 6, 7});
    ecu.send(0x7E8, {0x23, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(call.get(), -1);
    EXPECT_TRUE(has_text(GetCapturedStdout(), "OBD2 unexpected sequence: got 0x03, expected 0x02\n"));
}

TEST_F(IsotpExchange, ReportsNegativeResponse)
{
    can_test_peer ecu(1);
    CaptureStdout();
    async_request call(1, PID00_REQUEST, REQ_KIND_LIVE);
    expect_request(ecu, 0x7DF, PID00_REQUEST);
    ecu.send(0x7E8, {0x03, 0x7F, 0x01, 0x12, 0xAA, 0xAA, 0xAA, 0xAA});
    EXPECT_EQ(call.get(), -2);
    EXPECT_EQ(call.answer(), (bytes{0x03, 0x7F, 0x01, 0x12, 0xAA, 0xAA, 0xAA, 0xAA}));
    EXPECT_TRUE(has_text(GetCapturedStdout(), "OBD2 Negative Response: SID=0x01, NRC=0x12\n"));
}

TEST_F(IsotpExchange, Treats7FInConsecutiveFrameAsPayload)
{
    can_test_peer ecu(1);
    async_request call(1, VIN_REQUEST, REQ_KIND_VEHICLE_INFO);
    expect_request(ecu, 0x7DF, VIN_REQUEST);
    ecu.send(0x7E8, {0x10, 0x0D, 0x49, 0x02, 0x01, 0x57, 0x30, 0x4C});
    expect_flow_control(ecu, 0x7E0);
    ecu.send(0x7E8, {0x21, 0x7F, 0x01, 0x12, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(call.answer(), (bytes{0x0D, 0x49, 0x02, 0x01, 0x57, 0x30, 0x4C, 0x7F, 0x01, 0x12,
                                    0x00, 0x00, 0x00, 0x00}));
}

TEST_F(IsotpExchange, TimesOutWhenNothingAnswers)
{
    can_test_peer ecu(1);
    CaptureStdout();
    async_request call(1, PID00_REQUEST, REQ_KIND_LIVE);
    EXPECT_EQ(call.get(), -1);
    EXPECT_EQ(call.resp_len, 0u);
    EXPECT_TRUE(has_text(GetCapturedStdout(), "Timeout: No CAN frame received\n"));
}

TEST_F(IsotpExchange, TimesOutWhenConsecutiveFramesStop)
{
    can_test_peer ecu(1);
    CaptureStdout();
    async_request call(1, VIN_REQUEST, REQ_KIND_LIVE);
    expect_request(ecu, 0x7DF, VIN_REQUEST);
    start_vin_answer(ecu, 0x7E8, 0x7E0);
    EXPECT_EQ(call.get(), -1);
    EXPECT_TRUE(has_text(GetCapturedStdout(), "Timeout: No CAN frame received\n"));
}

TEST_F(IsotpExchange, RejectsRequestLengthsOutsideTwoToEight)
{
    can_test_peer ecu(1);
    std::uint8_t req[9] = {0x02, 0x01, 0x00};
    std::uint8_t resp[OBD2_RESPONSE_SIZE];
    std::uint64_t len = 0;
    CaptureStdout();
    EXPECT_EQ(send_obd2_request(1, req, 1, resp, &len, REQ_KIND_LIVE), -1);
    EXPECT_EQ(send_obd2_request(1, req, 9, resp, &len, REQ_KIND_LIVE), -1);
    EXPECT_EQ(GetCapturedStdout(), "Invalid OBD2 request length: 1 bytes\n"
                                   "Invalid OBD2 request length: 9 bytes\n");
    EXPECT_EQ(ecu.queued_from_daemon(), 0u);
}

TEST_F(IsotpExchange, PrepareRequestFillsWithLowByteOfPadding)
{
    std::uint8_t payload[8] = {};
    EXPECT_EQ(prepare_request(payload, 2, 1, 0x0C), 1);
    EXPECT_EQ(bytes(payload, payload + 8), (bytes{0x02, 0x01, 0x0C, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
    g_can_padding = 0x155;
    EXPECT_EQ(prepare_request(payload, 0x101, 0x103, -1), 1);
    EXPECT_EQ(bytes(payload, payload + 8), (bytes{0x01, 0x03, 0xFF, 0x55, 0x55, 0x55, 0x55, 0x55}));
}

// Frames queued before the request: another ECU's late answer to PID 0C is
// dropped when PID 0D is asked, while an answer to 0D itself (the slow ECU's
// answer to the previous try) is kept and taken without another wait.
TEST_F(IsotpExchange, KeepsOnlyQueuedFramesThatAnswerTheRequest)
{
    const bytes speed_request{0x02, 0x01, 0x0D, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    can_test_peer ecu(1);
    ecu.send(0x7E9, {0x04, 0x41, 0x0C, 0x1A, 0xF8, 0x00, 0x00, 0x00});
    ecu.send(0x7E8, {0x03, 0x41, 0x0D, 0x28, 0x00, 0x00, 0x00, 0x00});
    CaptureStdout();
    async_request call(1, speed_request, REQ_KIND_LIVE);
    expect_request(ecu, 0x7DF, speed_request);
    EXPECT_EQ(call.get(), 0);
    const std::string log = GetCapturedStdout();
    EXPECT_EQ(call.answer(), (bytes{0x03, 0x41, 0x0D, 0x28, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(count(log, "OBD2 WARN: stale frame 0x7E9 discarded"), 1) << log;
    EXPECT_EQ(count(log, "stale frame"), 1) << log;

    // Nothing is kept from one exchange to the next: with the queue empty,
    // the next exchange waits for a fresh answer.
    async_request again(1, speed_request, REQ_KIND_LIVE);
    expect_request(ecu, 0x7DF, speed_request);
    ecu.send(0x7E8, {0x03, 0x41, 0x0D, 0x30});
    EXPECT_EQ(again.get(), 0);
    EXPECT_EQ(again.answer(), (bytes{0x03, 0x41, 0x0D, 0x30}));
}

TEST_F(IsotpExchange, IgnoresRecordsOfOtherSizes)
{
    can_test_peer ecu(1);
    async_request call(1, PID00_REQUEST, REQ_KIND_LIVE);
    expect_request(ecu, 0x7DF, PID00_REQUEST);
    can_frame answer = make_can_frame(0x7E8, {0x02, 0x41, 0x00});
    ecu.send_record(&answer, 12);
    ecu.send(answer);
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(call.answer(), (bytes{0x02, 0x41, 0x00}));
}

TEST_F(IsotpExchange, FailsCleanlyWhenTheBusGoesAway)
{
    {
        can_test_peer ecu(1);
        async_request call(1, PID00_REQUEST, REQ_KIND_DTC_READ);
        expect_request(ecu, 0x7DF, PID00_REQUEST);
        ecu.hang_up(); // read sees the end of the stream at once, not after 10 s
        EXPECT_EQ(call.get(), -1);
    }
    can_test_peer gone(1);
    gone.hang_up();
    testing::internal::CaptureStderr();
    async_request call(1, PID00_REQUEST, REQ_KIND_LIVE); // no SIGPIPE either
    EXPECT_EQ(call.get(), -1);
    EXPECT_TRUE(has_text(testing::internal::GetCapturedStderr(), "CAN write failed"));
}

// ---- what a hostile bus cannot do ------------------------------------------------

TEST_F(IsotpExchange, StreamOfIgnoredFramesDoesNotKeepExchangeAlive)
{
    can_test_peer ecu(1);
    std::atomic<bool> done{false};
    CaptureStdout();
    async_request call(1, PID00_REQUEST, REQ_KIND_LIVE);
    expect_request(ecu, 0x7DF, PID00_REQUEST);
    std::thread flood([&] {
        while (!done) {
            ecu.send(0x7E8, {0x30, 0x00, 0x00});                     // stray flow control
            ecu.send(0x7E8 | CAN_ERR_FLAG, {0, 0, 0, 0, 0, 0, 0, 0}); // error frame
            ecu.send(0x7E8, {});                                    // no data at all
            std::this_thread::sleep_for(2ms);
        }
    });
    int result = call.get();
    done = true;
    flood.join();
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(has_text(GetCapturedStdout(), "Timeout: No CAN frame received\n"));
}

TEST_F(IsotpExchange, EndlessFirstFramesAreCutOffByTheExchangeLimit)
{
    can_test_peer ecu(1);
    std::atomic<bool> done{false};
    CaptureStdout();
    async_request call(1, VIN_REQUEST, REQ_KIND_LIVE);
    expect_request(ecu, 0x7DF, VIN_REQUEST);
    std::thread restarts([&] {
        while (!done) {
            ecu.send(0x7E8, {0x10, 0x13, 0x49, 0x02, 0x01, 0x57, 0x30, 0x4C});
            ecu.receive(50ms); // its flow control
        }
    });
    int result = call.get();
    done = true;
    restarts.join();
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(has_text(GetCapturedStdout(), "OBD2_ERROR : No complete answer within"));
}

// "Response pending" is no result: the read waits on. An ECU that keeps
// sending it, never its final answer, still lets the exchange end.
TEST_F(IsotpExchange, EndlessResponsePendingIsCutOffByThePendingLimit)
{
    can_test_peer ecu(1);
    std::atomic<bool> done{false};
    CaptureStdout();
    async_request call(1, PID00_REQUEST, REQ_KIND_LIVE);
    expect_request(ecu, 0x7DF, PID00_REQUEST);
    std::thread pending([&] {
        while (!done) {
            ecu.send(0x7E8, {0x03, 0x7F, 0x01, 0x78});
            for (int i = 0; i < 10 && !done; ++i)
                std::this_thread::sleep_for(100ms);
        }
    });
    int result = call.get();
    done = true;
    pending.join();
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(has_text(GetCapturedStdout(), "OBD2_ERROR : No final answer"));
}

TEST_F(IsotpExchange, UnusableFrameLateInMultiFrameAnswerEndsIt)
{
    can_test_peer ecu(1);
    async_request call(1, VIN_REQUEST, REQ_KIND_VEHICLE_INFO);
    expect_request(ecu, 0x7DF, VIN_REQUEST);
    start_vin_answer(ecu, 0x7E8, 0x7E0);
    std::this_thread::sleep_for(std::chrono::milliseconds(ISOTP_MULTIFRAME_LIMIT_MS + 100));
    ecu.send(0x7E8, {0x02, 0x41, 0x00}); // a single frame where a consecutive one is due
    EXPECT_EQ(call.get(), -1);
}

// ---- detect_mode -----------------------------------------------------------------

TEST_F(IsotpExchange, DetectsElevenBitEcu)
{
    can_test_peer ecu11(1), ecu29(2);
    async_detect call(PID00_REQUEST);
    expect_request(ecu11, 0x7DF, PID00_REQUEST);
    ecu11.send(0x7E8, {0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00});
    EXPECT_EQ(call.get(), 1);
    EXPECT_EQ(call.resp_len, 8u);
    EXPECT_EQ(ecu29.queued_from_daemon(), 0u);
}

TEST_F(IsotpExchange, DetectsTwentyNineBitEcuAfterOneElevenBitWait)
{
    can_test_peer ecu11(1), ecu29(2);
    CaptureStdout();
    async_detect call(PID00_REQUEST);
    expect_request(ecu11, 0x7DF, PID00_REQUEST);
    expect_request(ecu29, 0x18DB33F1 | EFF, PID00_REQUEST);
    ecu29.send(0x18DAF110 | EFF, {0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00});
    EXPECT_EQ(call.get(), 2);
    EXPECT_EQ(bytes(call.resp.begin(), call.resp.begin() + 8),
              (bytes{0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00}));
    EXPECT_EQ(count(GetCapturedStdout(), "Timeout: No CAN frame received"), 1);
}

TEST_F(IsotpExchange, DetectReportsNegativeResponse)
{
    can_test_peer ecu11(1), ecu29(2);
    async_detect call(PID00_REQUEST);
    expect_request(ecu11, 0x7DF, PID00_REQUEST);
    ecu11.send(0x7E8, {0x03, 0x7F, 0x01, 0x11});
    EXPECT_EQ(call.get(), -2);
}

TEST_F(IsotpExchange, DetectReturnsZeroWhenNeitherModeAnswers)
{
    can_test_peer ecu11(1), ecu29(2);
    CaptureStdout();
    async_detect call(PID00_REQUEST);
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(count(GetCapturedStdout(), "Timeout: No CAN frame received"), 2);
    EXPECT_EQ(ecu11.queued_from_daemon(), 1u);
    EXPECT_EQ(ecu29.queued_from_daemon(), 1u);
}

} // namespace

// ---- several ECUs on the bus -------------------------------------------------------

namespace {

constexpr ecu_entry ECM{0x7E8, ADDR_MODE_11BIT};
const bytes SPEED_REQUEST{0x02, 0x01, 0x0D, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};

// send_obd2_request for one ECU of the list, on a thread of its own.
std::future<int> ask_ecu(const ecu_entry &ecu, const bytes &req, std::array<std::uint8_t, 4096> &resp,
                         std::uint64_t &resp_len, int req_kind)
{
    return std::async(std::launch::async, [=, &resp, &resp_len] {
        return send_obd2_request(ecu, req.data(), req.size(), resp.data(), &resp_len, req_kind);
    });
}

} // namespace

// While PID 0D is asked, another ECU's late answer to PID 0C, the engine
// ECU's answer of another PID and a refusal of another service are ignored.
TEST_F(IsotpExchange, TakesOnlyTheAskedEcusAnswerToThisRequest)
{
    can_test_peer ecu(1);
    std::array<std::uint8_t, 4096> resp{};
    std::uint64_t resp_len = 0;
    auto call = ask_ecu(ECM, SPEED_REQUEST, resp, resp_len, REQ_KIND_LIVE);
    expect_request(ecu, 0x7DF, SPEED_REQUEST);
    ecu.send(0x7E9, {0x04, 0x41, 0x0C, 0x1A, 0xF8, 0x00, 0x00, 0x00}); // TCM, late, 0C
    ecu.send(0x7E9, {0x03, 0x41, 0x0D, 0x50, 0x00, 0x00, 0x00, 0x00}); // TCM's own 0D
    ecu.send(0x7E8, {0x04, 0x41, 0x0C, 0x0C, 0xD0, 0x00, 0x00, 0x00}); // ECM, another PID
    ecu.send(0x7E8, {0x03, 0x7F, 0x09, 0x12, 0x00, 0x00, 0x00, 0x00}); // refusal of service 09
    ecu.send(0x7E8, {0x03, 0x41, 0x0D, 0x28, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(bytes(resp.begin(), resp.begin() + resp_len),
              (bytes{0x03, 0x41, 0x0D, 0x28, 0x00, 0x00, 0x00, 0x00}));
}

// The transmission ECU starts its own multi-frame VIN and waits for flow
// control in vain: the engine ECU's answer is read, and only the engine ECU
// gets flow control.
TEST_F(IsotpExchange, AnotherEcusMultiFrameAnswerDoesNotDisturb)
{
    can_test_peer ecu(1);
    std::array<std::uint8_t, 4096> resp{};
    std::uint64_t resp_len = 0;
    auto call = ask_ecu(ECM, VIN_REQUEST, resp, resp_len, REQ_KIND_VEHICLE_INFO);
    expect_request(ecu, 0x7DF, VIN_REQUEST);
    ecu.send(0x7E9, {0x10, 0x14, 0x49, 0x02, 0x01, 0x54, 0x43, 0x4D}); // TCM first
    start_vin_answer(ecu, 0x7E8, 0x7E0);
    send_vin_answer(ecu, 0x7E8);
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(bytes(resp.begin(), resp.begin() + resp_len), VIN_RESPONSE);
    EXPECT_EQ(ecu.queued_from_daemon(), 0u) << "flow control to the transmission ECU";
}

// Detection lists every ECU answering within 50 ms of the first, in order.
TEST_F(IsotpExchange, DetectionListsEveryResponderLowestFirst)
{
    can_test_peer ecu11(1);
    can_test_peer ecu29(2);
    ecu_entry found[MAX_ECUS];
    int found_count = 0;
    std::array<std::uint8_t, 4096> resp{};
    std::uint64_t resp_len = 0;
    auto detection = std::async(std::launch::async, [&] {
        return detect_ecus(PID00_REQUEST.data(), PID00_REQUEST.size(), resp.data(), &resp_len, found, MAX_ECUS,
                           &found_count);
    });
    expect_request(ecu11, 0x7DF, PID00_REQUEST);
    ecu11.send(0x7EA, {0x06, 0x41, 0x00, 0x80, 0x00, 0x00, 0x01, 0x00});
    ecu11.send(0x7E8, {0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00});
    ecu11.send(0x7E9, {0x03, 0x41, 0x0D, 0x00}); // an answer to something else
    ecu11.send(0x7E9, {0x06, 0x41, 0x00, 0x98, 0x18, 0x00, 0x01, 0x00});
    EXPECT_EQ(detection.get(), ADDR_MODE_11BIT);
    ASSERT_EQ(found_count, 3);
    EXPECT_EQ(found[0].resp_id, 0x7E8u);
    EXPECT_EQ(found[1].resp_id, 0x7E9u);
    EXPECT_EQ(found[2].resp_id, 0x7EAu);
    EXPECT_EQ(found[0].addr_mode, ADDR_MODE_11BIT);
    EXPECT_EQ(bytes(resp.begin(), resp.begin() + 8), (bytes{0x06, 0x41, 0x00, 0x80, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(ecu29.queued_from_daemon(), 0u) << "29-bit asked although 11-bit answered";
}
