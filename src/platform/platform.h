// Platform seams: the few places where the board build and the host
// simulation build differ. Everything above them is the same code, compiled
// once, in every build; no #ifdef chooses between them.
//
//   seam              board build                  host simulation build
//   CAN sockets       SocketCAN raw sockets        AF_UNIX SOCK_SEQPACKET socket to ecu-sim,
//                                                  one record per message (shared/hostsim_wire.h)
//   shell command     system()                     printed, not run; "ip link set can0
//                                                  down/up" set the simulated can0's state
//   config directory  /opt/zuk/configs             DIAG_GW_CONFIG_DIR (default ./configs)
//   broker address    127.0.0.1:1883               DIAG_GW_BROKER (default tcp://127.0.0.1:1883)
//   GPIO (relays)     libgpiod v2                  gpiod_sim.cpp: the same gpiod_* functions,
//                                                  lines held in memory (gpiod_sim.h for tests)
//
// The first four are the functions below, defined by platform_board.cpp or
// platform_hostsim.cpp. GPIO has no function of its own here: the relay
// driver calls the libgpiod v2 API directly, and the build links either the
// real library or the stand-in that defines the same symbols. Tests can make
// the host simulation's seams fail on purpose through hostsim_hooks.h.
//
// How a build picks: CMakeLists.txt links each executable with one seam set
// (the daemon's two executables and the fuzz targets in a rescanned
// LINK_GROUP with the subsystem libraries that call the seams, so the link
// order does not matter):
//   diag-gateway       diag_platform_board   + libgpiod (PkgConfig::GPIOD)
//   diag-gateway-sim   diag_platform_hostsim + gpiod_sim
//   tests, fuzzing     diag_platform_hostsim + gpiod_sim
// CAN frames themselves are read with read()/recv() on the descriptor in both
// builds: either socket carries one struct can_frame per message. They are
// sent through platform_can_send(), where the host simulation refuses them
// while its simulated interface is down, as the kernel does.
//
// The CAN functions mirror the system calls they replace: they return -1 and
// set errno on failure, so callers report failures with perror().
#pragma once

#include <linux/can.h>
#include <linux/can/raw.h>
#include <string>

// socket(PF_CAN, SOCK_RAW, CAN_RAW)
int platform_can_socket();
// ioctl(SIOCGIFINDEX) on an interface request naming `ifname`; returns the
// index (> 0) or -1.
int platform_can_ifindex(int fd, const char *ifname);
// bind() to a sockaddr_can of family AF_CAN with that interface index.
int platform_can_bind(int fd, int ifindex);
// setsockopt(SOL_CAN_RAW, CAN_RAW_FILTER) with one filter.
int platform_can_set_filter(int fd, const struct can_filter &filter);
// setsockopt(SOL_CAN_RAW, CAN_RAW_ERR_FILTER).
int platform_can_set_err_mask(int fd, can_err_mask_t mask);
// send() of one frame, without SIGPIPE; returns what send() returns.
long platform_can_send(int fd, const struct can_frame &frame);
// ioctl(SIOCGIFFLAGS) on an interface request naming `ifname`; returns the
// interface flags (IFF_UP, ...) or -1.
int platform_can_if_flags(int fd, const char *ifname);

// Runs a shell command (system() on the board); returns its status.
int platform_run_shell(const char *command);

// Directory holding config.json, default_config/ and ecu_info.json, without
// a trailing slash ("/opt/zuk/configs" on the board).
std::string platform_config_dir();

// Server address handed to the MQTT client ("127.0.0.1" on the board).
std::string platform_broker_address();

// Host simulation only: environment variables that move the seams.
//   DIAG_GW_CONFIG_DIR   config directory            (default ./configs)
//   DIAG_GW_CAN_SOCKET   ecu-sim's Unix socket path  (default /tmp/ecu-sim.sock)
//   DIAG_GW_BROKER       MQTT server address         (default tcp://127.0.0.1:1883)
