// Records on the host simulation's CAN socket (AF_UNIX, SOCK_SEQPACKET), shared
// by the daemon's host-sim seam and ecu-sim. One record per message, told
// apart by size:
//   16 bytes  struct can_frame    a frame on the bus, in either direction
//    8 bytes  struct can_filter   client -> sim: the connection's receive
//                                 filter, as CAN_RAW_FILTER installs it
//    4 bytes  can_err_mask_t      client -> sim: the connection's error mask,
//                                 as CAN_RAW_ERR_FILTER installs it
// A frame sent by one client goes to the simulated ECUs only; frames the ECUs
// send go to every client whose filter passes them, like the kernel's raw
// sockets would deliver them.
#pragma once

#include <linux/can.h>

constexpr const char *HOSTSIM_DEFAULT_CAN_SOCKET = "/tmp/ecu-sim.sock";

static_assert(sizeof(struct can_frame) == 16);
static_assert(sizeof(struct can_filter) == 8);
static_assert(sizeof(can_err_mask_t) == 4);

// Would a raw socket with this filter deliver `id` (identifier with flags)?
inline bool hostsim_filter_passes(const struct can_filter &f, canid_t id)
{
    if (id & CAN_ERR_FLAG)
        return false; // error frames go by the error mask instead
    return ((id ^ f.can_id) & f.can_mask) == 0;
}
