// Process entry: starts the MQTT link, OBD session and relay threads, then
// watches them for the service manager (supervisor.h) until a stop signal
// (SIGTERM from systemd, SIGINT from Ctrl-C) comes, and ends them in order.
// All real work happens on those threads.
#include "gpio/relay_thread.h"
#include "handover/relay_mailbox.h"
#include "handover/thread_handover.h"
#include "main/supervisor.h"
#include "mqtt/mqtt_link.h"
#include "obd2/session.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

pthread_t g_mqtt_com_thrd_id;
pthread_t g_obd2_com_thrd_id;
pthread_t g_gpio_cntrl_thrd_id;

namespace {

// pthread_create reports its error as a result, not in errno; perror needs errno.
bool start_thread(pthread_t *id, void *(*entry)(void *), const char *failure_message)
{
    int rc = pthread_create(id, nullptr, entry, nullptr);
    if (rc != 0) {
        errno = rc;
        std::perror(failure_message);
        return false;
    }
    return true;
}

// The link thread may sit in a connect to a broker that does not answer
// (up to the library's 30 s connect time-out): the process does not wait for
// that, there is no session to close then.
constexpr int LINK_CLOSE_WAIT_S = 2;

bool join_within(pthread_t thread, int seconds)
{
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    return pthread_timedjoin_np(thread, nullptr, &deadline) == 0;
}

// The signals are blocked in every thread (they inherit the mask) and taken
// by the main thread's supervision: no handler runs in the middle of a
// thread's work.
sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// The OBD thread first (nothing is published after it), then the relays
// (their lines are released), then the MQTT session is closed.
void stop_threads(int signal_number)
{
    request_shutdown();
    pthread_join(g_obd2_com_thrd_id, nullptr);
    relay_mailbox_wake();
    pthread_join(g_gpio_cntrl_thrd_id, nullptr);
    mqtt_link_wake();
    const bool link_closed = join_within(g_mqtt_com_thrd_id, LINK_CLOSE_WAIT_S);
    std::printf("MAIN_INFO : SIG%s received: OBD session stopped, relays released, MQTT session %s.\n",
                sigabbrev_np(signal_number), link_closed ? "closed" : "not closed (broker not answering)");
    std::fflush(stdout);
    if (!link_closed)
        std::_Exit(0); // the link thread still runs: no static destructors under its feet
}

} // namespace

int create_threads()
{
    // The MQTT link goes first so that it is connecting while the OBD session
    // reads its configuration; the OBD side copes with an unconnected link.
    if (!start_thread(&g_mqtt_com_thrd_id, proto_intrnl_mqtt_main,
                      "MAIN_ERROR : Failed to create mqtt communication thread"))
        return 0;
    if (!start_thread(&g_obd2_com_thrd_id, obd2_com_thrd_main,
                      "MAIN_ERROR : Failed to create obd2 communication thread"))
        return 0;
    if (!start_thread(&g_gpio_cntrl_thrd_id, gpio_state_machine,
                      "MAIN_ERROR : Failed to create gpio controlling thread"))
        return 0;
    return 1;
}

int main()
{
    // The log goes to a pipe or file on the board; keep lines in order with
    // stderr (perror) and visible as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    const sigset_t signals = stop_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (create_threads() == 0) {
        std::puts("MAIN_ERROR : Error while creating threads --> EXITING FROM MAIN.");
        std::fflush(stdout);
        // The threads already started still run: no static destructors
        // (outbox, condition variables, the payload buffer) under their feet.
        std::_Exit(1);
    }
    stop_threads(supervise_until_stop_signal(signals));
    return 0;
}
