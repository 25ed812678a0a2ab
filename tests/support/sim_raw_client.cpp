#include "sim_raw_client.h"

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

sim_raw_client::sim_raw_client(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path))
        return;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unique_fd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (fd && connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0)
        fd_ = std::move(fd);
}

bool sim_raw_client::send_record(const void *data, std::size_t size)
{
    return send(fd_.get(), data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

bool sim_raw_client::set_filter(canid_t id, canid_t mask)
{
    can_filter filter{id, mask};
    return send_record(&filter, sizeof(filter));
}

bool sim_raw_client::set_err_mask(can_err_mask_t mask) { return send_record(&mask, sizeof(mask)); }

bool sim_raw_client::send_frame(const can_frame &frame) { return send_record(&frame, sizeof(frame)); }

std::optional<can_frame> sim_raw_client::receive(std::chrono::milliseconds timeout)
{
    pollfd pfd{fd_.get(), POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0)
        return std::nullopt;
    unsigned char data[64];
    ssize_t n = recv(fd_.get(), data, sizeof(data), MSG_TRUNC);
    last_size_ = n < 0 ? 0 : static_cast<std::size_t>(n);
    if (n != static_cast<ssize_t>(sizeof(can_frame)))
        return std::nullopt;
    can_frame frame;
    std::memcpy(&frame, data, sizeof(frame));
    return frame;
}
