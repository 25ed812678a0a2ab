// What the worker threads tell the supervisor on the main thread: that they
// still make progress, and the facts of the service's status line. Written
// by the workers, read by the main thread; nothing here waits.
//
// Progress means the thread came back to its loop or started a bounded wait
// within its bound: the longest stretch it may legitimately spend between
// two marks. Each thread's bound is given, and explained, where its loop
// marks progress (mqtt_link.cpp, session.cpp, relay_thread.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

enum class worker : int { mqtt_link, obd_session, relay_outputs };
constexpr int WORKER_COUNT = 3;

// "MQTT link", "OBD session", "relay outputs".
const char *worker_name(worker w);

// The thread is in its loop and marks again within `bound`. Its first call
// makes the thread count as running.
void mark_progress(worker w, std::chrono::seconds bound);
// Progress within the bound the thread's loop gave.
void mark_progress(worker w);

struct worker_progress {
    bool running;                          // marked at least once
    std::chrono::steady_clock::duration since_mark;
    std::chrono::seconds bound;
};
worker_progress progress_of(worker w, std::chrono::steady_clock::time_point now);

// ---- the status line's facts ---------------------------------------------------------

struct session_summary {
    int state = 0;            // OBD session state the current pass acts on
    int command = 0;          // CMD under way while state is EXECUTE_COMMAND
    std::uint32_t ecu_id = 0; // the watched ECU's response identifier, 0: none
    int ecu_mode = 0;         // its addressing mode (ADDR_MODE_11BIT, ADDR_MODE_29BIT)
    int ecu_count = 0;        // ECUs listed at detection
    bool can_link_down = false;  // found down, or its bring-ups failing
    std::string can_link_reason; // why, while down
    std::chrono::steady_clock::time_point next_can_link_try{}; // while down
};

// OBD session thread.
void show_session(const session_summary &summary);
session_summary shown_session();

// Relay thread: whether it holds the relay lines.
void show_relays_ready(bool ready);
bool relays_shown_ready();
