// Reassembly, one frame at a time, without a socket: every frame type and
// what a hostile bus may send.
#include "can_peer.h"

#include "obd2/config_file.h"
#include "obd2/isotp.h"

#include <gtest/gtest.h>

#include <memory>

using bytes = std::vector<std::uint8_t>;

namespace {

constexpr canid_t EFF = CAN_EFF_FLAG;

std::unique_ptr<isotp_rx_state> fresh_state()
{
    auto st = std::make_unique<isotp_rx_state>();
    isotp_rx_reset(*st);
    return st;
}

// A 20-byte answer from 0x7E8 whose first frame has been taken.
std::unique_ptr<isotp_rx_state> state_after_first_frame()
{
    auto st = fresh_state();
    EXPECT_EQ(isotp_rx_step(*st, 1, make_can_frame(0x7E8, {0x10, 0x13, 0x49, 0x02, 0x01, 0x57, 0x30, 0x4C})),
              isotp_step::first_frame);
    return st;
}

bytes buffer_of(const isotp_rx_state &st) { return {st.buffer, st.buffer + st.length}; }

can_frame frame_with_len(canid_t id, std::uint8_t len, std::initializer_list<std::uint8_t> data)
{
    can_frame f = make_can_frame(id, data);
    f.len = len;
    return f;
}

struct hostile_case {
    const char *what;
    bool in_transfer; // fed after a first frame from 0x7E8 announcing 19 bytes
    can_frame frame;
    isotp_step expected;
};

const hostile_case HOSTILE_CASES[] = {
    {"no data at all", false, frame_with_len(0x7E8, 0, {0x02, 0x41, 0x00}), isotp_step::unusable},
    {"length code 9", false, frame_with_len(0x7E8, 9, {0x02, 0x41, 0x00}), isotp_step::unusable},
    {"length code 15", true, frame_with_len(0x7E8, 15, {0x21, 1, 2, 3, 4, 5, 6, 7}), isotp_step::unusable},
    {"error frame", false, make_can_frame(0x7E8 | CAN_ERR_FLAG, {0x02, 0x41, 0x00}), isotp_step::foreign},
    {"remote frame", false, make_can_frame(0x7E8 | CAN_RTR_FLAG, {0x02, 0x41, 0x00}), isotp_step::foreign},
    {"extended frame ending in 7E8", false, make_can_frame(0x18DAF7E8 | EFF, {0x02, 0x41, 0x00}),
     isotp_step::foreign},
    {"functional request id", false, make_can_frame(0x7DF, {0x02, 0x41, 0x00}), isotp_step::foreign},
    {"single frame claiming 0 bytes", false, make_can_frame(0x7E8, {0x00, 0x41, 0x00}), isotp_step::unusable},
    {"single frame claiming more than it has", false, make_can_frame(0x7E8, {0x05, 0x41, 0x00}),
     isotp_step::unusable},
    {"single frame length byte 0x0F", false, make_can_frame(0x7E8, {0x0F, 0x41, 0, 0, 0, 0, 0, 0}),
     isotp_step::unusable},
    {"negative response too short for its code", false, make_can_frame(0x7E8, {0x02, 0x7F, 0x01}),
     isotp_step::unusable},
    {"first frame announcing 6 bytes", false, make_can_frame(0x7E8, {0x10, 0x06, 0x41, 0, 0, 0, 0, 0}),
     isotp_step::unusable},
    {"first frame announcing 0 bytes", false, make_can_frame(0x7E8, {0x10, 0x00, 0, 0, 0, 0, 0, 0}),
     isotp_step::unusable},
    {"first frame shorter than 8 bytes", false, make_can_frame(0x7E8, {0x10, 0x20, 0x49, 0x02}),
     isotp_step::unusable},
    {"consecutive frame with nothing in progress", false, make_can_frame(0x7E8, {0x21, 1, 2, 3, 4, 5, 6, 7}),
     isotp_step::unusable},
    {"flow control from the ECU", false, make_can_frame(0x7E8, {0x30, 0, 0, 0, 0, 0, 0, 0}),
     isotp_step::unusable},
    {"reserved frame type", false, make_can_frame(0x7E8, {0xF2, 0x41, 0x00}), isotp_step::unusable},
    {"consecutive frame from another ECU", true, make_can_frame(0x7E9, {0x21, 1, 2, 3, 4, 5, 6, 7}),
     isotp_step::unusable},
    {"first frame from another ECU", true, make_can_frame(0x7E9, {0x10, 0x30, 1, 2, 3, 4, 5, 6}),
     isotp_step::unusable},
    {"negative response from another ECU", true, make_can_frame(0x7E9, {0x03, 0x7F, 0x09, 0x12}),
     isotp_step::unusable},
    {"single frame during the transfer", true, make_can_frame(0x7E8, {0x02, 0x41, 0x00}), isotp_step::unusable},
    {"consecutive frame carrying too few bytes", true, make_can_frame(0x7E8, {0x21, 1, 2, 3}),
     isotp_step::unusable},
    {"consecutive frame with no bytes", true, make_can_frame(0x7E8, {0x21}), isotp_step::unusable},
    {"consecutive frame out of order", true, make_can_frame(0x7E8, {0x22, 1, 2, 3, 4, 5, 6, 7}),
     isotp_step::bad_sequence},
};

TEST(IsotpStep, HostileFramesAreIgnoredOrRejected)
{
    for (const hostile_case &c : HOSTILE_CASES) {
        SCOPED_TRACE(c.what);
        auto st = c.in_transfer ? state_after_first_frame() : fresh_state();
        bytes before = buffer_of(*st);
        EXPECT_EQ(isotp_rx_step(*st, 1, c.frame), c.expected);
        if (c.expected == isotp_step::unusable || c.expected == isotp_step::foreign) {
            EXPECT_EQ(buffer_of(*st), before);          // nothing taken
            EXPECT_EQ(st->in_progress, c.in_transfer); // transfer untouched
        }
    }
}

TEST(IsotpStep, SingleFrameIsTakenAsReceived)
{
    auto st = fresh_state();
    EXPECT_EQ(isotp_rx_step(*st, 1, make_can_frame(0x7EF, {0x03, 0x41, 0x0D, 0x20})), isotp_step::single);
    EXPECT_EQ(buffer_of(*st), (bytes{0x03, 0x41, 0x0D, 0x20})); // unpadded: length 4
}

TEST(IsotpStep, NegativeResponseFromTheSenderEndsTheTransfer)
{
    auto st = state_after_first_frame();
    EXPECT_EQ(isotp_rx_step(*st, 1, make_can_frame(0x7E8, {0x03, 0x7F, 0x09, 0x22, 0, 0, 0, 0})),
              isotp_step::negative);
    EXPECT_EQ(buffer_of(*st), (bytes{0x03, 0x7F, 0x09, 0x22, 0, 0, 0, 0}));
    EXPECT_FALSE(st->in_progress);
}

TEST(IsotpStep, LongestAnswerFillsTheBufferExactly)
{
    auto st = fresh_state();
    ASSERT_EQ(isotp_rx_step(*st, 1, make_can_frame(0x7E8, {0x1F, 0xFF, 0x49, 1, 2, 3, 4, 5})),
              isotp_step::first_frame);
    EXPECT_EQ(st->total, 4096u);
    isotp_step step = isotp_step::first_frame;
    int frames = 0;
    while (step != isotp_step::complete && frames < 1000) {
        std::uint8_t sn = static_cast<std::uint8_t>(0x20 | ((frames + 1) & 0x0F));
        step = isotp_rx_step(*st, 1, make_can_frame(0x7E8, {sn, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5}));
        ASSERT_TRUE(step == isotp_step::consecutive || step == isotp_step::complete);
        ++frames;
    }
    EXPECT_EQ(frames, 585); // 6 + 584 * 7 + 1 = 4095 payload bytes
    EXPECT_EQ(st->length, 4096u);
    EXPECT_EQ(st->last_copy, 1u);
    EXPECT_EQ(st->buffer[0], 0xFF);
    EXPECT_EQ(st->buffer[4095], 0xA5);
    // A frame after the total: nothing in progress, nothing taken.
    EXPECT_EQ(isotp_rx_step(*st, 1, make_can_frame(0x7E8, {0x2A, 1, 2, 3, 4, 5, 6, 7})), isotp_step::unusable);
    EXPECT_EQ(st->length, 4096u);
}

TEST(IsotpStep, FirstFrameFromTheSenderStartsAfresh)
{
    auto st = state_after_first_frame();
    ASSERT_EQ(isotp_rx_step(*st, 1, make_can_frame(0x7E8, {0x21, 1, 2, 3, 4, 5, 6, 7})), isotp_step::consecutive);
    EXPECT_EQ(isotp_rx_step(*st, 1, make_can_frame(0x7E8, {0x10, 0x0A, 0x49, 0x04, 0x01, 0x41, 0x42, 0x43})),
              isotp_step::first_frame);
    EXPECT_EQ(st->total, 11u);
    EXPECT_EQ(st->expected_seq, 1u);
    EXPECT_EQ(isotp_rx_step(*st, 1, make_can_frame(0x7E8, {0x21, 0x44, 0x45, 0x46, 0x47})), isotp_step::complete);
    EXPECT_EQ(buffer_of(*st), (bytes{0x0A, 0x49, 0x04, 0x01, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47}));
}

TEST(IsotpStep, TwentyNineBitModeTakesOnlyExtendedFramesFromEcu10)
{
    auto st = fresh_state();
    EXPECT_EQ(isotp_rx_step(*st, 2, make_can_frame(0x18DAF110, {0x02, 0x41, 0x00})), isotp_step::foreign);
    EXPECT_EQ(isotp_rx_step(*st, 2, make_can_frame(0x7E8, {0x02, 0x41, 0x00})), isotp_step::foreign);
    EXPECT_EQ(isotp_rx_step(*st, 2, make_can_frame(0x18DAF111 | EFF, {0x02, 0x41, 0x00})), isotp_step::foreign);
    EXPECT_EQ(isotp_rx_step(*st, 2, make_can_frame(0x18DAF110 | EFF, {0x02, 0x41, 0x00})), isotp_step::single);
}

TEST(IsotpStep, FlowControlGoesToThePhysicalAddressOfTheSender)
{
    g_can_padding = 0x55;
    for (canid_t n = 0; n < 8; ++n) {
        can_frame fc = isotp_flow_control_frame(1, 0x7E8 + n);
        EXPECT_EQ(fc.can_id, 0x7E0 + n);
        EXPECT_EQ(can_frame_bytes(fc), (bytes{0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}));
    }
    EXPECT_EQ(isotp_flow_control_frame(2, 0x18DAF110).can_id, 0x18DA10F1 | EFF);
}

TEST(AnswerLength, SingleFramesEndAtTheirPci)
{
    const std::uint8_t rpm[] = {0x04, 0x41, 0x0C, 0x1A, 0xF8, 0x55, 0x55, 0x55};
    EXPECT_EQ(answer_length(rpm, 8), 5u);
    const std::uint8_t full[] = {0x07, 0x49, 0x06, 0x01, 0xA1, 0xB2, 0xC3, 0xD4};
    EXPECT_EQ(answer_length(full, 8), 8u);
    // A PCI that claims more than was delivered, or is no single-frame PCI.
    const std::uint8_t odd[] = {0x07, 0x41, 0x0C};
    EXPECT_EQ(answer_length(odd, 3), 3u);
    const std::uint8_t zero[] = {0x00, 0x41, 0x0C, 0x00};
    EXPECT_EQ(answer_length(zero, 4), 4u);
    // Multi-frame answers: byte 0 is the low length byte, the length is exact.
    std::vector<std::uint8_t> vin(21, 0x41);
    vin[0] = 0x14;
    EXPECT_EQ(answer_length(vin.data(), vin.size()), 21u);
    EXPECT_EQ(answer_length(nullptr, 8), 8u);
}

} // namespace
