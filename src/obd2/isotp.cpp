#include "obd2/isotp.h"

#include "handover/supervision_cells.h"
#include "handover/thread_handover.h"
#include "obd2/can_link.h"
#include "obd2/config_file.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

ecu_entry g_ecu_list[MAX_ECUS] = {};
int g_ecu_count = 0;

namespace {

using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

constexpr canid_t OBD_RESPONSE_BASE_11 = 0x7E8; // 0x7E8..0x7EF
constexpr canid_t OBD_RESPONSE_MASK_11 = 0x7F8;
constexpr canid_t OBD_RESPONSE_29 = 0x18DAF110; // ECU 0x10 -> tester 0xF1
constexpr std::uint8_t NEGATIVE_RESPONSE_SID = 0x7F;
constexpr std::size_t FIRST_FRAME_MIN_LENGTH = 8; // shorter answers fit a single frame

static_assert(0xFFF + 1 <= OBD2_RESPONSE_SIZE, "a first frame's 12-bit length must fit");

bool is_11bit(int addr_mode) { return addr_mode == ADDR_MODE_11BIT; }

// How many request bytes behind the service byte a positive answer echoes:
// the PID or InfoType of 01, 02 and 09; the DID of 22; the sub-function of
// 19, with the functional group for 42 and 55 and the code for 04. Clear
// (04, 14) and the classic code reads echo nothing.
std::size_t echoed_request_bytes(const std::uint8_t *req, std::size_t req_len)
{
    const std::size_t sent = std::min<std::size_t>(req[0] & 0x0F, req_len - 1); // PCI length
    const std::size_t carried = sent > 0 ? sent - 1 : 0;                         // behind the service
    std::size_t echoed = 0;
    switch (req[1]) {
    case 0x01:
    case 0x02:
    case 0x09:
        echoed = 1;
        break;
    case 0x22:
        echoed = 2;
        break;
    case 0x19:
        echoed = carried >= 1 && (req[2] == 0x42 || req[2] == 0x55) ? 2 : carried >= 1 && req[2] == 0x04 ? 4 : 1;
        break;
    default:
        break;
    }
    return echoed <= carried ? echoed : 0;
}

std::uint8_t fill_byte() { return static_cast<std::uint8_t>(g_can_padding & 0xFF); }

void take_frame_bytes(isotp_rx_state &st, const can_frame &f)
{
    std::memcpy(st.buffer, f.data, f.len);
    st.length = f.len;
}

isotp_step take_single_frame(isotp_rx_state &st, const can_frame &f)
{
    std::size_t sf_len = f.data[0] & 0x0F;
    if (sf_len == 0 || sf_len > f.len - 1u)
        return isotp_step::unusable;
    if (f.data[1] == NEGATIVE_RESPONSE_SID) {
        if (sf_len < 3) // 7F, service, response code
            return isotp_step::unusable;
        take_frame_bytes(st, f);
        st.in_progress = false;
        return isotp_step::negative;
    }
    if (st.in_progress)
        return isotp_step::unusable;
    take_frame_bytes(st, f);
    return isotp_step::single;
}

isotp_step take_first_frame(isotp_rx_state &st, const can_frame &f, canid_t id)
{
    if (f.len != CAN_MAX_DLEN)
        return isotp_step::unusable;
    std::size_t data_length = static_cast<std::size_t>(f.data[0] & 0x0F) << 8 | f.data[1];
    if (data_length < FIRST_FRAME_MIN_LENGTH)
        return isotp_step::unusable;
    // A first frame from the same responder starts its answer afresh.
    st.in_progress = true;
    st.responder = id;
    st.total = data_length + 1;
    st.expected_seq = 1;
    st.last_copy = 0;
    // The low length byte and the first six payload bytes.
    std::memcpy(st.buffer, &f.data[1], CAN_MAX_DLEN - 1);
    st.length = CAN_MAX_DLEN - 1;
    return isotp_step::first_frame;
}

isotp_step take_consecutive_frame(isotp_rx_state &st, const can_frame &f)
{
    if (!st.in_progress)
        return isotp_step::unusable;
    std::size_t needed = st.total - st.length; // > 0 while in progress
    std::size_t carried = f.len - 1u;
    if (carried < std::min<std::size_t>(needed, CAN_MAX_DLEN - 1))
        return isotp_step::unusable; // too short to be the frame that is due
    if ((f.data[0] & 0x0F) != st.expected_seq % 16) {
        st.in_progress = false;
        return isotp_step::bad_sequence;
    }
    std::size_t count = std::min(carried, needed);
    std::memcpy(st.buffer + st.length, &f.data[1], count);
    st.length += count;
    st.last_copy = count;
    ++st.expected_seq;
    if (st.length < st.total)
        return isotp_step::consecutive;
    st.in_progress = false;
    return isotp_step::complete;
}

} // namespace

