// Host simulation build: CAN frames travel over a Unix socket to ecu-sim,
// shell commands are printed instead of run, the config directory and the
// broker address come from the environment.
#include "hostsim_wire.h"
#include "platform/hostsim_hooks.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::function<int(int)> ifindex_failure; // tests only, set before the sockets are opened

std::string env_or(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return (value && *value) ? value : fallback;
}

int write_record(int fd, const void *record, size_t size)
{
    ssize_t n = send(fd, record, size, MSG_NOSIGNAL);
    if (n < 0)
        return -1;
    if (static_cast<size_t>(n) != size) {
        errno = EIO;
        return -1;
    }
    return 0;
}

} // namespace

int platform_can_socket() { return socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0); }

int platform_can_ifindex(int fd, const char *ifname)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    // The simulated bus has exactly one interface.
    if (std::strcmp(ifname, "can0") != 0) {
        errno = ENODEV;
        return -1;
    }
    if (int injected = ifindex_failure ? ifindex_failure(fd) : 0) {
        errno = injected;
        return -1;
    }
    return 1;
}

void hostsim_set_ifindex_failure(std::function<int(int fd)> failure) { ifindex_failure = std::move(failure); }

int platform_can_bind(int fd, int /*ifindex*/)
{
    std::string path = env_or("DIAG_GW_CAN_SOCKET", HOSTSIM_DEFAULT_CAN_SOCKET);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr));
}

int platform_can_set_filter(int fd, const struct can_filter &filter)
{
    return write_record(fd, &filter, sizeof(filter));
}

int platform_can_set_err_mask(int fd, can_err_mask_t mask)
{
    return write_record(fd, &mask, sizeof(mask));
}

int platform_run_shell(const char *command)
{
    std::printf("SIM_SHELL : %s\n", command);
    std::fflush(stdout);
    return 0;
}

// Read on every call, so a test can point one process at several folders.
std::string platform_config_dir() { return env_or("DIAG_GW_CONFIG_DIR", "./configs"); }

std::string platform_broker_address() { return env_or("DIAG_GW_BROKER", "tcp://127.0.0.1:1883"); }
