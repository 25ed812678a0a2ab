// SocketCAN backends: a raw CAN socket carrying the engine's frames, or, in
// kernel ISO-TP mode, CAN_ISOTP sockets that leave segmentation and flow
// control to the kernel and exchange whole payloads with the engine.
#include "ecu_sim_internal.h"

#include <cerrno>
#include <cstring>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#if __has_include(<linux/can/isotp.h>)
#include <linux/can/isotp.h>
#define ECU_SIM_HAVE_ISOTP 1
#else
#define ECU_SIM_HAVE_ISOTP 0
#endif

namespace {

constexpr auto UNSENT_RETRY = std::chrono::milliseconds(10);
constexpr std::size_t ISOTP_BUFFER_SIZE = 4096;

std::string failure(const std::string &step)
{
    return step + ": " + std::strerror(errno);
}

canid_t wire_id(const ecu_profile &profile, canid_t id)
{
    return profile.addressing == ecu_addressing::bits29 ? (id | CAN_EFF_FLAG) : id;
}

int interface_index(int fd, const std::string &ifname, std::string &error)
{
    ifreq request{};
    if (ifname.empty() || ifname.size() >= sizeof(request.ifr_name)) {
        error = ifname + ": interface name empty or too long";
        return -1;
    }
    std::memcpy(request.ifr_name, ifname.c_str(), ifname.size() + 1);
    if (ioctl(fd, SIOCGIFINDEX, &request) < 0) {
        error = failure(ifname + ": SIOCGIFINDEX");
        return -1;
    }
    return request.ifr_ifindex;
}

// Receive exactly the functional id and every ECU's physical id, in the
// profile's identifier format (the EFF and RTR flags take part in the match).
bool set_request_filters(ecu_sim &sim, std::string &error)
{
    const ecu_profile &profile = sim.engine.profile;
    canid_t mask = (profile.addressing == ecu_addressing::bits29 ? CAN_EFF_MASK : CAN_SFF_MASK) | CAN_EFF_FLAG |
                   CAN_RTR_FLAG;
    std::vector<can_filter> filters{{wire_id(profile, profile.functional_id), mask}};
    for (const ecu_node_profile &ecu : profile.ecus)
        filters.push_back({wire_id(profile, ecu.physical_id), mask});
    if (setsockopt(sim.can_fd.get(), SOL_CAN_RAW, CAN_RAW_FILTER, filters.data(),
                   static_cast<socklen_t>(filters.size() * sizeof(can_filter))) < 0) {
        error = failure("CAN_RAW_FILTER");
        return false;
    }
    return true;
}

bool open_raw_socket(ecu_sim &sim, bool receive, std::string &error)
{
    sim.can_fd.reset(socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW));
    if (!sim.can_fd) {
        error = failure("socket(PF_CAN, SOCK_RAW)");
        return false;
    }
    sim.ifindex = interface_index(sim.can_fd.get(), sim.ifname, error);
    if (sim.ifindex < 0)
        return false;
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = sim.ifindex;
    if (bind(sim.can_fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) {
        error = failure(sim.ifname + ": bind");
        return false;
    }
    if (receive)
        return set_request_filters(sim, error);
    // Injection only: receive nothing.
    if (setsockopt(sim.can_fd.get(), SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0) < 0) {
        error = failure("CAN_RAW_FILTER");
        return false;
    }
    return true;
}

void read_raw_frames(ecu_sim &sim)
{
    for (int i = 0; i < 64; ++i) {
        can_frame frame;
        ssize_t n = recv(sim.can_fd.get(), &frame, sizeof(frame), MSG_DONTWAIT);
        if (n < 0)
            return;
        if (n == static_cast<ssize_t>(sizeof(frame)))
            sim_tester_frame(sim, frame);
    }
}

std::optional<ecu_time> raw_watch(ecu_sim &sim, std::vector<pollfd> &fds)
{
    fds.push_back({sim.can_fd.get(), POLLIN, 0});
    return sim_next_deadline(sim);
}

// Another profile brings other identifiers, which `apply` puts into effect.
// True when there was a change.
bool follow_profile_change(ecu_sim &sim, bool (*apply)(ecu_sim &sim, std::string &error))
{
    if (!sim.profile_changed)
        return false;
    std::string error;
    if (!apply(sim, error))
        sim_log_line(sim, error);
    sim.profile_changed = false;
    return true;
}

void raw_serve(ecu_sim &sim, std::span<const pollfd> ready)
{
    follow_profile_change(sim, set_request_filters);
    if (ready[0].revents)
        read_raw_frames(sim);
    sim_advance(sim);
}

bool raw_open(ecu_sim &sim, std::string &error) { return open_raw_socket(sim, true, error); }

// Every socket on the bus applies its own filter, so there is nothing to bypass.
bool write_frame(ecu_sim &sim, const can_frame &frame, bool /*bypass_filters*/)
{
    if (!sim.can_fd)
        return false;
    ssize_t n = write(sim.can_fd.get(), &frame, sizeof(frame));
    if (n == static_cast<ssize_t>(sizeof(frame)))
        return true;
    sim_log_line(sim, n < 0 ? failure("CAN write, frame dropped") : "CAN write: short write, frame dropped");
    return false;
}

constexpr sim_backend RAW_BACKEND{raw_open, raw_watch, raw_serve, write_frame, nullptr, nullptr};

// ---- kernel ISO-TP mode ------------------------------------------------------------------

#if ECU_SIM_HAVE_ISOTP

unique_fd open_isotp_socket(ecu_sim &sim, canid_t rx_id, canid_t tx_id, std::string &error)
{
    const ecu_profile &profile = sim.engine.profile;
    unique_fd fd(socket(PF_CAN, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_ISOTP));
    if (!fd) {
        error = failure("socket(PF_CAN, SOCK_DGRAM, CAN_ISOTP)");
        return fd;
    }
    can_isotp_options options{};
    options.flags = profile.padding ? CAN_ISOTP_TX_PADDING : 0;
    options.txpad_content = profile.fill_byte;
    if (setsockopt(fd.get(), SOL_CAN_ISOTP, CAN_ISOTP_OPTS, &options, sizeof(options)) < 0) {
        error = failure("CAN_ISOTP_OPTS");
        return unique_fd();
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = sim.ifindex;
    addr.can_addr.tp.rx_id = wire_id(profile, rx_id);
    addr.can_addr.tp.tx_id = wire_id(profile, tx_id);
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) {
        error = failure(sim.ifname + ": bind CAN_ISOTP");
        return unique_fd();
    }
    return fd;
}

// Two sockets per ECU: the kernel binds one receive id per socket, and the
// tester's flow control comes to the physical id, so answers go out through
// the physical socket.
bool open_isotp_sockets(ecu_sim &sim, std::string &error)
{
    sim.isotp.clear();
    for (const ecu_node_profile &ecu : sim.engine.profile.ecus) {
        isotp_node_sockets node;
        node.functional = open_isotp_socket(sim, sim.engine.profile.functional_id, ecu.response_id, error);
        if (!node.functional)
            return false;
        node.physical = open_isotp_socket(sim, ecu.physical_id, ecu.response_id, error);
        if (!node.physical)
            return false;
        sim.isotp.push_back(std::move(node));
    }
    return true;
}

// The request as the single frame that carried it, for the request log.
can_frame request_frame(const ecu_sim &sim, canid_t id, const std::uint8_t *payload, std::size_t size)
{
    can_frame frame{};
    frame.can_id = wire_id(sim.engine.profile, id);
    std::size_t shown = std::min<std::size_t>(size, 7);
    frame.data[0] = static_cast<std::uint8_t>(size > 7 ? 0x10 : size);
    std::memcpy(frame.data + 1, payload, shown);
    frame.len = static_cast<std::uint8_t>(shown + 1);
    return frame;
}

void read_isotp(ecu_sim &sim, std::size_t node, int fd, canid_t id)
{
    std::uint8_t buffer[ISOTP_BUFFER_SIZE];
    ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n <= 0)
        return;
    can_frame frame = request_frame(sim, id, buffer, static_cast<std::size_t>(n));
    // Every ECU's functional socket sees a functional request: log it once.
    if (node == 0 || id != sim.engine.profile.functional_id) {
        sim_record(sim, frame, true);
        byte_vector shown(buffer, buffer + n);
        sim_log_line(sim, "rx " + ecu_describe_frame(frame) + " -> " + ecu_describe_request(shown) +
                              (sim.connected ? "" : " (unplugged)"));
    }
    if (sim.connected)
        ecu_engine_receive_payload(sim.engine, node, byte_vector(buffer, buffer + n), ecu_clock::now());
}

