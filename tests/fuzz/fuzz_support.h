// Shared by the libFuzzer targets: reading the fuzzer's bytes, CAN frames
// made from them, the ECU's end of a CAN socket, a private config folder.
//
// A target checks what must hold with FUZZ_CHECK: a broken rule aborts, and
// libFuzzer keeps the input that broke it.
#pragma once

#include "c_handles.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <linux/can.h>
#include <mutex>
#include <optional>
#include <thread>
#include <string>
#include <string_view>
#include <vector>

[[noreturn]] void fuzz_fail(const char *rule, const char *file, int line);
#define FUZZ_CHECK(rule) ((rule) ? (void)0 : fuzz_fail(#rule, __FILE__, __LINE__))

// The fuzzer's bytes, taken from the front. Past the end every byte is 0.
class fuzz_bytes {
public:
    fuzz_bytes(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Up to `n` bytes (fewer at the end).
    std::vector<std::uint8_t> bytes(std::size_t n);
    std::vector<std::uint8_t> rest() { return bytes(size_); }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A frame from ten bytes: identifier choice, length byte (any value, so also
// 0 and above 8), eight data bytes. The identifiers are those of the OBD
// responders of both addressing modes and their near misses: other
// identifiers, the wrong frame format, error and remote frames.
can_frame fuzz_frame(fuzz_bytes &in);

// Identifiers of fuzz_frame, by the low four bits of the choice byte.
extern const canid_t FUZZ_FRAME_IDS[16];

// One end of a socket pair is the daemon's CAN socket of both addressing
// modes (can_cfg); the harness plays the bus on the other.
class fuzz_bus {
public:
    fuzz_bus();
    ~fuzz_bus(); // closes both ends, can_cfg's sockets marked closed
    fuzz_bus(const fuzz_bus &) = delete;
    fuzz_bus &operator=(const fuzz_bus &) = delete;

    bool send(const can_frame &frame);
    bool send_record(const void *data, std::size_t size);
    // Next frame the daemon sent; nullopt when the daemon's end is closed or
    // nothing came within a generous time (a harness fault, reported).
    std::optional<can_frame> receive();
    // Every frame the daemon sent that is still queued, without waiting.
    std::vector<can_frame> drain();
    // The bus goes quiet for good: the daemon's next read sees the end of the
    // stream and the exchange ends at once instead of waiting out its time.
    void stop_sending();
    // The daemon's end goes away, so that a receive() waiting on it returns.
    void close_daemon_end();

private:
    unique_fd daemon_end_;
    unique_fd ecu_end_;
};

// The bus side of an exchange, run on one thread kept for the whole fuzzing
// run: starting a thread per input would cost more than the exchange.
class fuzz_peer {
public:
    fuzz_peer();
    ~fuzz_peer();
    fuzz_peer(const fuzz_peer &) = delete;
    fuzz_peer &operator=(const fuzz_peer &) = delete;

    void start(std::function<void()> task);
    void finish(); // waits until the task has returned

private:
    void serve();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> task_; // guarded by mutex_; empty when idle
    bool quit_ = false;          // guarded by mutex_
    std::thread thread_;
};

bool is_obd_request(const can_frame &frame); // 0x7DF, or 0x18DB33F1 extended

// Frames of a well-formed ISO-TP answer from `from`: a single frame when
// the message fits, else a first frame and consecutive frames, each eight
// bytes with `fill` behind the message.
std::vector<can_frame> iso_tp_frames(canid_t from, const std::vector<std::uint8_t> &message,
                                     std::uint8_t fill);

// A private folder (on tmpfs when there is one, so flushing costs nothing)
// made the daemon's config folder; created once per process.
const std::string &fuzz_config_dir();

bool fuzz_json_parses(const char *text);
