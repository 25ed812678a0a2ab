// A private mosquitto broker for one test: /usr/sbin/mosquitto as a child
// process listening on 127.0.0.1 and a free port chosen here, anonymous
// access, no persistence, its configuration and log in a temp folder. Test
// programs running in parallel each get their own port.
//
//   test_broker broker;                       // started, accepting connections
//   scoped_env env("DIAG_GW_BROKER", broker.uri());
//   broker.stop();  ...  broker.restart();    // same port again
#pragma once

#include "temp_dir.h"

#include <chrono>
#include <string>
#include <vector>
#include <sys/types.h>

class test_broker {
public:
    // Starts the broker and waits until it accepts connections; records a
    // test failure (and running() stays false) when that is impossible.
    // `keep_sessions`: persistent sessions and their queued messages survive
    // a stop() and restart(), as a board's broker with persistence keeps them.
    // `refused_subscriptions`: topics whose subscription the broker refuses
    // (granted QoS 0x80, through its dynamic-security plugin; its acl_file
    // only filters deliveries).
    explicit test_broker(bool keep_sessions = false, std::vector<std::string> refused_subscriptions = {});
    ~test_broker(); // kills the broker if it still runs
    test_broker(const test_broker &) = delete;
    test_broker &operator=(const test_broker &) = delete;

    int port() const { return port_; }
    std::string uri() const; // "tcp://127.0.0.1:<port>"
    bool running() const { return pid_ > 0; }

    // Ends the broker (SIGTERM, SIGKILL if it lingers); returns once it is gone,
    // so every client connection has been closed.
    void stop();
    // Starts it again on the same port and waits until it accepts
    // connections. False when it could not be started.
    bool restart();

    // Freezes the broker (SIGSTOP) and lets it go on (SIGCONT): while frozen
    // the kernel still accepts connections and data, but nothing is answered.
    void pause();
    void resume();

    // Bytes that clients sent the broker and it has not read yet (all its
    // client connections together, from /proc/net/tcp).
    long unread_bytes() const;

    // What the broker printed so far (for failure messages).
    std::string log() const;

private:
    bool launch();
    std::string access_control();
    bool wait_until_accepting();

    temp_dir dir_{"mqtt-broker-"};
    bool keep_sessions_ = false;
    std::vector<std::string> refused_subscriptions_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::size_t log_mark_ = 0; // the log's size when the broker was last launched
};

// A TCP port on 127.0.0.1 that nothing listens on at the moment of the call.
int free_loopback_port();

// A broker that is absent or hangs, on a port of its own: the port is bound
// (no other test can take it) but not listening, so connections are refused;
// after listen() they are accepted by the kernel and then never answered.
class reserved_port {
public:
    reserved_port();
    ~reserved_port(); // closes the socket: pending connections are reset
    reserved_port(const reserved_port &) = delete;
    reserved_port &operator=(const reserved_port &) = delete;

    int port() const { return port_; }
    std::string uri() const; // "tcp://127.0.0.1:<port>"
    bool listen();
    // Waits until a connection is queued (a client is in its handshake).
    bool wait_for_connection(std::chrono::milliseconds timeout);
    void close();

private:
    int fd_ = -1;
    int port_ = 0;
};
