// The running simulator: a background thread serving the engine, the host
// simulation's Unix socket backend, and the runtime controls.
#include "ecu_sim_internal.h"

#include "hostsim_wire.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr std::size_t LOG_CAPACITY = 100000;  // records kept; the oldest go first
constexpr int RECORDS_PER_CLIENT_PASS = 64;   // fairness between clients

// ---- log lines -----------------------------------------------------------------------

std::string describe_tester_frame(const ecu_sim &sim, const can_frame &frame)
{
    std::string line = "rx " + ecu_describe_frame(frame);
    byte_vector payload;
    if (frame.len <= CAN_MAX_DLEN && frame.len > 0 && (frame.data[0] & 0xF0) == 0x30)
        line += " (flow control)";
    else if (ecu_single_frame_payload(frame, payload))
        line += " -> " + ecu_describe_request(payload);
    if (!sim.connected)
        line += " (unplugged)";
    return line;
}

// ---- unix backend ------------------------------------------------------------------------

bool client_wants(const sim_client &client, const can_frame &frame)
{
    if (frame.can_id & CAN_ERR_FLAG)
        return (frame.can_id & CAN_ERR_MASK & client.err_mask) != 0;
    return hostsim_filter_passes(client.filter, frame.can_id);
}

// 1 sent, 0 the socket is full, -1 the client is gone.
int try_send(sim_client &client, const void *data, std::size_t size)
{
    ssize_t n = send(client.fd.get(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(size))
        return 1;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS))
        return 0;
    client.dead = true;
    return -1;
}

// Sends what waits in the client's backlog, oldest first, until the socket is full.
void flush_backlog(sim_client &client)
{
    while (!client.backlog.empty() && !client.dead) {
        const byte_vector &record = client.backlog.front();
        if (try_send(client, record.data(), record.size()) != 1)
            return;
        client.backlog.pop_front();
    }
}

// Never blocks: what the socket cannot take now waits in the backlog, and
// only a client that stops reading altogether loses records, as a slow
// reader of a real bus would.
bool send_record(sim_client &client, const void *data, std::size_t size)
{
    flush_backlog(client);
    if (client.backlog.empty()) {
        int sent = try_send(client, data, size);
        if (sent != 0)
            return sent == 1;
    }
    if (client.dead || client.backlog.size() >= SIM_CLIENT_BACKLOG)
        return false;
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    client.backlog.emplace_back(bytes, bytes + size);
    return true;
}

bool unix_deliver(ecu_sim &sim, const can_frame &frame, bool bypass_filters)
{
    bool delivered = false;
    for (sim_client &client : sim.clients) {
        if (client.dead || (!bypass_filters && !client_wants(client, frame)))
            continue;
        if (send_record(client, &frame, sizeof(frame))) {
            delivered = true;
            client.dropping = false;
        } else if (!client.dead && !client.dropping) {
            client.dropping = true;
            sim_log_line(sim, "client too slow, frames dropped");
        }
    }
    return delivered;
}

void handle_client_record(ecu_sim &sim, sim_client &client, const std::uint8_t *data, std::size_t size)
{
    if (size == sizeof(can_frame)) {
        can_frame frame;
        std::memcpy(&frame, data, sizeof(frame));
        sim_tester_frame(sim, frame);
    } else if (size == sizeof(can_filter)) {
        std::memcpy(&client.filter, data, sizeof(can_filter));
    } else if (size == sizeof(can_err_mask_t)) {
        std::memcpy(&client.err_mask, data, sizeof(can_err_mask_t));
    } else {
        sim_log_line(sim, "client sent a record of " + std::to_string(size) + " bytes, ignored");
    }
}

void read_client(ecu_sim &sim, std::size_t index)
{
    for (int i = 0; i < RECORDS_PER_CLIENT_PASS; ++i) {
        std::uint8_t data[64];
        // MSG_TRUNC: the true record size, so an oversized record is not
        // mistaken for a frame.
        ssize_t n = recv(sim.clients[index].fd.get(), data, sizeof(data), MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n <= 0) {
            sim.clients[index].dead = true;
            return;
        }
        handle_client_record(sim, sim.clients[index], data, static_cast<std::size_t>(n));
    }
}

