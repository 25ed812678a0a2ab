#include "handover/supervision_cells.h"

#include <atomic>
#include <mutex>

namespace {

using steady = std::chrono::steady_clock;

struct progress_cell {
    std::atomic<steady::rep> last_mark{0};
    std::atomic<std::chrono::seconds::rep> bound{0}; // 0 until the thread's loop marked
};
progress_cell cells[WORKER_COUNT];

progress_cell &cell(worker w) { return cells[static_cast<int>(w)]; }

// Held only to copy the summary in or out.
std::mutex summary_mutex;
session_summary summary; // guarded by summary_mutex
std::atomic<bool> relays_ready{false};

} // namespace

const char *worker_name(worker w)
{
    switch (w) {
    case worker::mqtt_link: return "MQTT link";
    case worker::obd_session: return "OBD session";
    case worker::relay_outputs: return "relay outputs";
    }
    return "?";
}

void mark_progress(worker w, std::chrono::seconds bound)
{
    mark_progress(w); // first: a thread seen running has a mark
    cell(w).bound.store(bound.count());
}

void mark_progress(worker w) { cell(w).last_mark.store(steady::now().time_since_epoch().count()); }

worker_progress progress_of(worker w, steady::time_point now)
{
    const progress_cell &c = cell(w);
    const std::chrono::seconds bound(c.bound.load());
    const steady::time_point last{steady::duration(c.last_mark.load())};
    return {bound.count() > 0, now - last, bound};
}

void show_session(const session_summary &s)
{
    std::lock_guard lock(summary_mutex);
    summary = s;
}

session_summary shown_session()
{
    std::lock_guard lock(summary_mutex);
    return summary;
}

void show_relays_ready(bool ready) { relays_ready.store(ready); }

bool relays_shown_ready() { return relays_ready.load(); }
