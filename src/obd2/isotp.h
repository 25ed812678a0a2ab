// One OBD-II request out, one complete answer back: request frames, ISO-TP
// reassembly with flow control, negative responses, addressing-mode detection.
//
// Bounds of one exchange (send_obd2_request):
//  - each frame is awaited for the request kind's wait (10 s or 100 ms);
//    only frames that advance the answer (a first or consecutive frame taken)
//    start a new wait, so a stream of ignored frames cannot keep it alive;
//  - a frame that cannot be used while a multi-frame answer is in progress
//    ends the exchange once 0.5 s have passed since the request;
//  - the whole exchange never lasts longer than the wait plus
//    ISOTP_EXCHANGE_EXTRA_MS, whatever the bus sends;
//  - except after "response pending" (7F <service> 78) from the ECU asked,
//    on any read (not detection or the heartbeat, not the clear, which has
//    its own handling): the exchange then waits for that ECU's final answer,
//    ISOTP_PENDING_WAIT_MS (P2*) after each 78, but never past
//    ISOTP_PENDING_LIMIT_MS after the first one, plus ISOTP_EXCHANGE_EXTRA_MS
//    for a multi-frame final answer to complete. A 78 is never a result.
//    So the exchange ends at most 20 s after the first 78, which itself
//    comes within the bounds above (a trouble-code read against an ECU that
//    sends 78 for ever: 20 s, or 30 s when the first 78 comes late). Each 78
//    marks the OBD thread's progress, as it starts a new wait bounded at
//    10 s: the longest stretch without a mark stays an exchange's first 15 s.
//
// What an exchange sees of the link itself (a send or read refused because
// the interface is down, no frame in time on an interface that is down, a
// bus-off error frame, which also ends the exchange) goes to can_link.h, so
// that the session brings the interface up again.
#pragma once

#include "obd2/obd2_types.h"

#include <cstddef>
#include <cstdint>
#include <linux/can.h>

constexpr int ISOTP_MULTIFRAME_LIMIT_MS = 500;   // unusable frame during a multi-frame answer
constexpr int ISOTP_EXCHANGE_EXTRA_MS = 5000;    // added to the frame wait for the whole exchange
constexpr int ISOTP_MAX_STALE_FRAMES = 256;      // queued frames dropped before a request
constexpr int ISOTP_PENDING_WAIT_MS = 5000;      // P2*: the final answer is due this long after a 78
constexpr int ISOTP_PENDING_LIMIT_MS = 15000;    // after the first 78 of an exchange, at most

// Writes b0, b1, b2 (each modulo 256) and fills bytes 3..7 with the
// configured fill byte. Returns 1 (0 for a null payload).
//   prepare_request(p, 2, 1, 0x0C) with fill 0xAA -> 02 01 0C AA AA AA AA AA
int prepare_request(std::uint8_t *payload, int b0, int b1, int b2);

// Matching answers queued before a request was sent: an exchange normally
// takes them (an ECU's final answer after "response pending", a slow ECU's
// answer to the previous try). A check that the ECU answers now must not:
// with `ignored` they are dropped like any stale frame.
enum class queued_answer { counts, ignored };

// Sends `req` on the socket of `addr_mode` and receives the answer into
// `resp` (at least OBD2_RESPONSE_SIZE bytes; byte 0 is a length byte, byte 1
// the service byte). Returns 0 for an answer, -1 for a failure, -2 for a
// negative response ("response pending" only where the kind does not wait,
// see the bounds above). *resp_len is 0 after a failure. Only an answer to this
// request counts (isotp_answers_request), from whichever responder sends one;
// other frames are ignored as if they had not been on the bus.
//   11-bit, 02 01 00, ECU 0x7E9 answers 06 41 00 BE 3F A8 13 00
//     -> 0, resp = 06 41 00 BE 3F A8 13 00, *resp_len 8
int send_obd2_request(int addr_mode, const std::uint8_t *req, std::size_t req_len,
                      std::uint8_t *resp, std::uint64_t *resp_len, int req_kind);

// The same, but only an answer from `ecu` (its response identifier) counts.
int send_obd2_request(const ecu_entry &ecu, const std::uint8_t *req, std::size_t req_len,
                      std::uint8_t *resp, std::uint64_t *resp_len, int req_kind,
                      queued_answer queued = queued_answer::counts);

// ---- the response buffer ---------------------------------------------------
// What callers of send_obd2_request may read of `resp`, and how it is logged.

// The part of *resp_len that lies inside the response buffer:
// at most OBD2_RESPONSE_SIZE.
std::size_t clamp_response_length(std::uint64_t resp_len);

// Bytes of a response buffer that belong to the answer. A single frame is
// delivered with the ECU's fill bytes behind its payload; its PCI (byte 0,
// 1..7) tells where the payload ends. Multi-frame answers (more than 8
// bytes) are exact already.
//   04 41 0C 1A F8 55 55 55, len 8 -> 5
std::size_t answer_length(const std::uint8_t *resp, std::size_t len);