void accept_clients(ecu_sim &sim)
{
    for (;;) {
        int fd = accept4(sim.listen_fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        sim.clients.emplace_back().fd = unique_fd(fd);
        sim_log_line(sim, "client connected (" + std::to_string(sim.clients.size()) + ")");
        sim.changed.notify_all();
    }
}

void remove_dead_clients(ecu_sim &sim)
{
    std::size_t before = sim.clients.size();
    std::erase_if(sim.clients, [](const sim_client &c) { return c.dead; });
    if (sim.clients.size() != before) {
        sim_log_line(sim, "client left (" + std::to_string(sim.clients.size()) + ")");
        sim.changed.notify_all();
    }
}

void unix_run(ecu_sim &sim)
{
    std::vector<pollfd> fds;
    while (!sim.stopping) {
        std::optional<ecu_time> deadline;
        {
            std::lock_guard<std::mutex> guard(sim.lock);
            fds.assign({{sim.wake_fd.get(), POLLIN, 0}, {sim.listen_fd.get(), POLLIN, 0}});
            for (const sim_client &client : sim.clients) {
                short events = client.backlog.empty() ? POLLIN : POLLIN | POLLOUT;
                fds.push_back({client.fd.get(), events, 0});
            }
            deadline = sim_next_deadline(sim);
        }
        if (!sim_wait_events(sim, fds, deadline))
            break;
        std::lock_guard<std::mutex> guard(sim.lock);
        if (fds[0].revents)
            sim_drain_wake(sim);
        if (fds[1].revents)
            accept_clients(sim);
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents & POLLOUT)
                flush_backlog(sim.clients[i - 2]);
            if (fds[i].revents & ~POLLOUT)
                read_client(sim, i - 2);
        }
        sim_advance(sim);
        remove_dead_clients(sim);
    }
}

// A socket file left by an earlier run is removed; a live simulator there,
// or a file of another kind, is an error.
bool prepare_socket_path(const std::string &path, sockaddr_un &addr, std::string &error)
{
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
        error = path + ": socket path empty or too long";
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return true;
    if (!S_ISSOCK(info.st_mode)) {
        error = path + ": exists and is not a socket";
        return false;
    }
    unique_fd probe(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (probe && connect(probe.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0) {
        error = path + ": another simulator is listening there";
        return false;
    }
    unlink(path.c_str());
    return true;
}

bool unix_open(ecu_sim &sim, std::string &error)
{
    sockaddr_un addr;
    if (!prepare_socket_path(sim.socket_path, addr, error))
        return false;
    sim.listen_fd.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!sim.listen_fd) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    if (bind(sim.listen_fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        error = sim.socket_path + ": bind: " + std::strerror(errno);
        return false;
    }
    if (listen(sim.listen_fd.get(), 16) != 0) {
        error = sim.socket_path + ": listen: " + std::strerror(errno);
        unlink(sim.socket_path.c_str());
        return false;
    }
    return true;
}

void run(ecu_sim &sim)
{
    if (sim.backend == sim_backend::unix_socket)
        unix_run(sim);
    else
        socketcan_run(sim);
}

ecu_sim_ptr start(std::unique_ptr<ecu_sim> sim, const ecu_profile &profile, std::string &error)
{
    if (profile.ecus.empty()) {
        error = "profile has no ECU";
        return nullptr;
    }
    sim->wake_fd.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!sim->wake_fd) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return nullptr;
    }
    ecu_engine_reset(sim->engine, profile);
    bool opened = sim->backend == sim_backend::unix_socket ? unix_open(*sim, error) : socketcan_open(*sim, error);
    if (!opened)
        return nullptr;
    ecu_sim *raw = sim.get();
    sim->thread = std::thread([raw] { run(*raw); });
    return ecu_sim_ptr(sim.release());
}

} // namespace

