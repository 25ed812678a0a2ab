// Bringing "can0" up and opening one filtered raw CAN socket per addressing mode.
#pragma once

#include <cstdint>

struct can_cfg_entry {
    std::int32_t sock_fd;           // -1 while closed
    std::uint32_t req_id;           // functional request identifier
    std::uint32_t resp_filter_id;   // receive filter
    std::uint32_t resp_filter_mask;
};

// Row 0: 11-bit identifiers, row 1: 29-bit identifiers. Used by the OBD
// thread only.
extern can_cfg_entry can_cfg[2];

// Row of can_cfg for an addressing mode (1 -> 0, anything else -> 1).
inline can_cfg_entry &can_cfg_row(int addr_mode) { return can_cfg[addr_mode == 1 ? 0 : 1]; }

constexpr const char *CAN_INTERFACE_NAME = "can0";
constexpr int CAN_COMMAND_SIZE = 128; // shell command buffer of can_setup

// Sets the interface down and up again at `bitrate` through the shell:
//   "sudo ip link set can0 down"
//   "sudo ip link set can0 up type can bitrate 500000"
//   "sudo ip link set can0 up"
// The exit statuses are not examined. Always 1.
int can_setup(const char *ifname, long long bitrate);

// Opens, binds and filters both sockets on "can0". 1 when every step of both
// rows succeeded, 0 otherwise (each failing step reported with perror). The
// sockets of an earlier call are closed first, so retries never accumulate
// descriptors.
int init_can_socket();

// Closes both sockets (if open) and marks them closed.
void close_can_sockets();
