#include "can_peer.h"

#include "can_socket_pair.h"

#include "obd2/can_link.h"
#include "obd2/isotp.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <tuple>

can_frame make_can_frame(canid_t id, std::initializer_list<std::uint8_t> data)
{
    can_frame frame{};
    frame.can_id = id;
    frame.len = static_cast<std::uint8_t>(std::min<std::size_t>(data.size(), CAN_MAX_DLEN));
    std::copy_n(data.begin(), frame.len, frame.data);
    return frame;
}

std::vector<std::uint8_t> can_frame_bytes(const can_frame &frame)
{
    std::size_t n = std::min<std::size_t>(frame.len, CAN_MAX_DLEN);
    return {frame.data, frame.data + n};
}

can_test_peer::can_test_peer(int addr_mode) : row_(addr_mode == 1 ? 0 : 1)
{
    std::tie(daemon_end_, ecu_end_) = can_socket_pair();
    previous_fd_ = can_cfg[row_].sock_fd;
    can_cfg[row_].sock_fd = daemon_end_.get();
}

can_test_peer::~can_test_peer() { can_cfg[row_].sock_fd = previous_fd_; }

bool can_test_peer::send(const can_frame &frame) { return send_record(&frame, sizeof(frame)); }

bool can_test_peer::send(canid_t id, std::initializer_list<std::uint8_t> data)
{
    return send(make_can_frame(id, data));
}

bool can_test_peer::send_record(const void *data, std::size_t size)
{
    return ::send(ecu_end_.get(), data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

std::optional<can_frame> can_test_peer::receive(std::chrono::milliseconds timeout)
{
    pollfd pfd{ecu_end_.get(), POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0)
        return std::nullopt;
    can_frame frame{};
    if (recv(ecu_end_.get(), &frame, sizeof(frame), 0) != static_cast<ssize_t>(sizeof(frame)))
        return std::nullopt;
    return frame;
}

std::size_t can_test_peer::queued_from_daemon()
{
    std::size_t n = 0;
    can_frame frame;
    while (recv(ecu_end_.get(), &frame, sizeof(frame), MSG_DONTWAIT) > 0)
        ++n;
    return n;
}

void can_test_peer::hang_up() { ecu_end_.reset(); }

async_request::async_request(int addr_mode, std::vector<std::uint8_t> req, int req_kind)
{
    result = std::async(std::launch::async, [this, addr_mode, req = std::move(req), req_kind] {
        return send_obd2_request(addr_mode, req.data(), req.size(), resp.data(), &resp_len,
                                 req_kind);
    });
}

async_request::~async_request()
{
    if (result.valid())
        result.wait();
}

std::vector<std::uint8_t> async_request::answer() const
{
    std::size_t n = std::min<std::uint64_t>(resp_len, resp.size());
    return {resp.begin(), resp.begin() + static_cast<std::ptrdiff_t>(n)};
}

async_detect::async_detect(std::vector<std::uint8_t> req)
{
    result = std::async(std::launch::async, [this, req = std::move(req)] {
        return detect_mode(req.data(), req.size(), resp.data(), &resp_len);
    });
}

async_detect::~async_detect()
{
    if (result.valid())
        result.wait();
}

testing::AssertionResult has_text(const std::string &text, const std::string &what)
{
    if (text.find(what) != std::string::npos)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "missing \"" << what << "\" in:\n" << text;
}
