#include "main/supervisor.h"

#include "handover/supervision_cells.h"
#include "handover/thread_handover.h"
#include "mqtt/mqtt_link.h"
#include "obd2/obd2_types.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <linux/can.h>
#include <string>
#include <systemd/sd-daemon.h>

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// How often the threads are looked at and the status line refreshed.
constexpr steady::duration LOOK_INTERVAL = 1s;
// Until the three threads run their loops, which takes milliseconds.
constexpr steady::duration START_LOOK_INTERVAL = 20ms;

struct supervision {
    bool ready_sent = false;
    std::array<bool, WORKER_COUNT> stalled{};
    std::string status_sent;
    steady::duration ping_interval{0}; // half of WatchdogSec=; 0: no watchdog asked for
    steady::duration look_interval = LOOK_INTERVAL;
    steady::time_point last_ping{};
};

std::string ecu_text(const session_summary &s)
{
    if (s.ecu_id == 0)
        return "no ECU";
    char text[48];
    if (s.ecu_mode == ADDR_MODE_11BIT)
        std::snprintf(text, sizeof text, "ECU %03X 11-bit", static_cast<unsigned>(s.ecu_id & CAN_SFF_MASK));
    else
        std::snprintf(text, sizeof text, "ECU %08X 29-bit", static_cast<unsigned>(s.ecu_id & CAN_EFF_MASK));
    std::string result = text;
    if (s.ecu_count > 1)
        result += " (+" + std::to_string(s.ecu_count - 1) + ")";
    return result;
}

std::string activity_text(const session_summary &s)
{
    switch (s.state) {
    case LOAD_CONFIG: return "loading config";
    case CAN_INIT: return "opening CAN";
    case DETECT_ECU: return "detecting ECU";
    case IDENTIFY_VEHICLE: return "identifying vehicle";
    case PARSE_COMMAND: return "command received";
    case EXECUTE_COMMAND: return "CMD " + std::to_string(s.command) + " under way";
    case IDLE: return "idle";
    default: return "waiting for a command";
    }
}

// "CAN link down: <reason>, next try in N s"
std::string can_link_text(const session_summary &s)
{
    const auto left = std::chrono::ceil<std::chrono::seconds>(s.next_can_link_try - steady::now());
    return "CAN link down: " + s.can_link_reason + ", next try in " +
           std::to_string(std::max<long long>(left.count(), 0)) + " s";
}

// One short line, e.g. "broker connected, ECU 7E8 11-bit, idle, relays ready".
std::string status_line(const supervision &sv)
{
    const session_summary session = shown_session();
    std::string line = mqtt_get_state() == MQTT_CONNECTED ? "broker connected" : "broker not connected";
    line += ", ";
    if (session.can_link_down)
        line += can_link_text(session) + ", ";
    line += ecu_text(session) + ", " + activity_text(session) + ", ";
    line += relays_shown_ready() ? "relays ready" : "relays not ready";
    for (int i = 0; i < WORKER_COUNT; ++i) {
        if (sv.stalled[i])
            line += std::string("; ") + worker_name(static_cast<worker>(i)) + " stalled";
    }
    return line;
}

long long whole_seconds(steady::duration d) { return std::chrono::duration_cast<std::chrono::seconds>(d).count(); }

// Logs a thread that stops making progress once, and its return. True while
// every thread runs its loop; `all_fresh` tells whether all are within their bounds.
bool judge_threads(supervision &sv, steady::time_point now, bool &all_fresh)
{
    bool all_running = true;
    all_fresh = true;
    for (int i = 0; i < WORKER_COUNT; ++i) {
        const worker w = static_cast<worker>(i);
        const worker_progress p = progress_of(w, now);
        if (!p.running) {
            all_running = false;
            continue;
        }
        const bool stalled = p.since_mark > p.bound;
        if (stalled && !sv.stalled[i])
            std::printf("MAIN_ERROR : %s thread stalled: no progress for %lld s (bound %lld s), "
                        "watchdog no longer confirmed\n",
                        worker_name(w), whole_seconds(p.since_mark), static_cast<long long>(p.bound.count()));
        else if (!stalled && sv.stalled[i])
            std::printf("MAIN_INFO : %s thread makes progress again\n", worker_name(w));
        sv.stalled[i] = stalled;
        all_fresh = all_fresh && !stalled;
    }
    return all_running;
}

// About every half of WatchdogSec=: the look nearest to it.
bool ping_due(const supervision &sv, steady::time_point now)
{
    return sv.ping_interval > steady::duration::zero() &&
           now - sv.last_ping >= sv.ping_interval - sv.look_interval / 2;
}

void look(supervision &sv)
{
    const steady::time_point now = steady::now();
    bool all_fresh = false;
    const bool all_running = judge_threads(sv, now, all_fresh);
    std::string message;
    if (all_running && !sv.ready_sent) {
        message += "READY=1\n";
        sv.ready_sent = true;
    }
    if (!sv.ready_sent)
        return;
    const std::string line = status_line(sv);
    if (line != sv.status_sent) {
        message += "STATUS=" + line + "\n";
        sv.status_sent = line;
    }
    if (all_fresh && ping_due(sv, now)) {
        message += "WATCHDOG=1\n";
        sv.last_ping = now;
    }
    if (!message.empty())
        sd_notify(0, message.c_str());
}

void configure_watchdog(supervision &sv)
{
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return;
    const std::chrono::microseconds limit(usec);
    sv.ping_interval = limit / 2;
    sv.look_interval = std::min<steady::duration>(LOOK_INTERVAL, limit / 4);
}

timespec as_timespec(steady::duration d)
{
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
    return {static_cast<std::time_t>(s.count()),
            static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(d - s).count())};
}

} // namespace

int supervise_until_stop_signal(const sigset_t &stop_signals)
{
    supervision sv;
    configure_watchdog(sv);
    for (;;) {
        const timespec wait = as_timespec(sv.ready_sent ? sv.look_interval : START_LOOK_INTERVAL);
        const int signal_number = sigtimedwait(&stop_signals, nullptr, &wait);
        if (signal_number > 0) {
            sd_notify(0, "STOPPING=1\nSTATUS=stopping");
            return signal_number;
        }
        look(sv); // time-out, or interrupted
    }
}
