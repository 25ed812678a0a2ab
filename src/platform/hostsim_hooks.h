// Host simulation only: failures a test can inject into the seam, for the
// error paths that the simulated bus never takes by itself.
#pragma once

#include <functional>

// Consulted by platform_can_ifindex() before the lookup: when it returns an
// errno value other than 0 for the socket `fd`, the lookup fails with it.
// An empty function (the default) lets every lookup succeed.
void hostsim_set_ifindex_failure(std::function<int(int fd)> failure);

// Sets the simulated can0 down (as another tool's "ip link set can0 down"
// would: every frame sent is refused with ENETDOWN) or up. The daemon's own
// "ip link set can0 up" commands set it up again. Any thread.
void hostsim_set_interface_up(bool up);

// Called with every shell command after it was applied; an empty function
// (the default) ends the observation. Any thread; the observer runs on the
// thread that ran the command.
void hostsim_set_shell_observer(std::function<void(const char *command)> observer);

// Consulted by every shell command before it is applied: the status it
// returns (as system() would: 256 for exit status 1, -1 for a shell that
// could not run) is the command's; a command with a status other than 0 is
// refused and leaves the simulated can0 as it was. An empty function (the
// default) lets every command succeed. Any thread.
void hostsim_set_shell_status(std::function<int(const char *command)> status);
