#include "mqtt_test_client.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

constexpr unsigned long COMPLETION_TIMEOUT_MS = 10000;
constexpr int DISCONNECT_TIMEOUT_MS = 500;

std::string unique_client_id()
{
    static std::atomic<int> counter{0};
    return "test-client-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

} // namespace

mqtt_test_client::mqtt_test_client(const std::string &uri, const std::string &client_id,
                                   bool persistent_session)
    : persistent_session_(persistent_session)
{
    const std::string id = client_id.empty() ? unique_client_id() : client_id;
    int rc = MQTTClient_create(&client_, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                               nullptr);
    if (rc != MQTTCLIENT_SUCCESS) {
        ADD_FAILURE() << "MQTTClient_create(" << uri << ") failed: " << rc;
        client_ = nullptr;
        return;
    }
    rc = MQTTClient_setCallbacks(client_, this, on_lost, on_message, nullptr);
    if (rc != MQTTCLIENT_SUCCESS)
        ADD_FAILURE() << "MQTTClient_setCallbacks failed: " << rc;
}

mqtt_test_client::~mqtt_test_client()
{
    if (!client_)
        return;
    disconnect();
    MQTTClient_destroy(&client_);
}

bool mqtt_test_client::connect()
{
    if (!client_)
        return false;
    MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
    options.keepAliveInterval = 20;
    options.cleansession = persistent_session_ ? 0 : 1;
    lost_.store(false);
    if (!persistent_session_)
        subscriptions_.clear(); // a clean session starts without any
    return MQTTClient_connect(client_, &options) == MQTTCLIENT_SUCCESS;
}

// Unsubscribing first matters: a clean-session disconnect frees the
// library's queue of received messages, and a message the callback thread is
// handing over at that moment would be freed twice. Once the broker has
// acknowledged the unsubscription, no hand-over is in progress.
void mqtt_test_client::disconnect()
{
    if (!client_ || !MQTTClient_isConnected(client_))
        return;
    if (!subscriptions_.empty()) {
        std::vector<char *> topics;
        for (std::string &topic : subscriptions_)
            topics.push_back(topic.data());
        MQTTClient_unsubscribeMany(client_, static_cast<int>(topics.size()), topics.data());
    }
    MQTTClient_disconnect(client_, DISCONNECT_TIMEOUT_MS);
}

bool mqtt_test_client::connected() const { return client_ && MQTTClient_isConnected(client_); }

bool mqtt_test_client::subscribe(const std::string &topic, int qos)
{
    if (!client_ || MQTTClient_subscribe(client_, topic.c_str(), qos) != MQTTCLIENT_SUCCESS)
        return false;
    subscriptions_.push_back(topic);
    return true;
}

bool mqtt_test_client::publish(const std::string &topic, std::string_view payload, int qos, bool retained)
{
    if (!client_)
        return false;
    MQTTClient_deliveryToken token = 0;
    int rc = MQTTClient_publish(client_, topic.c_str(), static_cast<int>(payload.size()),
                                payload.data(), qos, retained ? 1 : 0, &token);
    if (rc != MQTTCLIENT_SUCCESS)
        return false;
    return qos == 0 ||
           MQTTClient_waitForCompletion(client_, token, COMPLETION_TIMEOUT_MS) == MQTTCLIENT_SUCCESS;
}

std::optional<mqtt_test_message>
mqtt_test_client::wait_for(const std::function<bool(const mqtt_test_message &)> &match,
                           std::chrono::milliseconds timeout)
{
    std::unique_lock lock(queue_mutex_);
    std::optional<mqtt_test_message> found;
    queue_cv_.wait_for(lock, timeout, [&] {
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if (match(*it)) {
                found = std::move(*it);
                queue_.erase(it);
                return true;
            }
        }
        return false;
    });
    return found;
}

std::optional<mqtt_test_message> mqtt_test_client::wait_for(std::string_view payload,
                                                            std::chrono::milliseconds timeout)
{
    return wait_for([payload](const mqtt_test_message &m) { return m.payload == payload; },
                    timeout);
}

std::vector<mqtt_test_message> mqtt_test_client::take_all()
{
    std::lock_guard lock(queue_mutex_);
    std::vector<mqtt_test_message> all(std::make_move_iterator(queue_.begin()),
                                       std::make_move_iterator(queue_.end()));
    queue_.clear();
    return all;
}

int mqtt_test_client::on_message(void *context, char *topic, int topic_len,
                                 MQTTClient_message *message)
{
    auto *self = static_cast<mqtt_test_client *>(context);
    mqtt_test_message received;
    received.topic = topic_len > 0 ? std::string(topic, static_cast<std::size_t>(topic_len))
                                   : std::string(topic);
    if (message->payloadlen > 0)
        received.payload.assign(static_cast<const char *>(message->payload),
                                static_cast<std::size_t>(message->payloadlen));
    {
        std::lock_guard lock(self->queue_mutex_);
        self->queue_.push_back(std::move(received));
    }
    self->queue_cv_.notify_all();
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topic);
    return 1;
}

void mqtt_test_client::on_lost(void *context, char * /*cause*/)
{
    static_cast<mqtt_test_client *>(context)->lost_.store(true);
}
