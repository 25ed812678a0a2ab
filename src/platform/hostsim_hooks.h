// Host simulation only: failures a test can inject into the seam, for the
// error paths that the simulated bus never takes by itself.
#pragma once

#include <functional>

// Consulted by platform_can_ifindex() before the lookup: when it returns an
// errno value other than 0 for the socket `fd`, the lookup fails with it.
// An empty function (the default) lets every lookup succeed.
void hostsim_set_ifindex_failure(std::function<int(int fd)> failure);
