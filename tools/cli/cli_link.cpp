#include "cli_link.h"

#include <MQTTClient.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <random>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr unsigned long PUBLISH_COMPLETION_MS = 10000;
constexpr int DISCONNECT_MS = 500;
// How often a wait looks at the signal flag: a signal does not wake a
// condition variable.
constexpr auto SIGNAL_POLL = 100ms;

MQTTClient client = nullptr;
std::vector<std::string> subscribed; // unsubscribed before disconnecting

std::mutex queue_mutex;
std::condition_variable queue_cv;
std::deque<cli_message> queue; // guarded by queue_mutex
std::atomic<bool> lost{false};

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void on_signal(int) { interrupted.store(true); }

int on_message(void *, char *topic, int topic_len, MQTTClient_message *message)
{
    cli_message received;
    received.topic = topic_len > 0 ? std::string(topic, static_cast<std::size_t>(topic_len)) : std::string(topic);
    if (message->payloadlen > 0)
        received.payload.assign(static_cast<const char *>(message->payload),
                                static_cast<std::size_t>(message->payloadlen));
    received.retained = message->retained != 0;
    received.received = std::chrono::system_clock::now();
    {
        std::lock_guard lock(queue_mutex);
        queue.push_back(std::move(received));
    }
    queue_cv.notify_all();
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topic);
    return 1;
}

void on_lost(void *, char *)
{
    lost.store(true);
    queue_cv.notify_all();
}

// A person may run several at once (and a UI runs beside them): the broker
// closes the older of two connections with one id.
std::string own_client_id()
{
    std::random_device random;
    return "diag-gateway-cli-" + std::to_string(getpid()) + "-" + std::to_string(random() % 100000);
}

} // namespace

bool cli_connect(const std::string &uri, std::chrono::milliseconds connect_timeout, std::string &error)
{
    int rc = MQTTClient_create(&client, uri.c_str(), own_client_id().c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                               nullptr);
    if (rc == MQTTCLIENT_SUCCESS)
        rc = MQTTClient_setCallbacks(client, nullptr, on_lost, on_message, nullptr);
    if (rc != MQTTCLIENT_SUCCESS) {
        error = "cannot use the broker address " + uri + " (" + MQTTClient_strerror(rc) + ")";
        return false;
    }
    MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
    options.keepAliveInterval = 20;
    options.cleansession = 1;
    options.connectTimeout = static_cast<int>(std::max<long long>(1, connect_timeout.count() / 1000));
    rc = MQTTClient_connect(client, &options);
    if (rc != MQTTCLIENT_SUCCESS) {
        error = "no broker at " + uri + " (" + MQTTClient_strerror(rc) + ")";
        return false;
    }
    return true;
}

// One SUBSCRIBE for all topics: each request waits for its own acknowledgement.
bool cli_subscribe(std::initializer_list<const char *> topics)
{
    std::vector<char *> names;
    std::vector<int> qos(topics.size(), 1);
    for (const char *topic : topics)
        names.push_back(const_cast<char *>(topic));
    if (MQTTClient_subscribeMany(client, static_cast<int>(names.size()), names.data(), qos.data()) !=
        MQTTCLIENT_SUCCESS)
        return false;
    for (int granted : qos)
        if (granted != 1 && granted != 0)
            return false; // 0x80: refused
    subscribed.assign(topics.begin(), topics.end());
    return true;
}

bool cli_publish(const char *topic, const std::string &payload)
{
    MQTTClient_deliveryToken token = 0;
    if (MQTTClient_publish(client, topic, static_cast<int>(payload.size()), payload.data(), 1, 0, &token) !=
        MQTTCLIENT_SUCCESS)
        return false;
    return MQTTClient_waitForCompletion(client, token, PUBLISH_COMPLETION_MS) == MQTTCLIENT_SUCCESS;
}

// Unsubscribing first: a clean-session disconnect frees the library's queue
// of received messages, and one being handed to the callback at that moment
// would be freed twice. Once the broker acknowledged, none is on its way.
void cli_disconnect()
{
    if (!client)
        return;
    if (MQTTClient_isConnected(client)) {
        std::vector<char *> topics;
        for (std::string &topic : subscribed)
            topics.push_back(topic.data());
        if (!topics.empty())
            MQTTClient_unsubscribeMany(client, static_cast<int>(topics.size()), topics.data());
        MQTTClient_disconnect(client, DISCONNECT_MS);
    }
    MQTTClient_destroy(&client);
}

cli_wait_end cli_next_message(std::chrono::steady_clock::time_point deadline, cli_message &message)
{
    std::unique_lock lock(queue_mutex);
    for (;;) {
        if (!queue.empty()) {
            message = std::move(queue.front());
            queue.pop_front();
            return cli_wait_end::message;
        }
        if (interrupted.load())
            return cli_wait_end::interrupted;
        if (lost.load())
            return cli_wait_end::connection_lost;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return cli_wait_end::timeout;
        queue_cv.wait_until(lock, std::min(deadline, now + SIGNAL_POLL));
    }
}

void cli_catch_signals()
{
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool cli_interrupted() { return interrupted.load(); }
void cli_clear_interrupt() { interrupted.store(false); }
