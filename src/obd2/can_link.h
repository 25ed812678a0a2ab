// Bringing "can0" up, opening one filtered raw CAN socket per addressing mode,
// and bringing the interface up again when the exchanges find it down.
#pragma once

#include <chrono>
#include <cstdint>
#include <linux/can.h>
#include <string>

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
// A failed "down" (a refused sudo, an adapter that is gone) ends the
// sequence; a failed bitrate command does not (an interface without bit
// timing takes the plain "up"). 1 when the last "up" succeeded, 0 otherwise;
// a failure counts as a failed bring-up and paces the next one
// (can_link_backoff_left). The bitrate is remembered for can_link_recover().
int can_setup(const char *ifname, long long bitrate);

// Opens, binds and filters both sockets on "can0". 1 when every step of both
// rows succeeded, 0 otherwise (each failing step reported with perror). The
// sockets of an earlier call are closed first, so retries never accumulate
// descriptors.
int init_can_socket();

// Closes both sockets (if open) and marks them closed.
void close_can_sockets();

// ---- keeping the link up ------------------------------------------------------
// The daemon owns the interface it configured. When an exchange finds it
// down (a send or read failing with ENETDOWN, an interface without IFF_UP, a
// socket that could not be reopened) or the controller reports bus-off (it
// stays there until set down and up, unless the interface restarts it on its
// own), the bring-up runs again: can_setup with the bitrate of the last
// can_setup, then init_can_socket. OBD thread only.

// The least time between two bring-ups. While bring-ups keep failing the
// pause doubles with each failure (2, 4, 8 ... s) up to the longest pause; a
// success brings it back to the least. The log says when the link is found
// down, when a bring-up fails for a new reason (the command and its exit
// status) and when the link is up again, never once per try: sudo logs each
// refusal too, and the journal lives on flash.
constexpr std::chrono::seconds CAN_BRINGUP_INTERVAL{2};
constexpr std::chrono::seconds CAN_BRINGUP_LONGEST_PAUSE{60};

// How long the next bring-up must still wait while bring-ups keep failing;
// zero when the last one succeeded or its pause is over.
std::chrono::milliseconds can_link_backoff_left();

// True while the link is known down (found down, or its bring-up failing):
// `reason` says why (the failed command and its exit status when a bring-up
// failed), `next` when the next bring-up may run.
bool can_link_down(std::string &reason, std::chrono::steady_clock::time_point &next);

// A send or read on a CAN socket failed with `err` (an errno value).
void can_link_note_failure(int err);

// Every frame read off a CAN socket passes here. True for a bus-off error
// frame: the controller sends nothing until the next bring-up.
bool can_link_note_frame(const struct can_frame &frame);

// Nothing came in time on `fd`: is the interface still up?
void can_link_check_interface(int fd);

// Called between exchanges. Looks at the interface's flags (one ioctl), then
// runs the bring-up again when the link was found down, a can_setup has run
// and the pause after the last one is over. A bring-up counts as a success
// when its commands succeeded, the sockets opened and the interface is up.
// True when it ran.
bool can_link_recover();
