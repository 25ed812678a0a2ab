// The two state cells through which the OBD session thread and the relay
// thread are steered, and obd_state_mutex, which orders the hand-over of a
// UI command against the OBD thread's idle heartbeat.
//
// The cells are plain 32-bit loads and stores (last store wins); they are
// std::atomic only so that the cross-thread accesses are race-free.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

// OBD session states.
constexpr int LOAD_CONFIG = 10;
constexpr int CAN_INIT = 1;
constexpr int DETECT_ECU = 2;
constexpr int IDENTIFY_VEHICLE = 3;
constexpr int PARSE_COMMAND = 4;
constexpr int IDLE = 7;
constexpr int EXECUTE_COMMAND = 8;

// Relay thread states.
constexpr int DO_INIT = 0;
constexpr int DO_PARSE = 1;
constexpr int DO_APPLY = 2;
constexpr int DO_CLOSE = 3;
constexpr int DO_IDLE = 4;

extern std::atomic<int> g_obd2_com_thrd_state;
extern std::atomic<int> g_gpio_state;

// Orders the command hand-over (copy into the mailbox, PARSE_COMMAND, the
// generation bump) against the OBD thread's own state stores and its read of
// the mailbox. The hand-over takes it on the MQTT library's callback thread,
// so while it is held nothing may wait: no publication or other library
// call, no CAN exchange, no file access, no sleep. Only copies and stores.
extern std::mutex obd_state_mutex;

void change_obd2_thrd_state(int state);
void change_gpio_state(int state);

// ---- command arrival signal -------------------------------------------------------
// Every hand-over of a UI command bumps a generation number and wakes the OBD
// thread, so its pauses end as soon as a command is waiting instead of
// sleeping the full second.

// Called by the command hand-over with obd_state_mutex held, right after it
// stored PARSE_COMMAND.
void obd_command_arrived();

// Number of commands handed over so far.
std::uint64_t obd_command_generation();

// Sleeps for `pause`, or less when a command is handed over that is newer
// than `seen_generation`. Returns true when woken by a command.
bool obd_pause(std::chrono::milliseconds pause, std::uint64_t seen_generation);

// Sleeps for `pause` unless a command newer than the moment of the call
// arrives first.
bool obd_pause(std::chrono::milliseconds pause);

// Blocks until a command newer than `seen_generation` has been handed over.
void obd_wait_for_command(std::uint64_t seen_generation);

// Sleeps for `pause` whatever commands arrive (a pacing pause inside a
// service); only a shutdown ends it early.
void obd_sleep(std::chrono::milliseconds pause);

// ---- shutdown ------------------------------------------------------------------
// A stop signal ends every thread at its next pass. The waits of the OBD
// thread (pauses, CAN exchanges) end at once; the other threads' waits check
// shutdown_requested() and are woken by their own stop functions.

void request_shutdown();
bool shutdown_requested();
// Readable once a shutdown was requested, for waits on descriptors (select).
int shutdown_fd();
