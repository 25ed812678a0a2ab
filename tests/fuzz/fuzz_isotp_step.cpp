// The ISO-TP reassembly, one frame at a time: any frame sequence in either
// addressing mode. Whatever comes, the answer in the buffer never outgrows
// the length its first frame announced, nor the buffer.
#include "fuzz_support.h"

#include "obd2/isotp.h"
#include "obd2/obd2_types.h"

#include <memory>

namespace {

void check_step(const isotp_rx_state &st, isotp_step step, int mode, const can_frame &frame,
                const isotp_rx_state &before)
{
    FUZZ_CHECK((step == isotp_step::foreign) == !isotp_is_response_id(mode, frame.can_id));
    FUZZ_CHECK(st.length <= OBD2_RESPONSE_SIZE);
    FUZZ_CHECK(st.total <= 0xFFF + 1);
    if (st.in_progress) {
        FUZZ_CHECK(st.length < st.total);
        FUZZ_CHECK(st.total >= 9); // shorter answers are single frames
    }
    switch (step) {
    case isotp_step::foreign:
    case isotp_step::unusable:
        // Nothing taken: the answer so far stays as it was.
        FUZZ_CHECK(st.length == before.length && st.total == before.total);
        FUZZ_CHECK(st.in_progress == before.in_progress && st.responder == before.responder);
        break;
    case isotp_step::first_frame:
        FUZZ_CHECK(st.in_progress && st.length == CAN_MAX_DLEN - 1);
        FUZZ_CHECK(st.total == (static_cast<std::size_t>(frame.data[0] & 0x0F) << 8 | frame.data[1]) + 1);
        break;
    case isotp_step::consecutive:
        FUZZ_CHECK(st.in_progress && st.length > before.length && st.responder == before.responder);
        break;
    case isotp_step::complete:
        FUZZ_CHECK(!st.in_progress && before.in_progress && st.length == st.total);
        FUZZ_CHECK(st.buffer[0] == ((st.total - 1) & 0xFF)); // the announced length's low byte
        break;
    case isotp_step::single:
        FUZZ_CHECK(!before.in_progress && st.length == frame.len && st.length <= CAN_MAX_DLEN);
        FUZZ_CHECK((st.buffer[0] & 0x0F) + 1u <= st.length);
        break;
    case isotp_step::negative:
        FUZZ_CHECK(!st.in_progress && st.length == frame.len && st.buffer[1] == 0x7F);
        break;
    case isotp_step::bad_sequence:
        FUZZ_CHECK(before.in_progress && !st.in_progress);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_bytes in(data, size);
    const int mode = in.byte() & 1 ? ADDR_MODE_29BIT : ADDR_MODE_11BIT;
    auto st = std::make_unique<isotp_rx_state>(); // on the heap: a write past it is caught
    isotp_rx_reset(*st);
    while (!in.empty()) {
        auto frame = std::make_unique<can_frame>(fuzz_frame(in));
        const isotp_rx_state before = *st;
        const isotp_step step = isotp_rx_step(*st, mode, *frame);
        check_step(*st, step, mode, *frame, before);
        if (step == isotp_step::complete || step == isotp_step::single || step == isotp_step::negative ||
            step == isotp_step::bad_sequence)
            isotp_rx_reset(*st); // the exchange would end here; the next answer starts afresh
    }
    return 0;
}
