// Unix socket backend: the host simulation's AF_UNIX SOCK_SEQPACKET socket,
// carrying one record per message (see shared/hostsim_wire.h) to and from
// every connected client.
#include "ecu_sim_internal.h"

#include "hostsim_wire.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int RECORDS_PER_CLIENT_PASS = 64;  // fairness between clients

// Records a client may have waiting before further ones are dropped:
// enough for several of the longest answers (4095 bytes, 586 frames).
constexpr std::size_t SIM_CLIENT_BACKLOG = 4096;

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

bool unix_put_frame(ecu_sim &sim, const can_frame &frame, bool bypass_filters)
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

bool unix_put_record(ecu_sim &sim, const void *data, std::size_t size)
{
    bool delivered = false;
    for (sim_client &client : sim.clients)
        if (!client.dead && send_record(client, data, size))
            delivered = true;
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

// The listening socket, then one descriptor per client, in client order.
std::optional<ecu_time> unix_watch(ecu_sim &sim, std::vector<pollfd> &fds)
{
    fds.push_back({sim.listen_fd.get(), POLLIN, 0});
    for (const sim_client &client : sim.clients) {
        short events = client.backlog.empty() ? POLLIN : POLLIN | POLLOUT;
        fds.push_back({client.fd.get(), events, 0});
    }
    return sim_next_deadline(sim);
}

void unix_serve(ecu_sim &sim, std::span<const pollfd> ready)
{
    if (ready[0].revents)
        accept_clients(sim);
    for (std::size_t i = 1; i < ready.size(); ++i) {
        if (ready[i].revents & POLLOUT)
            flush_backlog(sim.clients[i - 1]);
        if (ready[i].revents & ~POLLOUT)
            read_client(sim, i - 1);
    }
    sim_advance(sim);
    remove_dead_clients(sim);
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

void unix_close(ecu_sim &sim)
{
    if (sim.listen_fd)
        unlink(sim.socket_path.c_str());
}

constexpr sim_backend UNIX_BACKEND{unix_open, unix_watch, unix_serve, unix_put_frame, unix_put_record, unix_close};

} // namespace

ecu_sim_ptr ecu_sim_start_unix(const ecu_profile &profile, const std::string &socket_path,
                               const ecu_sim_options &options, std::string &error)
{
    auto sim = std::make_unique<ecu_sim>();
    sim->backend = &UNIX_BACKEND;
    sim->options = options;
    sim->socket_path = socket_path;
    return sim_start(std::move(sim), profile, error);
}
