// The running simulator's state, shared by the server core (ecu_sim.cpp) and
// the SocketCAN backends (ecu_socketcan.cpp). Not part of the public API.
#pragma once

#include "ecu_sim.h"

#include "c_handles.h"

#include <atomic>
#include <poll.h>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

enum class sim_backend : std::uint8_t { unix_socket, can_raw, can_isotp };

// One connection on the host simulation's socket, with the receive filter
// and error mask it asked for (defaults as for a fresh raw socket).
struct sim_client {
    unique_fd fd;
    can_filter filter{0, 0};
    can_err_mask_t err_mask = 0;
    bool dead = false;
    bool dropping = false;  // frames are being lost: logged once per episode
    // Records the socket could not take yet, sent in order as it drains: an
    // answer's consecutive frames leave in a burst that outruns the socket
    // buffer, where a real bus would have paced them.
    std::deque<byte_vector> backlog;
};

// Records a client may have waiting before further ones are dropped:
// enough for several of the longest answers (4095 bytes, 586 frames).
constexpr std::size_t SIM_CLIENT_BACKLOG = 4096;

// Kernel ISO-TP mode, per ECU: functional requests arrive on one socket,
// physical requests and flow control on the other, which also sends answers.
struct isotp_node_sockets {
    unique_fd functional;
    unique_fd physical;
    std::deque<byte_vector> unsent;  // answers the kernel could not take yet
};

struct ecu_sim {
    sim_backend backend = sim_backend::unix_socket;
    ecu_sim_options options;
    std::string socket_path;  // unix backend
    std::string ifname;       // SocketCAN backends
    unique_fd listen_fd;      // unix backend
    unique_fd can_fd;         // raw backend; injection socket in ISO-TP mode
    int ifindex = 0;
    std::vector<isotp_node_sockets> isotp;  // touched by the thread only
    unique_fd wake_fd;                      // eventfd: controls wake the thread
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> connected{true};

    std::mutex lock;  // guards everything below
    std::condition_variable changed;  // a tester frame was logged or a client came
    ecu_engine engine;
    bool profile_changed = false;
    std::vector<sim_client> clients;
    std::deque<ecu_sim_record> log;
    std::size_t requests_seen = 0;  // tester frames since the last clear
};

// Server core, used by the backends (lock held).
void sim_wake(ecu_sim &sim);
void sim_drain_wake(ecu_sim &sim);
void sim_log_line(ecu_sim &sim, const std::string &line);
void sim_record(ecu_sim &sim, const can_frame &frame, bool from_tester);
void sim_log_notes(ecu_sim &sim);
// A frame from the tester: logged, then handed to the engine when plugged in.
void sim_tester_frame(ecu_sim &sim, const can_frame &frame);
// Engine frames due now go out through the backend.
void sim_advance(ecu_sim &sim);
void sim_send_frames(ecu_sim &sim, const std::vector<can_frame> &frames);
// Waits for events on `fds` until `deadline` (none: no limit). False, with a
// log line, when the wait itself failed and the backend must stop.
bool sim_wait_events(ecu_sim &sim, std::vector<pollfd> &fds, std::optional<ecu_time> deadline);
// ppoll timeout for the next engine deadline; nullopt = none.
std::optional<ecu_time> sim_next_deadline(ecu_sim &sim);

// SocketCAN backends (ecu_socketcan.cpp).
bool socketcan_open(ecu_sim &sim, std::string &error);
void socketcan_run(ecu_sim &sim);
bool socketcan_write(ecu_sim &sim, const can_frame &frame);