// ---- reassembly ---------------------------------------------------------------

bool isotp_is_response_id(int addr_mode, canid_t id)
{
    if (id & (CAN_ERR_FLAG | CAN_RTR_FLAG))
        return false;
    bool extended = (id & CAN_EFF_FLAG) != 0;
    if (is_11bit(addr_mode))
        return !extended && (id & CAN_SFF_MASK & OBD_RESPONSE_MASK_11) == OBD_RESPONSE_BASE_11;
    return extended && (id & CAN_EFF_MASK) == OBD_RESPONSE_29;
}

void isotp_rx_reset(isotp_rx_state &st)
{
    st.length = 0;
    st.total = 0;
    st.expected_seq = 1;
    st.last_copy = 0;
    st.responder = 0;
    st.in_progress = false;
}

isotp_step isotp_rx_step(isotp_rx_state &st, int addr_mode, const can_frame &frame)
{
    if (!isotp_is_response_id(addr_mode, frame.can_id))
        return isotp_step::foreign;
    if (frame.len == 0 || frame.len > CAN_MAX_DLEN)
        return isotp_step::unusable; // no protocol byte, or not a classic CAN frame
    canid_t id = frame.can_id & CAN_EFF_MASK;
    if (st.in_progress && id != st.responder)
        return isotp_step::unusable; // another ECU must not mix into this answer
    switch (frame.data[0] >> 4) {
    case 0:
        return take_single_frame(st, frame);
    case 1:
        return take_first_frame(st, frame, id);
    case 2:
        return take_consecutive_frame(st, frame);
    default:
        return isotp_step::unusable; // flow control or reserved types
    }
}

can_frame isotp_flow_control_frame(int addr_mode, canid_t responder)
{
    can_frame fc{};
    if (is_11bit(addr_mode)) {
        fc.can_id = (responder & CAN_SFF_MASK) - (OBD_RESPONSE_BASE_11 - 0x7E0);
    } else {
        // 18DA<target><source>: swap the responder's two address bytes.
        canid_t target = responder & 0xFF, source = (responder >> 8) & 0xFF;
        fc.can_id = (0x18DA0000 | target << 8 | source) | CAN_EFF_FLAG;
    }
    fc.len = CAN_MAX_DLEN;
    fc.data[0] = 0x30; // continue to send
    fc.data[1] = 0x00; // no block size limit
    fc.data[2] = 0x00; // no separation time
    std::memset(&fc.data[3], fill_byte(), CAN_MAX_DLEN - 3);
    return fc;
}

bool isotp_answers_request(const can_frame &frame, const std::uint8_t *req, std::size_t req_len)
{
    if (frame.len == 0 || frame.len > CAN_MAX_DLEN || req_len < 2)
        return false;
    const std::uint8_t service = req[1];
    const std::size_t echoed = echoed_request_bytes(req, req_len);
    const std::uint8_t *payload;
    std::size_t available;
    switch (frame.data[0] >> 4) {
    case 0: // single frame: PCI length, not DLC, says what it carries
        available = std::min<std::size_t>(frame.data[0] & 0x0F, frame.len - 1u);
        payload = &frame.data[1];
        break;
    case 1: // first frame: service and parameter are its first payload bytes
        if (frame.len != CAN_MAX_DLEN)
            return false;
        available = CAN_MAX_DLEN - 2;
        payload = &frame.data[2];
        break;
    default:
        return false;
    }
    if (available >= 2 && payload[0] == NEGATIVE_RESPONSE_SID)
        return payload[1] == service;
    if (available < 1 || payload[0] != static_cast<std::uint8_t>(service + 0x40))
        return false;
    return available >= 1 + echoed && std::memcmp(payload + 1, req + 2, echoed) == 0;
}

