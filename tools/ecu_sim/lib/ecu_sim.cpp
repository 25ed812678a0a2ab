// Server core of the running simulator: the state the backends share, frame
// handling and logging, the thread's event loop, start and stop, and the
// runtime controls. The backends (ecu_unix_socket.cpp, ecu_socketcan.cpp)
// start it with their sim_backend table.
#include "ecu_sim_internal.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

constexpr std::size_t LOG_CAPACITY = 100000;  // records kept; the oldest go first

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

void wake(ecu_sim &sim)
{
    std::uint64_t one = 1;
    if (write(sim.wake_fd.get(), &one, sizeof(one)) < 0) {
        // counter saturated: the thread is awake anyway
    }
}

void drain_wake(ecu_sim &sim)
{
    std::uint64_t count;
    if (read(sim.wake_fd.get(), &count, sizeof(count)) < 0) {
        // nothing pending
    }
}

void send_frames(ecu_sim &sim, const std::vector<can_frame> &frames)
{
    for (const can_frame &frame : frames) {
        sim_record(sim, frame, false);
        if (sim.options.log_tx)
            sim_log_line(sim, "tx " + ecu_describe_frame(frame));
        sim.backend->put_frame(sim, frame, false);
    }
}

timespec timeout_until(ecu_time deadline)
{
    auto left = deadline - ecu_clock::now();
    if (left < ecu_clock::duration::zero())
        left = ecu_clock::duration::zero();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>(nanos.count())};
}

std::vector<ecu_sim_record> tester_records(const ecu_sim &sim)
{
    std::vector<ecu_sim_record> requests;
    for (const ecu_sim_record &record : sim.log)
        if (record.from_tester)
            requests.push_back(record);
    return requests;
}

// Waits for events on `fds` until `deadline` (none: no limit). False, with a
// log line, when the wait itself failed and the thread must stop.
bool wait_events(ecu_sim &sim, std::vector<pollfd> &fds, std::optional<ecu_time> deadline)
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

// The thread: waits on the wake descriptor and the backend's descriptors
// until the backend's next deadline, then lets the backend serve what came.
void run(ecu_sim &sim)
{
    std::vector<pollfd> fds;
    while (!sim.stopping) {
        std::optional<ecu_time> deadline;
        {
            std::lock_guard<std::mutex> guard(sim.lock);
            fds.assign({{sim.wake_fd.get(), POLLIN, 0}});
            deadline = sim.backend->watch(sim, fds);
        }
        if (!wait_events(sim, fds, deadline))
            break;
        std::lock_guard<std::mutex> guard(sim.lock);
        if (fds[0].revents)
            drain_wake(sim);
        sim.backend->serve(sim, std::span<const pollfd>(fds).subspan(1));
    }
}

} // namespace

// ---- services for the backends --------------------------------------------------------

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
    send_frames(sim, out);
    sim_log_notes(sim);
}

void sim_advance(ecu_sim &sim)
{
    if (sim.connected) {
        std::vector<can_frame> out;
        ecu_engine_advance(sim.engine, ecu_clock::now(), out);
        send_frames(sim, out);
    }
    sim_log_notes(sim);
}

std::optional<ecu_time> sim_next_deadline(ecu_sim &sim) { return ecu_engine_next_deadline(sim.engine); }

ecu_sim_ptr sim_start(std::unique_ptr<ecu_sim> sim, const ecu_profile &profile, std::string &error)
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
    if (!sim->backend->open(*sim, error))
        return nullptr;
    ecu_sim *raw = sim.get();
    sim->thread = std::thread([raw] { run(*raw); });
    return ecu_sim_ptr(sim.release());
}

// ---- public API ----------------------------------------------------------------------

void ecu_sim_stop(ecu_sim *sim)
{
    if (!sim)
        return;
    sim->stopping = true;
    wake(*sim);
    if (sim->thread.joinable())
        sim->thread.join();
    if (sim->backend->close)
        sim->backend->close(*sim);
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
    wake(sim);
}

bool ecu_sim_is_connected(ecu_sim &sim) { return sim.connected; }

void ecu_sim_set_profile(ecu_sim &sim, const ecu_profile &profile)
{
    std::lock_guard<std::mutex> guard(sim.lock);
    ecu_engine_reset(sim.engine, profile);
    sim.profile_changed = true;
    sim_log_line(sim, "profile \"" + profile.name + "\" in use");
    wake(sim);
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
    return sim.backend->put_frame(sim, frame, bypass_filters);
}

bool ecu_sim_inject_record(ecu_sim &sim, const void *data, std::size_t size)
{
    std::lock_guard<std::mutex> guard(sim.lock);
    return sim.backend->put_record && sim.backend->put_record(sim, data, size);
}

std::vector<ecu_sim_record> ecu_sim_requests(ecu_sim &sim)
{
    std::lock_guard<std::mutex> guard(sim.lock);
    return tester_records(sim);
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
    return sim.changed.wait_for(guard, timeout, [&] { return done(tester_records(sim)); });
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
