// The ECU's side of a CAN socket, for transport tests without a simulator:
// one end of socketpair(AF_UNIX, SOCK_SEQPACKET) becomes can_cfg's socket of
// an addressing mode, the test reads the daemon's frames from the other end
// and writes the bus's frames into it, one 16-byte struct can_frame per record.
#pragma once

#include "c_handles.h"

#include <gtest/gtest.h>
#include <linux/can.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <future>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;

// A classic frame with `data` (at most 8 bytes); len = number of bytes.
can_frame make_can_frame(canid_t id, std::initializer_list<std::uint8_t> data);
// data[0..len) of a frame (at most 8 bytes).
std::vector<std::uint8_t> can_frame_bytes(const can_frame &frame);

class can_test_peer {
public:
    explicit can_test_peer(int addr_mode); // installs the daemon's end into can_cfg
    ~can_test_peer();                      // puts back the previous descriptor
    can_test_peer(const can_test_peer &) = delete;
    can_test_peer &operator=(const can_test_peer &) = delete;

    bool send(const can_frame &frame);
    bool send(canid_t id, std::initializer_list<std::uint8_t> data);
    bool send_record(const void *data, std::size_t size); // any size, as is
    // Next frame the daemon wrote, nullopt when none came within `timeout`.
    std::optional<can_frame> receive(std::chrono::milliseconds timeout = 5s);
    // Frames already queued from the daemon, without waiting.
    std::size_t queued_from_daemon();
    // The ECU side goes away: the daemon's next read sees the end of the stream.
    void hang_up();

private:
    int row_;
    int previous_fd_;
    unique_fd daemon_end_;
    unique_fd ecu_end_;
};

// send_obd2_request running on a thread of its own while the test plays the ECU.
struct async_request {
    std::array<std::uint8_t, 4096> resp{};
    std::uint64_t resp_len = 0xDEAD;
    std::future<int> result;

    async_request(int addr_mode, std::vector<std::uint8_t> req, int req_kind);
    async_request(const async_request &) = delete;
    async_request &operator=(const async_request &) = delete;
    ~async_request(); // waits for the exchange to end
    int get() { return result.get(); }
    std::vector<std::uint8_t> answer() const;    // resp[0..resp_len)
};

// detect_mode on a thread of its own.
struct async_detect {
    std::array<std::uint8_t, 4096> resp{};
    std::uint64_t resp_len = 0xDEAD;
    std::future<int> result;

    explicit async_detect(std::vector<std::uint8_t> req);
    async_detect(const async_detect &) = delete;
    async_detect &operator=(const async_detect &) = delete;
    ~async_detect();
    int get() { return result.get(); }
};

// Success when `text` contains `what`; the failure message shows both.
testing::AssertionResult has_text(const std::string &text, const std::string &what);
