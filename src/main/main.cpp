// Process entry: starts the MQTT link, OBD session and relay threads, then
// waits for them. All real work happens on those threads.
#include "gpio/relay_thread.h"
#include "mqtt/mqtt_link.h"
#include "obd2/session.h"

#include <cerrno>
#include <cstdio>
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

    if (create_threads() == 0) {
        std::puts("MAIN_ERROR : Error while creating threads --> EXITING FROM MAIN.");
        return 1;
    }
    pthread_join(g_obd2_com_thrd_id, nullptr);
    pthread_join(g_mqtt_com_thrd_id, nullptr);
    pthread_join(g_gpio_cntrl_thrd_id, nullptr);
    return 0;
}