// ---- server core ---------------------------------------------------------------------

void sim_wake(ecu_sim &sim)
{
    std::uint64_t one = 1;
    if (write(sim.wake_fd.get(), &one, sizeof(one)) < 0) {
        // counter saturated: the thread is awake anyway
    }
}

void sim_drain_wake(ecu_sim &sim)
{
    std::uint64_t count;
    if (read(sim.wake_fd.get(), &count, sizeof(count)) < 0) {
        // nothing pending
    }
}

void sim_log_line(ecu_sim &sim, const std::string &line)
{
    if (sim.options.log)
        sim.options.log(line);
}

void sim_record(ecu_sim &sim, const can_frame &frame, bool from_tester)
{
    if (sim.log.size() >= LOG_CAPACITY)
        sim.log.pop_front();
    sim.log.push_back(ecu_sim_record{ecu_clock::now(), from_tester, frame});
    if (from_tester) {
        ++sim.requests_seen;
        sim.changed.notify_all();
    }
}

void sim_log_notes(ecu_sim &sim)
{
    for (const std::string &note : sim.engine.notes)
        sim_log_line(sim, note);
    sim.engine.notes.clear();
}

void sim_tester_frame(ecu_sim &sim, const can_frame &frame)
{
    sim_record(sim, frame, true);
    sim_log_line(sim, describe_tester_frame(sim, frame));
    if (!sim.connected)
        return;
    std::vector<can_frame> out;
    ecu_engine_receive_frame(sim.engine, frame, ecu_clock::now(), out);
    sim_send_frames(sim, out);
    sim_log_notes(sim);
}

void sim_send_frames(ecu_sim &sim, const std::vector<can_frame> &frames)
{
    for (const can_frame &frame : frames) {
        sim_record(sim, frame, false);
        if (sim.options.log_tx)
            sim_log_line(sim, "tx " + ecu_describe_frame(frame));
        if (sim.backend == sim_backend::unix_socket)
            unix_deliver(sim, frame, false);
        else
            socketcan_write(sim, frame);
    }
}

void sim_advance(ecu_sim &sim)
{
    if (sim.connected && sim.backend != sim_backend::can_isotp) {
        std::vector<can_frame> out;
        ecu_engine_advance(sim.engine, ecu_clock::now(), out);
        sim_send_frames(sim, out);
    }
    sim_log_notes(sim);
}

std::optional<ecu_time> sim_next_deadline(ecu_sim &sim) { return ecu_engine_next_deadline(sim.engine); }

// ---- public API ----------------------------------------------------------------------

ecu_sim_ptr ecu_sim_start_unix(const ecu_profile &profile, const std::string &socket_path,
                               const ecu_sim_options &options, std::string &error)
{
    auto sim = std::make_unique<ecu_sim>();
    sim->backend = sim_backend::unix_socket;
    sim->options = options;
    sim->socket_path = socket_path;
    return start(std::move(sim), profile, error);
}

ecu_sim_ptr ecu_sim_start_socketcan(const ecu_profile &profile, const std::string &ifname,
                                    const ecu_sim_options &options, std::string &error)
{
    auto sim = std::make_unique<ecu_sim>();
    sim->backend = options.kernel_isotp ? sim_backend::can_isotp : sim_backend::can_raw;
    sim->options = options;
    sim->ifname = ifname;
    return start(std::move(sim), profile, error);
}

void ecu_sim_stop(ecu_sim *sim)
{
    if (!sim)
        return;
    sim->stopping = true;
    sim_wake(*sim);
    if (sim->thread.joinable())
        sim->thread.join();
    if (sim->backend == sim_backend::unix_socket && sim->listen_fd)
        unlink(sim->socket_path.c_str());
    delete sim;
}

void ecu_sim_set_connected(ecu_sim &sim, bool connected)
{
    std::lock_guard<std::mutex> guard(sim.lock);
    if (sim.connected == connected)
        return;
    sim.connected = connected;
    if (!connected)
        ecu_engine_abort_transfers(sim.engine);
    sim_log_line(sim, connected ? "plugged in" : "unplugged");
    sim_wake(sim);
}

