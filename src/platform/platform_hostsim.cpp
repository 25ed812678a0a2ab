// Host simulation build: CAN frames travel over a Unix socket to ecu-sim,
// shell commands are printed instead of run (the "ip link" ones set the
// simulated can0 down and up), the config directory and the broker address
// come from the environment.
#include "hostsim_wire.h"
#include "platform/hostsim_hooks.h"
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::function<int(int)> ifindex_failure; // tests only, set before the sockets are opened

// The simulated can0's administrative state: down refuses every frame with
// ENETDOWN, as the kernel does, until an "ip link set can0 up" command.
std::atomic<bool> interface_up{true};

std::mutex shell_observer_mutex;
std::function<void(const char *)> shell_observer; // tests only; under shell_observer_mutex
std::function<int(const char *)> shell_status;     // tests only; under shell_observer_mutex

bool starts_with(const char *text, const char *prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

void apply_to_simulated_interface(const char *command)
{
    if (std::strcmp(command, "sudo ip link set can0 down") == 0)
        interface_up = false;
    else if (starts_with(command, "sudo ip link set can0 up"))
        interface_up = true;
}

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

long platform_can_send(int fd, const struct can_frame &frame)
{
    if (!interface_up) {
        errno = ENETDOWN;
        return -1;
    }
    return send(fd, &frame, sizeof(frame), MSG_NOSIGNAL);
}

int platform_can_if_flags(int fd, const char *ifname)
{
    if (platform_can_ifindex(fd, ifname) < 0)
        return -1;
    return interface_up ? IFF_UP | IFF_RUNNING : 0;
}

void hostsim_set_interface_up(bool up) { interface_up = up; }

void hostsim_set_shell_observer(std::function<void(const char *command)> observer)
{
    std::lock_guard lock(shell_observer_mutex);
    shell_observer = std::move(observer);
}

void hostsim_set_shell_status(std::function<int(const char *command)> status)
{
    std::lock_guard lock(shell_observer_mutex);
    shell_status = std::move(status);
}

int platform_run_shell(const char *command)
{
    std::printf("SIM_SHELL : %s\n", command);
    std::fflush(stdout);
    std::lock_guard lock(shell_observer_mutex);
    const int status = shell_status ? shell_status(command) : 0;
    if (status == 0)
        apply_to_simulated_interface(command);
    if (shell_observer)
        shell_observer(command);
    return status;
}

// Read on every call, so a test can point one process at several folders.
std::string platform_config_dir() { return env_or("DIAG_GW_CONFIG_DIR", "./configs"); }

std::string platform_broker_address() { return env_or("DIAG_GW_BROKER", "tcp://127.0.0.1:1883"); }
