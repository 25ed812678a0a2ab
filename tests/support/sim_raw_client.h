// A bare client of the simulator's Unix socket, speaking the host-sim wire
// records directly (no daemon code), for the simulator's own tests.
#pragma once

#include "c_handles.h"

#include <linux/can.h>

#include <chrono>
#include <optional>
#include <string>

class sim_raw_client {
public:
    // Connects to the simulator at `path`; connected() tells whether it worked.
    explicit sim_raw_client(const std::string &path);

    bool connected() const { return static_cast<bool>(fd_); }
    bool set_filter(canid_t id, canid_t mask);
    bool set_err_mask(can_err_mask_t mask);
    bool send_frame(const can_frame &frame);
    bool send_record(const void *data, std::size_t size);
    // Next 16-byte record as a frame; nullopt on timeout or a record of
    // another size (its size is kept in last_record_size()).
    std::optional<can_frame> receive(std::chrono::milliseconds timeout);
    std::size_t last_record_size() const { return last_size_; }

private:
    unique_fd fd_;
    std::size_t last_size_ = 0;
};
