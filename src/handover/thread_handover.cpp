#include "handover/thread_handover.h"

#include "handover/supervision_cells.h"

#include <condition_variable>
#include <sys/eventfd.h>
#include <unistd.h>

std::atomic<int> g_obd2_com_thrd_state{0};
std::atomic<int> g_gpio_state{0};
std::mutex obd_state_mutex;

namespace {
// Taken inside obd_state_mutex by the hand-over (never the other way round);
// held only to read or bump the generation, or by a waiting pause.
std::mutex arrival_mutex;
std::condition_variable arrival_cv;
std::uint64_t arrival_generation = 0; // guarded by arrival_mutex
std::atomic<bool> stopping{false};

// Generation at which the command being executed was parsed; OBD thread only.
std::uint64_t current_generation = 0;

// A wait for a command may last for ever; the OBD thread shows progress this
// often meanwhile (OBD_PROGRESS_BOUND, session.cpp).
constexpr auto COMMAND_WAIT_MARK_INTERVAL = std::chrono::seconds(1);
} // namespace

void change_obd2_thrd_state(int state) { g_obd2_com_thrd_state.store(state); }

bool store_state_if_no_newer_command(int state, std::uint64_t generation)
{
    // The hand-over stores PARSE_COMMAND and bumps the generation under this
    // mutex, so under it the generation tells whether a command came in.
    std::lock_guard lock(obd_state_mutex);
    if (obd_command_generation() != generation)
        return false;
    change_obd2_thrd_state(state);
    return true;
}

void change_gpio_state(int state) { g_gpio_state.store(state); }

// The router stores DO_PARSE from the MQTT thread at any moment; the
// compare-exchange lets that store win over the relay thread's own move.
bool move_gpio_state(int from, int to) { return g_gpio_state.compare_exchange_strong(from, to); }

void obd_command_arrived()
{
    change_obd2_thrd_state(PARSE_COMMAND);
    {
        std::lock_guard lock(arrival_mutex);
        ++arrival_generation;
    }
    arrival_cv.notify_all();
}

std::uint64_t obd_command_generation()
{
    std::lock_guard lock(arrival_mutex);
    return arrival_generation;
}

void set_current_command_generation(std::uint64_t generation) { current_generation = generation; }

std::uint64_t current_command_generation() { return current_generation; }

bool finish_current_command(int state) { return store_state_if_no_newer_command(state, current_generation); }

bool obd_pause(std::chrono::milliseconds pause, std::uint64_t seen_generation)
{
    mark_progress(worker::obd_session);
    std::unique_lock lock(arrival_mutex);
    return arrival_cv.wait_for(lock, pause,
                               [&] { return arrival_generation != seen_generation || stopping.load(); });
}

bool obd_pause(std::chrono::milliseconds pause)
{
    return obd_pause(pause, obd_command_generation());
}

void obd_wait_for_command(std::uint64_t seen_generation)
{
    std::unique_lock lock(arrival_mutex);
    do
        mark_progress(worker::obd_session);
    while (!arrival_cv.wait_for(lock, COMMAND_WAIT_MARK_INTERVAL,
                                [&] { return arrival_generation != seen_generation || stopping.load(); }));
}

void obd_sleep(std::chrono::milliseconds pause)
{
    mark_progress(worker::obd_session);
    std::unique_lock lock(arrival_mutex);
    arrival_cv.wait_for(lock, pause, [] { return stopping.load(); });
}

int shutdown_fd()
{
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

void request_shutdown()
{
    {
        std::lock_guard lock(arrival_mutex);
        stopping = true;
    }
    arrival_cv.notify_all();
    const std::uint64_t one = 1;
    if (write(shutdown_fd(), &one, sizeof one) < 0) {
        // The flag alone still ends every wait within its own bound.
    }
}

bool shutdown_requested() { return stopping.load(); }
