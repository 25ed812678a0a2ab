// The hand-over between threads: the two state cells through which the OBD
// session thread and the relay thread are steered, every rule for writing
// them, obd_state_mutex, which orders the hand-over of a UI command against
// the OBD thread's idle heartbeat, the command generation and the stop signal.
//
// The cells are plain 32-bit loads and stores (last store wins); they are
// std::atomic only so that the cross-thread accesses are race-free. Read them
// anywhere; write them only through the functions below.
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

// ---- writing the OBD session cell -------------------------------------------------

// Plain store, last store wins.
void change_obd2_thrd_state(int state);

// Stores `state` under obd_state_mutex, unless a command newer than
// `generation` has been handed over since: its PARSE_COMMAND must not be
// overwritten. True when stored.
bool store_state_if_no_newer_command(int state, std::uint64_t generation);

// ---- writing the relay cell ---------------------------------------------------------

// Plain store, last store wins: the router's DO_PARSE, the thread's DO_INIT
// and DO_CLOSE.
void change_gpio_state(int state);

// The relay thread's own move from the state its pass acted on. Takes effect
// only while the cell still holds `from`, so a store from outside (DO_PARSE,
// DO_CLOSE) made meanwhile is never overwritten. True when moved.
bool move_gpio_state(int from, int to);

// ---- command arrival signal -------------------------------------------------------
// Every hand-over of a UI command bumps a generation number and wakes the OBD
// thread, so its pauses end as soon as a command is waiting instead of
// sleeping the full second.

// Called by the command hand-over with obd_state_mutex held, once the text is
// in the mailbox: stores PARSE_COMMAND and bumps the generation.
void obd_command_arrived();

// Number of commands handed over so far.
std::uint64_t obd_command_generation();

// ---- the command being executed (OBD thread only) ------------------------------------

// Records the generation at which the command about to be executed was parsed.
void set_current_command_generation(std::uint64_t generation);

std::uint64_t current_command_generation();

// Stores the state that ends the command being executed, unless a newer
// command has been handed over since it was parsed.
bool finish_current_command(int state);

// ---- pauses ------------------------------------------------------------------------

// Sleeps for `pause`, or less when a command is handed over that is newer
// than `seen_generation`. Returns true when woken by a command.
bool obd_pause(std::chrono::milliseconds pause, std::uint64_t seen_generation);

// Sleeps for `pause` unless a command newer than the moment of the call
// arrives first.
bool obd_pause(std::chrono::milliseconds pause);

// Blocks until a command newer than `seen_generation` has been handed over.
// The pauses and this wait mark the OBD thread's progress (supervision_cells.h),
// this one every second while it lasts.
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