// ---- the response buffer -------------------------------------------------------

std::size_t clamp_response_length(std::uint64_t resp_len)
{
    return static_cast<std::size_t>(std::min<std::uint64_t>(resp_len, OBD2_RESPONSE_SIZE));
}

std::size_t answer_length(const std::uint8_t *resp, std::size_t len)
{
    constexpr std::size_t single_frame_max = 8;
    if (resp == nullptr || len == 0 || len > single_frame_max)
        return len;
    std::size_t pci_length = resp[0] & 0x0F;
    if ((resp[0] & 0xF0) != 0 || pci_length == 0 || pci_length + 1 > len)
        return len;
    return pci_length + 1;
}

void print_bytes(const std::uint8_t *bytes, std::size_t n, const char *byte_format)
{
    for (std::size_t i = 0; i < n; ++i)
        std::printf(byte_format, bytes[i]);
}

// ---- the exchange ---------------------------------------------------------------

namespace {

// Single-frame answers that exchanges passed over; OBD thread only.
struct passed_answers {
    isotp_passed_answer items[ISOTP_PASSED_ANSWERS];
    int count = 0; // the oldest is overwritten when full
    int next = 0;
};
passed_answers passed;

void note_passed_answer(const can_frame &frame)
{
    const std::size_t sf_len = frame.data[0] & 0x0F;
    if (frame.len < 3 || (frame.data[0] >> 4) != 0 || sf_len < 2 || sf_len > frame.len - 1u)
        return;
    const std::uint8_t detail = sf_len >= 3 ? frame.data[3] : 0;
    passed.items[passed.next] =
        isotp_passed_answer{frame.can_id & CAN_EFF_MASK, frame.data[1], frame.data[2], detail};
    passed.next = (passed.next + 1) % ISOTP_PASSED_ANSWERS;
    passed.count = std::min(passed.count + 1, ISOTP_PASSED_ANSWERS);
}

// Frames read off the socket before the request went out that answer it:
// an ECU that said "response pending" sends its final answer on its own, and
// a slow ECU's answer to the previous try of the same request is still good.
constexpr int MAX_KEPT_FRAMES = 8;

struct kept_frames {
    can_frame frames[MAX_KEPT_FRAMES];
    int count = 0;
    int next = 0;
};

struct exchange {
    int fd;
    int addr_mode;
    canid_t asked_id; // the ECU asked (flags cleared); 0: whichever responder answers
    queued_answer queued; // whether matching frames queued before the request count
    const std::uint8_t *req;
    std::size_t req_len;
    kept_frames kept;
    steady::duration frame_wait;
    steady::time_point start;
    steady::time_point next_frame_due; // moved on only by frames that advance the answer
    steady::time_point give_up;        // bound of the whole exchange
    bool waits_when_pending;           // "response pending" makes it wait for the final answer
    int pending_count;                 // "response pending" answers taken so far
    steady::time_point pending_limit;  // no final answer after this: the exchange fails
};

enum class wait_result { readable, timed_out, gave_up, failed, stopping };

void print_labelled_bytes(const char *label, const std::uint8_t *bytes, std::size_t n, const char *byte_format,
                          const char *end)
{
    std::fputs(label, stdout);
    print_bytes(bytes, n, byte_format);
    std::fputs(end, stdout);
}

// Every frame an exchange reads is logged this way.
void print_received_frame(const can_frame &frame)
{
    print_labelled_bytes("response : ", frame.data, CAN_MAX_DLEN, "[ %02x ] ", "\n\n");
}

bool send_frame(int fd, const can_frame &frame)
{
    long n = platform_can_send(fd, frame);
    if (n == static_cast<long>(sizeof(frame)))
        return true;
    if (n >= 0)
        errno = EIO;
    can_link_note_failure(errno);
    return false;
}

// 1: a whole frame, 0: a record of another size (ignored), -1: error.
int read_frame(int fd, can_frame &frame)
{
    frame = {};
    ssize_t n;
    do {
        n = read(fd, &frame, sizeof(frame));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        can_link_note_failure(errno);
        return -1;
    }
    if (n == 0) { // end of stream: a raw CAN socket never reads 0, a dead link does
        errno = ECONNRESET;
        return -1;
    }
    return n == static_cast<ssize_t>(sizeof(frame)) ? 1 : 0;
}

// Frames queued since the last exchange: those that answer the request
// about to be sent are kept for it; any other (a late answer to an earlier,
// different request) would be taken for this one's answer and is dropped.
// Is `frame` from the ECU asked, and does it answer the request? While a
// multi-frame answer comes in, only its sender's frames count.
bool concerns_exchange(const exchange &ex, const isotp_rx_state &st, const can_frame &frame)
{
    const canid_t id = frame.can_id & CAN_EFF_MASK;
    if (ex.asked_id != 0 && id != ex.asked_id)
        return false;
    if (st.in_progress) {
        if (id != st.responder)
            return false;
        // A refusal ends the answer, and a new first frame restarts it, only
        // when it answers this request.
        const bool refusal = frame.len >= 2 && (frame.data[0] >> 4) == 0 && frame.data[1] == NEGATIVE_RESPONSE_SID;
        const bool restart = frame.len >= 1 && (frame.data[0] >> 4) == 1;
        return !(refusal || restart) || isotp_answers_request(frame, ex.req, ex.req_len);
    }
    if (frame.len == 0 || frame.len > CAN_MAX_DLEN)
        return true; // the reassembly step tells such frames off
    switch (frame.data[0] >> 4) {
    case 0:
    case 1:
        return isotp_answers_request(frame, ex.req, ex.req_len);
    default:
        return true; // a stray consecutive or flow-control frame: the step says unusable
    }
}

void sort_queued_frames(exchange &ex)
{
    const int fd = ex.fd;
    kept_frames &kept = ex.kept;
    kept.count = kept.next = 0;
    for (int i = 0; i < ISOTP_MAX_STALE_FRAMES; ++i) {
        can_frame frame{};
        ssize_t n = recv(fd, &frame, sizeof(frame), MSG_DONTWAIT);
        if (n <= 0)
            return;
        if (n != static_cast<ssize_t>(sizeof(frame)))
            continue;
        can_link_note_frame(frame);
        const canid_t id = frame.can_id & CAN_EFF_MASK;
        const bool answer = ex.queued == queued_answer::counts &&
                            isotp_is_response_id(ex.addr_mode, frame.can_id) &&
                            (ex.asked_id == 0 || id == ex.asked_id) &&
                            isotp_answers_request(frame, ex.req, ex.req_len);
        if (answer && kept.count < MAX_KEPT_FRAMES) {
            kept.frames[kept.count++] = frame;
            continue;
        }
        std::printf("OBD2 WARN: stale frame 0x%X discarded : ", frame.can_id & CAN_EFF_MASK);
        print_labelled_bytes("", frame.data, CAN_MAX_DLEN, "[ %02x ] ", "\n");
        if (isotp_is_response_id(ex.addr_mode, frame.can_id))
            note_passed_answer(frame);
    }
}

// Waits for the socket, at most until the frame is due; a shutdown ends the
// wait at once (an answer may take 10 s per frame).
wait_result wait_readable(const exchange &ex)
{
    const int stop_fd = shutdown_fd();
    if (ex.fd < 0 || ex.fd >= FD_SETSIZE || stop_fd >= FD_SETSIZE) {
        errno = EBADF;
        return wait_result::failed;
    }
    for (;;) {
        steady::time_point now = steady::now();
        steady::time_point deadline = std::min(ex.next_frame_due, ex.give_up);
        if (now >= deadline)
            return ex.give_up <= ex.next_frame_due ? wait_result::gave_up : wait_result::timed_out;
        auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - now).count();
        timeval tv{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(ex.fd, &readable);
        if (stop_fd >= 0)
            FD_SET(stop_fd, &readable);
        int r = select(std::max(ex.fd, stop_fd) + 1, &readable, nullptr, nullptr, &tv);
        if (r > 0 && stop_fd >= 0 && FD_ISSET(stop_fd, &readable))
            return wait_result::stopping;
        if (r > 0)
            return wait_result::readable;
        if (r < 0 && errno != EINTR)
            return wait_result::failed;
    }
}

void deliver(const isotp_rx_state &st, std::uint8_t *resp, std::uint64_t *resp_len)
{
    std::memcpy(resp, st.buffer, st.length);
    *resp_len = st.length;
}

void print_progress(const isotp_rx_state &st)
{
    std::printf("---------: response len : %d copy len : %d | expected seq : %d | Total len : %d\n",
                static_cast<int>(st.length), static_cast<int>(st.last_copy),
                static_cast<int>(st.expected_seq), static_cast<int>(st.total));
}

bool send_flow_control(const exchange &ex, canid_t responder)
{
    can_frame fc = isotp_flow_control_frame(ex.addr_mode, responder);
    print_labelled_bytes("FLOW CONTROL ", fc.data, fc.len, "[ %2x ] ", "\n");
    if (send_frame(ex.fd, fc))
        return true;
    std::perror("CAN flow control write failed");
    return false;
}

constexpr int KEEP_WAITING = 1;
constexpr std::uint8_t NRC_RESPONSE_PENDING = 0x78;

bool is_response_pending(const isotp_rx_state &st) { return st.length > 3 && st.buffer[3] == NRC_RESPONSE_PENDING; }

// "Response pending" from the ECU asked: its final answer follows on its
// own, each 78 promising it within P2*. The wait after the first 78 is
// capped, so an ECU that keeps sending 78 cannot hold the OBD thread.
int await_final_answer(exchange &ex, const can_frame &frame)
{
    const steady::time_point now = steady::now();
    if (ex.pending_count++ == 0)
        ex.pending_limit = now + milliseconds(ISOTP_PENDING_LIMIT_MS);
    if (now >= ex.pending_limit) {
        std::printf("OBD2_ERROR : No final answer within %d ms of \"response pending\"\n", ISOTP_PENDING_LIMIT_MS);
        return -1;
    }
    mark_progress(worker::obd_session); // a new bounded wait starts: see isotp.h
    ex.next_frame_due = std::min(now + milliseconds(ISOTP_PENDING_WAIT_MS), ex.pending_limit);
    ex.give_up = ex.next_frame_due + milliseconds(ISOTP_EXCHANGE_EXTRA_MS);
    std::printf("OBD2 INFO : response pending from 0x%X, waiting for its final answer\n",
                frame.can_id & CAN_EFF_MASK);
    return KEEP_WAITING;
}

// Acts on one received frame: KEEP_WAITING, or the result of the exchange.
int act_on_frame(exchange &ex, isotp_rx_state &st, const can_frame &frame, std::uint8_t *resp,
                 std::uint64_t *resp_len)
{
    if (can_link_note_frame(frame)) {
        std::puts("OBD2_ERROR : CAN controller bus-off");
        return -1; // nothing more goes out or comes in until the next bring-up
    }
    // Another ECU's answer, a late answer to an earlier request: as if it
    // had not been on the bus (it does not restart the frame wait either).
    if (isotp_is_response_id(ex.addr_mode, frame.can_id) && !concerns_exchange(ex, st, frame)) {
        note_passed_answer(frame);
        return KEEP_WAITING;
    }
    switch (isotp_rx_step(st, ex.addr_mode, frame)) {
    case isotp_step::foreign:
        return KEEP_WAITING;
    case isotp_step::unusable:
        if (st.in_progress && steady::now() - ex.start >= milliseconds(ISOTP_MULTIFRAME_LIMIT_MS)) {
            std::puts("OBD2_ERROR : Multi-frame answer interrupted by an unexpected frame");
            return -1;
        }
        return KEEP_WAITING;
    case isotp_step::first_frame:
        std::printf(" >>>>>>> Total Len: %d <<<<<<<<\n", static_cast<int>(st.total));
        if (!send_flow_control(ex, st.responder))
            return -1;
        ex.next_frame_due = steady::now() + ex.frame_wait;
        return KEEP_WAITING;
    case isotp_step::consecutive:
        print_progress(st);
        ex.next_frame_due = steady::now() + ex.frame_wait;
        return KEEP_WAITING;
    case isotp_step::complete:
        print_progress(st);
        deliver(st, resp, resp_len);
        return 0;
    case isotp_step::single:
        deliver(st, resp, resp_len);
        return 0;
    case isotp_step::negative:
        std::printf("OBD2 Negative Response: SID=0x%02X, NRC=0x%02X\n", frame.data[2], frame.data[3]);
        if (ex.waits_when_pending && is_response_pending(st))
            return await_final_answer(ex, frame);
        deliver(st, resp, resp_len);
        return -2;
    case isotp_step::bad_sequence:
        std::printf("OBD2 unexpected sequence: got 0x%02X, expected 0x%02X\n", frame.data[0] & 0x0F,
                    st.expected_seq % 16);
        return -1;
    }
    return KEEP_WAITING;
}

// Logs a received frame and acts on it: KEEP_WAITING, or the result of the
// exchange with `answered_by` set to the frame's sender.
int take_received_frame(exchange &ex, isotp_rx_state &st, const can_frame &frame, std::uint8_t *resp,
                        std::uint64_t *resp_len, canid_t *answered_by)
{
    print_received_frame(frame);
    int result = act_on_frame(ex, st, frame, resp, resp_len);
    if (result != KEEP_WAITING)
        *answered_by = frame.can_id & CAN_EFF_MASK;
    return result;
}

// The result of the exchange; `answered_by` gets the sender of the frame that
// completed an answer (0 or -2).
int receive_answer(exchange &ex, std::uint8_t *resp, std::uint64_t *resp_len, canid_t *answered_by)
{
    isotp_rx_state st; // 4 KiB on the stack, private to this exchange
    isotp_rx_reset(st);
    for (;;) {
        if (ex.kept.next < ex.kept.count) {
            const can_frame &frame = ex.kept.frames[ex.kept.next++];
            int result = take_received_frame(ex, st, frame, resp, resp_len, answered_by);
            if (result != KEEP_WAITING)
                return result;
            continue;
        }
        switch (wait_readable(ex)) {
        case wait_result::failed:
            can_link_note_failure(errno);
            std::perror("OBD2 ERROR: select() failed");
            return -1;
        case wait_result::timed_out:
            can_link_check_interface(ex.fd);
            std::puts(ex.pending_count > 0 ? "OBD2_ERROR : No final answer after \"response pending\""
                                           : "Timeout: No CAN frame received");
            return -1;
        case wait_result::gave_up:
            std::printf("OBD2_ERROR : No complete answer within %d ms\n",
                        static_cast<int>(std::chrono::duration_cast<milliseconds>(ex.give_up - ex.start).count()));
            return -1;
        case wait_result::stopping:
            return -1;
        case wait_result::readable:
            break;
        }
        can_frame frame;
        int got = read_frame(ex.fd, frame);
        if (got < 0) {
            std::perror("CAN read failed");
            return -1;
        }
        if (got == 0)
            continue;
        int result = take_received_frame(ex, st, frame, resp, resp_len, answered_by);
        if (result != KEEP_WAITING)
            return result;
    }
}

} // namespace

