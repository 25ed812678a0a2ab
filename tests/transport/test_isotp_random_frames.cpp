// A fixed-seed stream of random frames through the reassembly: whatever the
// bus sends, nothing is read or written outside the buffers (run under
// AddressSanitizer) and the state stays consistent.
#include "obd2/isotp.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

namespace {

constexpr canid_t IDS[] = {
    0x7E8, 0x7E9, 0x7EF, 0x7DF, 0x7E0, 0x7F0, 0x7E8 | CAN_ERR_FLAG, 0x7E8 | CAN_RTR_FLAG,
    0x18DAF110 | CAN_EFF_FLAG, 0x18DAF111 | CAN_EFF_FLAG, 0x18DAF110, 0x000007E8 | CAN_EFF_FLAG,
};

// Mostly well-formed frames from the mode's responder, so that transfers
// start, run and complete between the junk.
std::unique_ptr<can_frame> random_frame(std::mt19937 &rng, int mode, unsigned &next_sn)
{
    auto f = std::make_unique<can_frame>(); // on the heap: reading past data[] is caught
    bool main_responder = rng() % 10 < 7;
    f->can_id = main_responder ? (mode == 1 ? 0x7E8 : 0x18DAF110 | CAN_EFF_FLAG)
                               : IDS[rng() % std::size(IDS)];
    f->len = static_cast<std::uint8_t>(rng() % 10 < 7 ? 8 : rng() % 16);
    for (auto &b : f->data)
        b = static_cast<std::uint8_t>(rng());
    unsigned kind = rng() % 32;
    if (kind < 2) {
        f->data[0] = static_cast<std::uint8_t>(rng() % 8); // single frame
    } else if (kind < 3) {                                 // first frame, mostly short
        f->data[0] = static_cast<std::uint8_t>(0x10 | (rng() % 4 == 0 ? rng() % 16 : 0));
    } else if (kind < 28) { // consecutive frame, now and then out of order
        unsigned sn = rng() % 50 == 0 ? rng() % 16 : next_sn++ % 16;
        f->data[0] = static_cast<std::uint8_t>(0x20 | sn);
    }
    return f;
}

void check_invariants(const isotp_rx_state &st, isotp_step step)
{
    ASSERT_LE(st.length, sizeof(st.buffer));
    if (st.in_progress) {
        ASSERT_LE(st.total, sizeof(st.buffer));
        ASSERT_LT(st.length, st.total);
        ASSERT_GE(st.length, 7u);
    }
    if (step == isotp_step::complete) {
        ASSERT_EQ(st.length, st.total);
    }
    if (step == isotp_step::single || step == isotp_step::negative) {
        ASSERT_LE(st.length, 8u);
    }
}

TEST(IsotpRandomFrames, HundredThousandFramesStayInBounds)
{
    for (int mode : {1, 2}) {
        std::mt19937 rng(20240611u + static_cast<unsigned>(mode));
        auto st = std::make_unique<isotp_rx_state>();
        isotp_rx_reset(*st);
        unsigned next_sn = 1;
        int completes = 0, firsts = 0;
        for (int i = 0; i < 100000; ++i) {
            auto frame = random_frame(rng, mode, next_sn);
            isotp_step step = isotp_rx_step(*st, mode, *frame);
            if (step == isotp_step::first_frame) {
                next_sn = 1;
                ++firsts;
            }
            completes += step == isotp_step::complete;
            check_invariants(*st, step);
            if (testing::Test::HasFatalFailure())
                return;
        }
        EXPECT_GT(firsts, 100) << "the stream should exercise transfers";
        EXPECT_GT(completes, 10) << "some transfers should complete";
    }
}

} // namespace
