// Board build: the real SocketCAN interface, the real shell.
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

// Close-on-exec: the "ip" commands run through the shell need no CAN sockets.
int platform_can_socket() { return socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW); }

int platform_can_ifindex(int fd, const char *ifname)
{
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0)
        return -1;
    return ifr.ifr_ifindex;
}

int platform_can_bind(int fd, int ifindex)
{
    struct sockaddr_can addr {};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifindex;
    return bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr));
}

int platform_can_set_filter(int fd, const struct can_filter &filter)
{
    return setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof(filter));
}

int platform_can_set_err_mask(int fd, can_err_mask_t mask)
{
    return setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &mask, sizeof(mask));
}

long platform_can_send(int fd, const struct can_frame &frame)
{
    return send(fd, &frame, sizeof(frame), MSG_NOSIGNAL);
}

int platform_can_if_flags(int fd, const char *ifname)
{
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) < 0)
        return -1;
    return ifr.ifr_flags & 0xFFFF;
}

int platform_run_shell(const char *command) { return std::system(command); }

std::string platform_config_dir() { return "/opt/zuk/configs"; }

std::string platform_broker_address() { return "127.0.0.1"; }
