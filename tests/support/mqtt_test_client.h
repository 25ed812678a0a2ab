// A small MQTT client for tests, playing the UI's part: connects to a test
// broker, subscribes, publishes, and collects every message it receives in a
// thread-safe queue that tests wait on.
//
//   mqtt_test_client ui(broker.uri());
//   ASSERT_TRUE(ui.connect());
//   ASSERT_TRUE(ui.subscribe("dt/app_to_ui/resp"));
//   ASSERT_TRUE(ui.publish("dt/ui_to_app/cmd", R"({"TYP":1,"CMD":1})"));
//   auto answer = ui.wait_for([](const mqtt_test_message &m) { return m.payload.find("DATA") != std::string::npos; });
//   ASSERT_TRUE(answer);
//
// All calls are meant for one test thread; only the queue is shared with the
// library's callback thread. disconnect() (and the destructor) unsubscribe
// first: see mqtt_test_client.cpp for why.
#pragma once

#include <MQTTClient.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct mqtt_test_message {
    std::string topic;
    std::string payload; // exactly the bytes received (may hold NULs)
};

constexpr std::chrono::milliseconds MQTT_TEST_TIMEOUT{15000};

class mqtt_test_client {
public:
    // `client_id` empty: a unique one is made up. Nothing is connected yet.
    // `persistent_session`: the broker keeps the subscriptions (and queues
    // messages) while the client is away; connect() resumes the session.
    explicit mqtt_test_client(const std::string &uri, const std::string &client_id = "",
                              bool persistent_session = false);
    ~mqtt_test_client(); // disconnects and destroys the client
    mqtt_test_client(const mqtt_test_client &) = delete;
    mqtt_test_client &operator=(const mqtt_test_client &) = delete;

    // Connects with a clean session; also reconnects after a lost connection
    // (subscriptions must then be made again).
    bool connect();
    void disconnect();
    bool connected() const;
    // Set by the library when the connection was lost (not by disconnect()).
    bool connection_lost() const { return lost_.load(); }

    bool subscribe(const std::string &topic, int qos = 1);
    // Publishes and, for QoS 1 and 2, waits until the broker has it.
    bool publish(const std::string &topic, std::string_view payload, int qos = 1, bool retained = false);

    // Removes and returns the oldest received message that `match` accepts
    // (others stay queued), waiting up to `timeout` for one to arrive.
    std::optional<mqtt_test_message> wait_for(const std::function<bool(const mqtt_test_message &)> &match,
                                              std::chrono::milliseconds timeout = MQTT_TEST_TIMEOUT);
    // The same for a message whose payload equals `payload` exactly.
    std::optional<mqtt_test_message> wait_for(std::string_view payload,
                                              std::chrono::milliseconds timeout = MQTT_TEST_TIMEOUT);
    // Removes and returns everything received so far.
    std::vector<mqtt_test_message> take_all();

private:
    static int on_message(void *context, char *topic, int topic_len, MQTTClient_message *message);
    static void on_lost(void *context, char *cause);

    MQTTClient client_ = nullptr;
    bool persistent_session_ = false;
    std::vector<std::string> subscriptions_; // unsubscribed before disconnecting
    std::atomic<bool> lost_{false};
    mutable std::mutex queue_mutex_;
    std::condition_variable queue_cv_;
    std::deque<mqtt_test_message> queue_; // guarded by queue_mutex_
};