int isotp_take_passed_answers(isotp_passed_answer *out, int max)
{
    const int n = std::min(passed.count, max);
    const int oldest = (passed.next - passed.count + ISOTP_PASSED_ANSWERS) % ISOTP_PASSED_ANSWERS;
    for (int i = 0; i < n; ++i)
        out[i] = passed.items[(oldest + i) % ISOTP_PASSED_ANSWERS];
    passed.count = 0;
    return n;
}

bool isotp_waits_when_pending(int req_kind)
{
    // Detection and the heartbeat only ask whether an ECU is there (a 78
    // says so, and detection listens for the others meanwhile); the clear
    // repeats its request after a 78 (dtc_clear.cpp).
    return req_kind != REQ_KIND_DETECT && req_kind != REQ_KIND_DTC_CLEAR;
}

int isotp_frame_wait_ms(int req_kind)
{
    switch (req_kind) {
    case REQ_KIND_DTC_READ:
    case REQ_KIND_DTC_CLEAR:
    case REQ_KIND_VEHICLE_INFO:
        return 10000;
    default:
        return 100;
    }
}

int prepare_request(std::uint8_t *payload, int b0, int b1, int b2)
{
    if (!payload)
        return 0;
    payload[0] = static_cast<std::uint8_t>(b0 & 0xFF);
    payload[1] = static_cast<std::uint8_t>(b1 & 0xFF);
    payload[2] = static_cast<std::uint8_t>(b2 & 0xFF);
    std::memset(payload + 3, fill_byte(), OBD2_REQUEST_SIZE - 3);
    return 1;
}