bool ecu_sim_is_connected(ecu_sim &sim) { return sim.connected; }

void ecu_sim_set_profile(ecu_sim &sim, const ecu_profile &profile)
{
    std::lock_guard<std::mutex> guard(sim.lock);
    ecu_engine_reset(sim.engine, profile);
    sim.profile_changed = true;
    sim_log_line(sim, "profile \"" + profile.name + "\" in use");
    sim_wake(sim);
}

ecu_profile ecu_sim_profile(ecu_sim &sim)
{
    std::lock_guard<std::mutex> guard(sim.lock);
    return sim.engine.profile;
}

bool ecu_sim_inject_frame(ecu_sim &sim, const can_frame &frame, bool bypass_filters)
{
    std::lock_guard<std::mutex> guard(sim.lock);
    sim_record(sim, frame, false);
    if (sim.backend == sim_backend::unix_socket)
        return unix_deliver(sim, frame, bypass_filters);
    return socketcan_write(sim, frame);
}

bool ecu_sim_inject_record(ecu_sim &sim, const void *data, std::size_t size)
{
    std::lock_guard<std::mutex> guard(sim.lock);
    bool delivered = false;
    if (sim.backend != sim_backend::unix_socket)
        return false;
    for (sim_client &client : sim.clients)
        if (!client.dead && send_record(client, data, size))
            delivered = true;
    return delivered;
}

std::vector<ecu_sim_record> ecu_sim_requests(ecu_sim &sim)
{
    std::lock_guard<std::mutex> guard(sim.lock);
    std::vector<ecu_sim_record> requests;
    for (const ecu_sim_record &record : sim.log)
        if (record.from_tester)
            requests.push_back(record);
    return requests;
}

std::vector<ecu_sim_record> ecu_sim_bus_log(ecu_sim &sim)
{
    std::lock_guard<std::mutex> guard(sim.lock);
    return {sim.log.begin(), sim.log.end()};
}

void ecu_sim_clear_log(ecu_sim &sim)
{
    std::lock_guard<std::mutex> guard(sim.lock);
    sim.log.clear();
    sim.requests_seen = 0;
}

bool ecu_sim_wait_for_requests(ecu_sim &sim, std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(sim.lock);
    return sim.changed.wait_for(guard, timeout, [&] { return sim.requests_seen >= count; });
}

bool ecu_sim_wait_for(ecu_sim &sim, const std::function<bool(const std::vector<ecu_sim_record> &)> &done,
                      std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(sim.lock);
    return sim.changed.wait_for(guard, timeout, [&] {
        std::vector<ecu_sim_record> requests;
        for (const ecu_sim_record &record : sim.log)
            if (record.from_tester)
                requests.push_back(record);
        return done(requests);
    });
}

std::size_t ecu_sim_client_count(ecu_sim &sim)
{
    std::lock_guard<std::mutex> guard(sim.lock);
    return sim.clients.size();
}

bool ecu_sim_wait_for_clients(ecu_sim &sim, std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(sim.lock);
    return sim.changed.wait_for(guard, timeout, [&] { return sim.clients.size() >= count; });
}

namespace {

timespec timeout_until(ecu_time deadline)
{
    auto left = deadline - ecu_clock::now();
    if (left < ecu_clock::duration::zero())
        left = ecu_clock::duration::zero();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>(nanos.count())};
}

} // namespace

bool sim_wait_events(ecu_sim &sim, std::vector<pollfd> &fds, std::optional<ecu_time> deadline)
{
    timespec timeout{};
    if (deadline)
        timeout = timeout_until(*deadline);
    if (ppoll(fds.data(), fds.size(), deadline ? &timeout : nullptr, nullptr) >= 0 || errno == EINTR)
        return true;
    std::string text = std::string("ppoll: ") + std::strerror(errno) + ", simulator stopped";
    std::lock_guard<std::mutex> guard(sim.lock);
    sim_log_line(sim, text);
    return false;
}
