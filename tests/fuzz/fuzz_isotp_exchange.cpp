// One whole exchange, send_obd2_request, with the fuzzer playing the bus:
// frames queued before the request (late answers to PID 00, taken only when
// that is what is asked), then
// any frames and odd-sized records after it, then silence for good (the end
// of the stream, so that no exchange sits out its wait).
//
// Input: mode and request kind, the request's service and PID, the number of
// stale frames, then per frame a record-size choice and ten frame bytes.
#include "fuzz_support.h"

#include "obd2/config_file.h"
#include "obd2/isotp.h"
#include "obd2/obd2_types.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// A frame the bus sent after the request, as the harness recorded it.
struct sent_frame {
    can_frame frame;
    bool whole; // a 16-byte record, so the daemon could read it as a frame
};

std::size_t announced_length(const can_frame &f)
{
    return (static_cast<std::size_t>(f.data[0] & 0x0F) << 8 | f.data[1]) + 1;
}

// A frame the exchange may take: from a responder, and a single or first
// frame answering the request (a consecutive frame only counts through its
// first frame).
bool is_answer_frame(int mode, const sent_frame &s, const std::uint8_t *req)
{
    return s.whole && isotp_is_response_id(mode, s.frame.can_id) && s.frame.len >= 1 &&
           s.frame.len <= CAN_MAX_DLEN && isotp_answers_request(s.frame, req, OBD2_REQUEST_SIZE);
}

void check_answer(int mode, int result, const std::uint8_t *resp, std::uint64_t resp_len,
                  const std::vector<sent_frame> &sent, const std::uint8_t *req)
{
    FUZZ_CHECK(result == 0 || result == -1 || result == -2);
    if (result == -1) {
        FUZZ_CHECK(resp_len == 0);
        return;
    }
    FUZZ_CHECK(resp_len >= 1 && resp_len <= OBD2_RESPONSE_SIZE);
    if (result == -2)
        FUZZ_CHECK(resp_len <= CAN_MAX_DLEN && resp[1] == 0x7F);
    if (resp_len <= CAN_MAX_DLEN) {
        // A single frame (or negative response) sent after the request, as is.
        FUZZ_CHECK(std::any_of(sent.begin(), sent.end(), [&](const sent_frame &s) {
            return is_answer_frame(mode, s, req) && s.frame.len == resp_len &&
                   std::memcmp(s.frame.data, resp, resp_len) == 0;
        }));
        return;
    }
    // Reassembled: exactly the length a first frame announced.
    FUZZ_CHECK(resp[0] == ((resp_len - 1) & 0xFF));
    FUZZ_CHECK(std::any_of(sent.begin(), sent.end(), [&](const sent_frame &s) {
        return is_answer_frame(mode, s, req) && s.frame.len == CAN_MAX_DLEN && (s.frame.data[0] >> 4) == 1 &&
               announced_length(s.frame) == resp_len;
    }));
}

// What the daemon put on the bus: the request, then only flow control to
// the physical address of an ECU whose first frame came.
void check_daemon_frames(int mode, const can_frame &request, const std::vector<can_frame> &after,
                         const std::uint8_t *req, const std::vector<sent_frame> &sent)
{
    FUZZ_CHECK(is_obd_request(request) && request.len == CAN_MAX_DLEN &&
               std::memcmp(request.data, req, CAN_MAX_DLEN) == 0);
    const std::uint8_t fill = static_cast<std::uint8_t>(g_can_padding & 0xFF);
    for (const can_frame &fc : after) {
        const std::uint8_t expected[CAN_MAX_DLEN] = {0x30, 0, 0, fill, fill, fill, fill, fill};
        FUZZ_CHECK(fc.len == CAN_MAX_DLEN && std::memcmp(fc.data, expected, CAN_MAX_DLEN) == 0);
        FUZZ_CHECK(std::any_of(sent.begin(), sent.end(), [&](const sent_frame &s) {
            return is_answer_frame(mode, s, req) && (s.frame.data[0] >> 4) == 1 &&
                   isotp_flow_control_frame(mode, s.frame.can_id & CAN_EFF_MASK).can_id == fc.can_id;
        }));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_bytes in(data, size);
    const std::uint8_t setup = in.byte();
    const int mode = setup & 1 ? ADDR_MODE_29BIT : ADDR_MODE_11BIT;
    const int kind = setup & 2 ? REQ_KIND_VEHICLE_INFO : REQ_KIND_LIVE;
    g_can_padding = setup & 4 ? 0x55 : 0xAA;
    std::uint8_t req[OBD2_REQUEST_SIZE];
    prepare_request(req, 2, in.byte(), in.byte());
    const int stale = in.byte() % 4;

    fuzz_bus bus;
    const canid_t ecu_id = mode == ADDR_MODE_11BIT ? 0x7E8 : 0x18DAF110 | CAN_EFF_FLAG;
    std::vector<sent_frame> candidates; // what the exchange may take: the late answers too
    for (int i = 0; i < stale; ++i) // a late answer to PID 00 each
        for (const can_frame &late : iso_tp_frames(ecu_id, {0x41, 0x00, 0x5A, 0x5A, 0x5A, 0x5A}, 0x5A)) {
            bus.send(late);
            candidates.push_back({late, true});
        }
    std::vector<sent_frame> sent;
    while (!in.empty() && sent.size() < 64) {
        const std::uint8_t record = in.byte();
        sent.push_back({fuzz_frame(in), record % 8 != 7});
    }

    can_frame request{};
    static fuzz_peer ecu;
    ecu.start([&] {
        auto frame = bus.receive();
        if (!frame)
            return;
        request = *frame;
        for (const sent_frame &s : sent) {
            if (s.whole)
                bus.send(s.frame);
            else
                bus.send_record(&s.frame, 4); // not a frame: skipped by the daemon
        }
        bus.stop_sending();
    });
    auto resp = std::make_unique<std::uint8_t[]>(OBD2_RESPONSE_SIZE); // exactly the promised size
    std::uint64_t resp_len = 0xDEAD;
    const int result = send_obd2_request(mode, req, sizeof req, resp.get(), &resp_len, kind);
    ecu.finish();

    candidates.insert(candidates.end(), sent.begin(), sent.end());
    check_answer(mode, result, resp.get(), resp_len, candidates, req);
    check_daemon_frames(mode, request, bus.drain(), req, sent);
    return 0;
}
