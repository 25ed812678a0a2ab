// The running simulator's state and the server core's services, shared by the
// core (ecu_sim.cpp) and the backends (ecu_unix_socket.cpp, ecu_socketcan.cpp).
// The core reaches a backend only through its sim_backend table. Not part of
// the public API.
#pragma once

#include "ecu_sim.h"

#include "c_handles.h"

#include <atomic>
#include <poll.h>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <span>
#include <thread>

// What the server core asks of a backend. Every function is called with the
// lock held; a null entry means the backend does not offer it.
struct sim_backend {
    // Opens the backend's sockets; false with a reason in `error`.
    bool (*open)(ecu_sim &sim, std::string &error);
    // Appends the descriptors to wait on and returns when the backend has
    // something to do next (nullopt: nothing).
    std::optional<ecu_time> (*watch)(ecu_sim &sim, std::vector<pollfd> &fds);
    // Handles what the wait reported on the descriptors `watch` appended.
    void (*serve)(ecu_sim &sim, std::span<const pollfd> ready);
    // Puts a frame from the ECUs on the bus; false when nobody got it.
    bool (*put_frame)(ecu_sim &sim, const can_frame &frame, bool bypass_filters);
    // A record of any size, as is, to every client.
    bool (*put_record)(ecu_sim &sim, const void *data, std::size_t size);
    // After the thread has stopped: removes what the backend leaves behind.
    void (*close)(ecu_sim &sim);
};

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

// Kernel ISO-TP mode, per ECU: functional requests arrive on one socket,
// physical requests and flow control on the other, which also sends answers.
struct isotp_node_sockets {
    unique_fd functional;
    unique_fd physical;
    std::deque<byte_vector> unsent;  // answers the kernel could not take yet
};

struct ecu_sim {
    const sim_backend *backend = nullptr;
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
    std::vector<sim_client> clients;  // unix backend
    std::deque<ecu_sim_record> log;
    std::size_t requests_seen = 0;  // tester frames since the last clear
};

// Starts the thread serving `sim` through sim->backend; the caller has set
// the backend, the options and the backend's own members.
ecu_sim_ptr sim_start(std::unique_ptr<ecu_sim> sim, const ecu_profile &profile, std::string &error);

// Server core, used by the backends (lock held).
void sim_log_line(ecu_sim &sim, const std::string &line);
void sim_record(ecu_sim &sim, const can_frame &frame, bool from_tester);
void sim_log_notes(ecu_sim &sim);
// A frame from the tester: logged, then handed to the engine when plugged in.
void sim_tester_frame(ecu_sim &sim, const can_frame &frame);
// Engine frames due now go out through the backend.
void sim_advance(ecu_sim &sim);
// When the engine has something to do next; nullopt = nothing.
std::optional<ecu_time> sim_next_deadline(ecu_sim &sim);