namespace {

// One request to `asked_id` (0: any responder of the mode), one answer back.
// `answered_by` receives the identifier of the answer's sender.
int exchange_request(int addr_mode, canid_t asked_id, queued_answer queued, const std::uint8_t *req,
                     std::size_t req_len, std::uint8_t *resp, std::uint64_t *resp_len, int req_kind,
                     canid_t *answered_by)
{
    if (req_len < 2 || req_len > CAN_MAX_DLEN) {
        std::printf("Invalid OBD2 request length: %zu bytes\n", req_len);
        return -1;
    }
    if (!req || !resp || !resp_len || shutdown_requested())
        return -1;
    const can_cfg_entry &row = can_cfg_row(addr_mode);
    exchange ex{};
    ex.fd = row.sock_fd;
    ex.addr_mode = addr_mode;
    ex.asked_id = asked_id & CAN_EFF_MASK;
    ex.queued = queued;
    mark_progress(worker::obd_session); // an exchange is bounded: OBD_PROGRESS_BOUND (session.cpp)
    ex.req = req;
    ex.req_len = req_len;
    sort_queued_frames(ex);
    print_labelled_bytes("REQUEST ", req, req_len, "[ %2x ] ", "\n");

    can_frame request{};
    request.can_id = row.req_id | (is_11bit(addr_mode) ? 0 : CAN_EFF_FLAG);
    request.len = static_cast<std::uint8_t>(req_len);
    std::memcpy(request.data, req, req_len);
    if (!send_frame(row.sock_fd, request)) {
        std::perror("CAN write failed");
        return -1;
    }
    *resp_len = 0;
    ex.frame_wait = milliseconds(isotp_frame_wait_ms(req_kind));
    ex.start = steady::now();
    ex.next_frame_due = ex.start + ex.frame_wait;
    ex.give_up = ex.next_frame_due + milliseconds(ISOTP_EXCHANGE_EXTRA_MS);
    ex.waits_when_pending = isotp_waits_when_pending(req_kind);
    int result = receive_answer(ex, resp, resp_len, answered_by);
    if (result == -1)
        *resp_len = 0;
    return result;
}

} // namespace

