// A connected AF_UNIX SOCK_SEQPACKET pair, the host simulation's CAN socket:
// one end for the daemon, one for whoever plays the bus. Header only, so the
// fuzz targets (built without GoogleTest) share it with the tests.
#pragma once

#include "c_handles.h"

#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <utility>

// {daemon end, bus end}. Aborts when no socket can be had: nothing can run then.
inline std::pair<unique_fd, unique_fd> can_socket_pair()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        std::perror("socketpair");
        std::abort();
    }
    return {unique_fd(fds[0]), unique_fd(fds[1])};
}
