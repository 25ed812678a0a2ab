#include "handover/ui_state_cells.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace {

// Held only to copy the state in or out.
std::mutex state_mutex;
ui_state state;                 // guarded by state_mutex
std::atomic<void (*)()> listener{nullptr};

// Applies `change` to the state; the listener hears of it only when the
// state really changed.
template <typename Change> void update(Change change)
{
    bool changed;
    {
        std::lock_guard lock(state_mutex);
        changed = change(state);
        if (changed)
            ++state.version;
    }
    if (auto wake = listener.load(); changed && wake)
        wake();
}

bool same_vehicle(const known_vehicle &a, const known_vehicle &b)
{
    return a.addr == b.addr && a.proto == b.proto && a.vin == b.vin;
}

} // namespace

void set_ui_link_up(bool up)
{
    update([up](ui_state &s) { return std::exchange(s.link_up, up) != up; });
}

void set_ui_vehicle(const known_vehicle &vehicle)
{
    update([&vehicle](ui_state &s) {
        if (s.vehicle_known && same_vehicle(s.vehicle, vehicle))
            return false;
        s.vehicle_known = true;
        s.vehicle = vehicle;
        return true;
    });
}

void forget_ui_vehicle()
{
    update([](ui_state &s) {
        s.vehicle = {};
        return std::exchange(s.vehicle_known, false);
    });
}

void set_ui_config(config_state config)
{
    update([config](ui_state &s) { return std::exchange(s.config, config) != config; });
}

config_state ui_config()
{
    std::lock_guard lock(state_mutex);
    return state.config;
}

void set_ui_busy(int cmd)
{
    update([cmd](ui_state &s) { return std::exchange(s.busy, cmd) != cmd; });
}

void set_ui_relays(std::uint32_t lines)
{
    update([lines](ui_state &s) { return std::exchange(s.relays, lines) != lines; });
}

std::uint64_t ui_state_version()
{
    std::lock_guard lock(state_mutex);
    return state.version;
}

ui_state ui_state_snapshot()
{
    std::lock_guard lock(state_mutex);
    return state;
}

void set_ui_state_listener(void (*wake)()) { listener.store(wake); }