int send_obd2_request(int addr_mode, const std::uint8_t *req, std::size_t req_len,
                      std::uint8_t *resp, std::uint64_t *resp_len, int req_kind)
{
    canid_t answered_by = 0;
    return exchange_request(addr_mode, 0, queued_answer::counts, req, req_len, resp, resp_len, req_kind,
                            &answered_by);
}

int send_obd2_request(const ecu_entry &ecu, const std::uint8_t *req, std::size_t req_len,
                      std::uint8_t *resp, std::uint64_t *resp_len, int req_kind, queued_answer queued)
{
    canid_t answered_by = 0;
    return exchange_request(ecu.addr_mode, ecu.resp_id, queued, req, req_len, resp, resp_len, req_kind,
                            &answered_by);
}

int send_obd2_request_functional(int addr_mode, queued_answer queued, const std::uint8_t *req,
                                 std::size_t req_len, std::uint8_t *resp, std::uint64_t *resp_len, int req_kind,
                                 canid_t *answered_by)
{
    return exchange_request(addr_mode, 0, queued, req, req_len, resp, resp_len, req_kind, answered_by);
}

int isotp_listen_for_answers(int addr_mode, const std::uint8_t *req, std::size_t req_len, int listen_ms,
                             canid_t *responders, int max_responders)
{
    exchange ex{};
    ex.fd = can_cfg_row(addr_mode).sock_fd;
    ex.addr_mode = addr_mode;
    ex.req = req;
    ex.req_len = req_len;
    ex.start = steady::now();
    ex.next_frame_due = ex.give_up = ex.start + milliseconds(listen_ms);
    int count = 0;
    while (wait_readable(ex) == wait_result::readable) {
        can_frame frame;
        if (read_frame(ex.fd, frame) != 1)
            continue;
        print_received_frame(frame);
        can_link_note_frame(frame);
        if (count < max_responders && isotp_is_response_id(addr_mode, frame.can_id) &&
            (frame.data[0] >> 4) <= 1 && isotp_answers_request(frame, req, req_len))
            responders[count++] = frame.can_id & CAN_EFF_MASK;
    }
    return count;
}
