// The CLI's one connection to the broker: connect, subscribe, publish, and the
// messages received, in arrival order, for the main thread to wait on. The
// library's callback thread only queues; everything else runs on the main
// thread, never while holding the queue's lock.
#pragma once

#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>

struct cli_message {
    std::string topic;
    std::string payload;
    bool retained = false;
    std::chrono::system_clock::time_point received;
};

// Connects with a client id of its own (never the daemon's). False with the
// reason in `error`.
bool cli_connect(const std::string &uri, std::chrono::milliseconds connect_timeout, std::string &error);
bool cli_subscribe(std::initializer_list<const char *> topics);
// QoS 1, waits until the broker has it.
bool cli_publish(const char *topic, const std::string &payload);
// Unsubscribes first, then disconnects.
void cli_disconnect();

enum class cli_wait_end { message, timeout, interrupted, connection_lost };
// The oldest message not yet taken, waiting until `deadline`. Returns early
// when SIGINT/SIGTERM came (cli_interrupted()) or the connection was lost.
cli_wait_end cli_next_message(std::chrono::steady_clock::time_point deadline, cli_message &message);

// SIGINT and SIGTERM only set a flag that the waits look at.
void cli_catch_signals();
bool cli_interrupted();
void cli_clear_interrupt();
