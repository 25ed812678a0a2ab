#include "fuzz_support.h"

#include "can_socket_pair.h"
#include "obd2/can_link.h"

#include <algorithm>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

void fuzz_fail(const char *rule, const char *file, int line)
{
    std::fprintf(stderr, "\n%s:%d: rule broken: %s\n", file, line, rule);
    std::abort();
}

std::vector<std::uint8_t> fuzz_bytes::bytes(std::size_t n)
{
    std::size_t take = std::min(n, at_ < size_ ? size_ - at_ : 0);
    std::vector<std::uint8_t> out(data_ + at_, data_ + at_ + take);
    at_ += take;
    return out;
}

const canid_t FUZZ_FRAME_IDS[16] = {
    0x7E8, 0x7E8, 0x7E8, 0x7E9, 0x7EF, 0x7E0, 0x7DF, 0x7F0,
    0x18DAF110 | CAN_EFF_FLAG, 0x18DAF110 | CAN_EFF_FLAG, 0x18DAF111 | CAN_EFF_FLAG,
    0x18DAF110, 0x7E8 | CAN_EFF_FLAG, 0x7E8 | CAN_RTR_FLAG, 0x7E8 | CAN_ERR_FLAG,
    0x18DAF110 | CAN_EFF_FLAG | CAN_RTR_FLAG,
};

can_frame fuzz_frame(fuzz_bytes &in)
{
    can_frame frame{};
    frame.can_id = FUZZ_FRAME_IDS[in.byte() & 0x0F];
    frame.len = in.byte();
    for (std::uint8_t &b : frame.data)
        b = in.byte();
    return frame;
}

fuzz_bus::fuzz_bus()
{
    std::tie(daemon_end_, ecu_end_) = can_socket_pair();
    for (can_cfg_entry &row : can_cfg)
        row.sock_fd = daemon_end_.get();
}

fuzz_bus::~fuzz_bus()
{
    for (can_cfg_entry &row : can_cfg)
        row.sock_fd = -1;
}

bool fuzz_bus::send(const can_frame &frame) { return send_record(&frame, sizeof frame); }

bool fuzz_bus::send_record(const void *data, std::size_t size)
{
    return ::send(ecu_end_.get(), data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

std::optional<can_frame> fuzz_bus::receive()
{
    pollfd p{ecu_end_.get(), POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) {
        std::fputs("fuzz_bus: the daemon sent nothing for 10 s\n", stderr);
        return std::nullopt;
    }
    can_frame frame{};
    if (recv(ecu_end_.get(), &frame, sizeof frame, 0) != static_cast<ssize_t>(sizeof frame))
        return std::nullopt;
    return frame;
}

std::vector<can_frame> fuzz_bus::drain()
{
    std::vector<can_frame> frames;
    can_frame frame{};
    while (recv(ecu_end_.get(), &frame, sizeof frame, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof frame))
        frames.push_back(frame);
    return frames;
}

void fuzz_bus::stop_sending() { shutdown(ecu_end_.get(), SHUT_WR); }

void fuzz_bus::close_daemon_end()
{
    shutdown(daemon_end_.get(), SHUT_RDWR);
}

fuzz_peer::fuzz_peer() : thread_([this] { serve(); }) {}

fuzz_peer::~fuzz_peer()
{
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void fuzz_peer::start(std::function<void()> task)
{
    {
        std::lock_guard lock(mutex_);
        task_ = std::move(task);
    }
    changed_.notify_all();
}

void fuzz_peer::finish()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !task_; });
}

void fuzz_peer::serve()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return quit_ || task_; });
        if (quit_)
            return;
        lock.unlock();
        task_(); // start() does not touch task_ until finish() has seen it empty
        lock.lock();
        task_ = nullptr;
        changed_.notify_all();
    }
}

bool is_obd_request(const can_frame &frame)
{
    return frame.can_id == 0x7DF || frame.can_id == (0x18DB33F1 | CAN_EFF_FLAG);
}

std::vector<can_frame> iso_tp_frames(canid_t from, const std::vector<std::uint8_t> &message,
                                     std::uint8_t fill)
{
    std::vector<can_frame> frames;
    auto next_frame = [&] {
        can_frame f{};
        f.can_id = from;
        f.len = CAN_MAX_DLEN;
        std::fill(std::begin(f.data), std::end(f.data), fill);
        return f;
    };
    const std::size_t size = std::min<std::size_t>(message.size(), 0xFFF);
    if (size <= 7) {
        can_frame f = next_frame();
        f.data[0] = static_cast<std::uint8_t>(size);
        std::copy_n(message.begin(), size, f.data + 1);
        frames.push_back(f);
        return frames;
    }
    can_frame first = next_frame();
    first.data[0] = static_cast<std::uint8_t>(0x10 | size >> 8);
    first.data[1] = static_cast<std::uint8_t>(size & 0xFF);
    std::copy_n(message.begin(), 6, first.data + 2);
    frames.push_back(first);
    std::uint8_t sequence = 1;
    for (std::size_t at = 6; at < size; at += 7, ++sequence) {
        can_frame f = next_frame();
        f.data[0] = static_cast<std::uint8_t>(0x20 | (sequence & 0x0F));
        std::copy_n(message.begin() + static_cast<std::ptrdiff_t>(at), std::min<std::size_t>(7, size - at), f.data + 1);
        frames.push_back(f);
    }
    return frames;
}

const std::string &fuzz_config_dir()
{
    static const std::string dir = [] {
        const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (std::getenv("TMPDIR") ?: "/tmp");
        std::string pattern = std::string(base) + "/diag-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        setenv("DIAG_GW_CONFIG_DIR", pattern.c_str(), 1);
        // Removed at exit; the name is kept where no destructor reaches it.
        static char removed_at_exit[4096];
        std::snprintf(removed_at_exit, sizeof removed_at_exit, "%s", pattern.c_str());
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(removed_at_exit, ec);
        });
        return pattern;
    }();
    return dir;
}

bool fuzz_json_parses(const char *text) { return json_ptr(cJSON_Parse(text)) != nullptr; }
