// Waiting for the child processes the tests start (brokers, daemons).
#pragma once

#include <chrono>
#include <sys/types.h>

// True once `pid` has ended and is reaped (or is no child of ours), false
// when it still runs after `timeout`. `status` receives its wait status (-1
// when it was no child of ours).
bool wait_child_exit(pid_t pid, std::chrono::milliseconds timeout, int *status = nullptr);