void flush_isotp_answers(ecu_sim &sim)
{
    std::vector<ecu_payload_out> due;
    if (sim.connected)
        ecu_engine_take_payloads(sim.engine, ecu_clock::now(), due);
    for (ecu_payload_out &answer : due)
        if (answer.node < sim.isotp.size())
            sim.isotp[answer.node].unsent.push_back(std::move(answer.payload));
    for (isotp_node_sockets &node : sim.isotp) {
        while (!node.unsent.empty()) {
            const byte_vector &payload = node.unsent.front();
            ssize_t n = write(node.physical.get(), payload.data(), payload.size());
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EBUSY))
                break; // a transfer is still running: retry shortly
            if (n < 0)
                sim_log_line(sim, failure("CAN_ISOTP write"));
            else if (sim.options.log_tx)
                sim_log_line(sim, "tx " + std::to_string(payload.size()) + " bytes through kernel ISO-TP");
            node.unsent.pop_front();
        }
    }
}

std::optional<ecu_time> isotp_deadline(ecu_sim &sim)
{
    std::optional<ecu_time> deadline = sim_next_deadline(sim);
    for (const isotp_node_sockets &node : sim.isotp) {
        if (node.unsent.empty())
            continue;
        ecu_time retry = ecu_clock::now() + UNSENT_RETRY;
        if (!deadline || retry < *deadline)
            deadline = retry;
    }
    return deadline;
}