// Prints `n` bytes to stdout, each through `byte_format` (a printf format
// taking one byte, such as "[ %02x ] "), and nothing else: the caller prints
// its label before and its line end after.
void print_bytes(const std::uint8_t *bytes, std::size_t n, const char *byte_format);

// The functional request of `addr_mode`, answered by whichever responder
// answers first: `answered_by` gets its identifier. Results as above.
int send_obd2_request_functional(int addr_mode, queued_answer queued, const std::uint8_t *req,
                                 std::size_t req_len, std::uint8_t *resp, std::uint64_t *resp_len, int req_kind,
                                 canid_t *answered_by);

// Reads the bus of `addr_mode` for `listen_ms` and collects (in the order they
// come, repeats included, at most `max_responders`) the senders of single or
// first frames that answer `req`. Every frame read is logged.
int isotp_listen_for_answers(int addr_mode, const std::uint8_t *req, std::size_t req_len, int listen_ms,
                             canid_t *responders, int max_responders);

// A single-frame answer an exchange passed over: a late answer to an earlier
// request, another ECU's answer.
struct isotp_passed_answer {
    canid_t responder;     // identifier, flags cleared
    std::uint8_t service;  // byte 1 of the frame (0x41, 0x7F, ...)
    std::uint8_t parameter; // byte 2 (the PID of a service 01 answer)
    std::uint8_t detail;    // byte 3 (the PID of a 62 F4xx answer), 0 when the frame has none
};
constexpr int ISOTP_PASSED_ANSWERS = 32; // the newest are remembered

// Moves the answers passed over since the last call (oldest first, at most
// `max`) into `out` and forgets them all. OBD thread only.
int isotp_take_passed_answers(isotp_passed_answer *out, int max);

// Wait for each frame of an exchange asked by `req_kind`, in milliseconds.
int isotp_frame_wait_ms(int req_kind);

// Whether an exchange asked by `req_kind` waits for the final answer after
// "response pending" (every read), or ends on it with -2 (detection, the
// heartbeat and the clear).
bool isotp_waits_when_pending(int req_kind);

// ---- reassembly, one received frame at a time ------------------------------
// Neither socket nor clock: the exchange loop feeds frames in and acts on the
// result, so every frame type can be checked on its own.

struct isotp_rx_state {
    std::size_t length;    // bytes in buffer
    std::size_t total;     // multi-frame answer: 12-bit data length + 1 (length byte)
    unsigned expected_seq; // number of the next consecutive frame, counting past 15
    std::size_t last_copy; // bytes taken from the latest consecutive frame
    canid_t responder;     // identifier (flags cleared) of the first frame's sender
    bool in_progress;      // first frame taken, consecutive frames due
    // Last, so that a write past its end leaves the object (sanitizers see it).
    std::uint8_t buffer[OBD2_RESPONSE_SIZE]; // the answer in response-buffer layout
};

enum class isotp_step {
    foreign,      // not an answer in this mode: error or remote frame, other identifier
    unusable,     // from a responder, but nothing to take: malformed, stray, or another
                  // ECU's frame during a multi-frame answer
    first_frame,  // multi-frame answer (re)started: flow control is due
    consecutive,  // consecutive frame taken, more are due
    complete,     // multi-frame answer complete in buffer[0..length)
    single,       // single-frame answer in buffer[0..length)
    negative,     // negative response in buffer[0..length)
    bad_sequence, // consecutive frame with the wrong number: the answer is lost
};

void isotp_rx_reset(isotp_rx_state &st);
isotp_step isotp_rx_step(isotp_rx_state &st, int addr_mode, const struct can_frame &frame);

// Does `id` (with flags) name an OBD responder in this mode? 11-bit: standard
// frames 0x7E8..0x7EF; any other mode: extended frame 0x18DAF110.
bool isotp_is_response_id(int addr_mode, canid_t id);

// Is `frame` (a single or first frame) an answer to the request `req` of
// `req_len` bytes (PCI first)? A positive answer carries the request's service + 0x40
// and echoes what the request asked: the PID or InfoType of 01, 02 and 09, the
// DID of 22, the sub-function of 19 (with the group 33 for 42 and 55, the
// code for 04); a negative answer 7F names the request's service.
//   req 02 01 0D ...: 03 41 0D 28 -> true, 04 41 0C 1A F8 -> false, 03 7F 01 12 -> true
//   req 03 22 F4 0D ...: 04 62 F4 0D 28 -> true, 04 62 F4 0C 28 -> false
bool isotp_answers_request(const struct can_frame &frame, const std::uint8_t *req, std::size_t req_len);

// Flow control (continue, no block limit, no separation time, fill bytes) to
// the physical address of `responder`: 0x7E8+n -> 0x7E0+n, 0x18DAF110 -> 0x18DA10F1.
struct can_frame isotp_flow_control_frame(int addr_mode, canid_t responder);

// Detection has its own file; its header comes with the transport's.
#include "obd2/ecu_detection.h"
