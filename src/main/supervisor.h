// The main thread's watch over the three worker threads, reported to the
// service manager (systemd, Type=notify): READY=1 once the threads run their
// loops, STATUS= whenever the status line changes, WATCHDOG=1 while every
// thread shows progress within its bound (supervision_cells.h), STOPPING=1
// when a stop signal arrives. Without NOTIFY_SOCKET (started by hand, the
// host simulation, the tests) the notifications go nowhere; a thread that
// stops making progress is logged all the same.
#pragma once

#include <csignal>

// Supervises until one of `stop_signals` (blocked in every thread) arrives,
// sends STOPPING=1 and returns that signal's number.
int supervise_until_stop_signal(const sigset_t &stop_signals);