// Behind the wake descriptor: each ECU's functional socket, then its physical one.
std::optional<ecu_time> isotp_watch(ecu_sim &sim, std::vector<pollfd> &fds)
{
    for (const isotp_node_sockets &node : sim.isotp) {
        fds.push_back({node.functional.get(), POLLIN, 0});
        fds.push_back({node.physical.get(), POLLIN, 0});
    }
    return isotp_deadline(sim);
}

void isotp_serve(ecu_sim &sim, std::span<const pollfd> ready)
{
    if (follow_profile_change(sim, open_isotp_sockets))
        return; // the descriptors polled are gone
    for (std::size_t i = 0; i < ready.size(); ++i) {
        std::size_t node = i / 2;
        if (ready[i].revents && node < sim.isotp.size()) {
            const ecu_profile &profile = sim.engine.profile;
            bool functional = i % 2 == 0;
            read_isotp(sim, node, ready[i].fd, functional ? profile.functional_id : profile.ecus[node].physical_id);
        }
    }
    if (!sim.connected)
        for (isotp_node_sockets &node : sim.isotp)
            node.unsent.clear();
    flush_isotp_answers(sim);
    sim_log_notes(sim);
}

// Frames are injected through a raw socket that receives nothing.
bool isotp_open(ecu_sim &sim, std::string &error)
{
    return open_raw_socket(sim, false, error) && open_isotp_sockets(sim, error);
}

constexpr sim_backend ISOTP_BACKEND{isotp_open, isotp_watch, isotp_serve, write_frame, nullptr, nullptr};

#else

bool isotp_unavailable(ecu_sim &, std::string &error)
{
    error = "kernel ISO-TP mode: built without <linux/can/isotp.h>";
    return false;
}

constexpr sim_backend ISOTP_BACKEND{isotp_unavailable, nullptr, nullptr, write_frame, nullptr, nullptr};

#endif // ECU_SIM_HAVE_ISOTP

} // namespace

ecu_sim_ptr ecu_sim_start_socketcan(const ecu_profile &profile, const std::string &ifname,
                                    const ecu_sim_options &options, std::string &error)
{
    auto sim = std::make_unique<ecu_sim>();
    sim->backend = options.kernel_isotp ? &ISOTP_BACKEND : &RAW_BACKEND;
    sim->options = options;
    sim->ifname = ifname;
    return sim_start(std::move(sim), profile, error);
}
