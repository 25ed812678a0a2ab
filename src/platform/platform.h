// Platform seams: the few places where the board build and the host
// simulation build differ. Everything above these functions is the same code
// in every build.
//
//   board build    SocketCAN raw sockets, system(), /opt/zuk/configs, broker 127.0.0.1:1883
//   host sim build CAN frames over a Unix SOCK_SEQPACKET socket to ecu-sim (one
//                  16-byte struct can_frame per record), shell commands printed,
//                  a local config folder, broker address overridable for tests
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
