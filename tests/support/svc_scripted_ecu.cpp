#include "svc_scripted_ecu.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr std::uint8_t ECU_FILL = 0x55;

} // namespace

svc_scripted_ecu::svc_scripted_ecu(int addr_mode, answer_fn answer)
    : peer_(addr_mode), response_id_(addr_mode == 1 ? 0x7E8 : (0x18DAF110 | CAN_EFF_FLAG)), answer_(std::move(answer))
{
    thread_ = std::thread([this] { run(); });
}

svc_scripted_ecu::~svc_scripted_ecu()
{
    stop_ = true;
    thread_.join();
}

std::vector<svc_bytes> svc_scripted_ecu::requests() const
{
    std::lock_guard lock(requests_mutex_);
    return requests_;
}

can_frame svc_scripted_ecu::frame(std::initializer_list<std::uint8_t> head, const std::uint8_t *data,
                                  std::size_t n) const
{
    can_frame f{};
    f.can_id = response_id_;
    f.len = CAN_MAX_DLEN;
    std::fill(std::begin(f.data), std::end(f.data), ECU_FILL);
    std::copy(head.begin(), head.end(), f.data);
    std::copy_n(data, n, f.data + head.size());
    return f;
}

void svc_scripted_ecu::send_answer(const svc_bytes &payload)
{
    std::size_t size = payload.size();
    if (size <= 7) {
        peer_.send(frame({static_cast<std::uint8_t>(size)}, payload.data(), size));
        return;
    }
    peer_.send(frame({static_cast<std::uint8_t>(0x10 | (size >> 8)), static_cast<std::uint8_t>(size & 0xFF)},
                     payload.data(), 6));
    std::optional<can_frame> fc = peer_.receive(std::chrono::seconds(10));
    if (!fc || (fc->data[0] & 0xF0) != 0x30) {
        ADD_FAILURE() << "no flow control after the first frame";
        return;
    }
    std::uint8_t seq = 1;
    for (std::size_t offset = 6; offset < size && !stop_; offset += 7, seq = (seq + 1) & 0x0F) {
        std::size_t n = std::min<std::size_t>(7, size - offset);
        peer_.send(frame({static_cast<std::uint8_t>(0x20 | seq)}, payload.data() + offset, n));
    }
}

void svc_scripted_ecu::run()
{
    while (!stop_) {
        std::optional<can_frame> request = peer_.receive(std::chrono::milliseconds(20));
        if (!request)
            continue;
        std::size_t length = request->data[0];
        if (length == 0 || length > 7 || length >= request->len)
            continue; // flow control or anything else that is not a request
        svc_bytes payload(request->data + 1, request->data + 1 + length);
        {
            std::lock_guard lock(requests_mutex_);
            requests_.push_back(payload);
        }
        if (std::optional<svc_bytes> answer = answer_(payload))
            send_answer(*answer);
    }
}
