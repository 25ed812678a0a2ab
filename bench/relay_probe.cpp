// Relay latency of the gateway, seen from the UI's side of the broker:
// publishes a relay packet that switches one relay and times the moment the
// host-simulation daemon reports the line's new level ("SIM_GPIO : gpiochip4
// line 10 -> low" in its log, read through inotify as it is written), COUNT
// times at random moments. Then the broker's own round trip (a message to a
// topic the probe itself subscribes) for comparison. Built and run by
// bench/run_bench.sh.
//
//   relay_probe tcp://127.0.0.1:PORT COUNT DAEMON_LOG [SEED]
#include <MQTTClient.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char *ECHO_TOPIC = "bench/relay_probe/echo";

// The board's wiring (src/gpio/relay_driver.cpp): relay -> chip, line.
struct relay_line {
    int chip;
    unsigned line;
};
constexpr std::array<relay_line, 12> wiring{{{4, 10}, {4, 11}, {3, 31}, {4, 0}, {3, 27}, {3, 26},
                                             {4, 14}, {3, 25}, {4, 13}, {0, 20}, {0, 21}, {0, 13}}};

// Follows the daemon's log from its present end.
class log_follower {
public:
    explicit log_follower(const char *path)
        : fd_(open(path, O_RDONLY | O_CLOEXEC)), watch_(inotify_init1(IN_CLOEXEC))
    {
        if (fd_ >= 0)
            lseek(fd_, 0, SEEK_END);
        if (watch_ >= 0)
            inotify_add_watch(watch_, path, IN_MODIFY);
    }
    ~log_follower()
    {
        if (fd_ >= 0)
            close(fd_);
        if (watch_ >= 0)
            close(watch_);
    }
    bool ok() const { return fd_ >= 0 && watch_ >= 0; }

    // Time at which `line` was read from the log, or nothing after `timeout`.
    bool wait_for(const std::string &line, clock_type::time_point &seen, std::chrono::milliseconds timeout)
    {
        const auto deadline = clock_type::now() + timeout;
        for (;;) {
            read_new();
            const auto at = pending_.find(line);
            if (at != std::string::npos) {
                seen = clock_type::now();
                pending_.erase(0, at + line.size());
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
            if (left <= 0ms)
                return false;
            pollfd p{watch_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) > 0) {
                char events[4096];
                [[maybe_unused]] const ssize_t n = read(watch_, events, sizeof events);
            }
        }
    }

private:
    void read_new()
    {
        char chunk[8192];
        ssize_t n;
        while ((n = read(fd_, chunk, sizeof chunk)) > 0)
            pending_.append(chunk, static_cast<std::size_t>(n));
        // Only whole lines matter; keep the tail that may hold a line being written.
        if (pending_.size() > 65536)
            pending_.erase(0, pending_.size() - 4096);
    }

    int fd_;
    int watch_;
    std::string pending_;
};

std::mutex echo_mutex;
std::condition_variable echo_cv;
bool echo_arrived = false; // guarded by echo_mutex
clock_type::time_point echo_time;

int on_message(void *, char *topic, int, MQTTClient_message *message)
{
    const auto now = clock_type::now();
    if (std::string(topic) == ECHO_TOPIC) {
        std::lock_guard lock(echo_mutex);
        echo_arrived = true;
        echo_time = now;
        echo_cv.notify_all();
    }
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topic);
    return 1;
}

double percentile(const std::vector<double> &sorted, double p)
{
    const double rank = p / 100.0 * static_cast<double>(sorted.size() - 1);
    const auto low = static_cast<std::size_t>(rank);
    const std::size_t high = std::min(low + 1, sorted.size() - 1);
    return sorted[low] + (sorted[high] - sorted[low]) * (rank - static_cast<double>(low));
}

void report(const char *what, std::vector<double> millis)
{
    std::sort(millis.begin(), millis.end());
    std::printf("%s %zu  p50 %.2f ms  p95 %.2f ms  max %.2f ms\n", what, millis.size(), percentile(millis, 50),
                percentile(millis, 95), millis.back());
}

// The library has no TCP_NODELAY option; without it the probe's own
// publication after an acknowledgement waits for a delayed TCP ACK (~40 ms)
// and the broker's round trip would measure that. The probe's only stream
// socket is its broker connection.
void send_small_packets_at_once()
{
    DIR *fds = opendir("/proc/self/fd");
    if (!fds)
        return;
    while (const dirent *entry = readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        int type = 0;
        socklen_t len = sizeof type;
        if (fd > 2 && getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM) {
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
    }
    closedir(fds);
}

bool publish(MQTTClient client, const char *topic, const std::string &text)
{
    return MQTTClient_publish(client, topic, static_cast<int>(text.size()), text.data(), 1, 0, nullptr) ==
           MQTTCLIENT_SUCCESS;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s BROKER_URI COUNT DAEMON_LOG [SEED]\n", argv[0]);
        return 2;
    }
    const int count = std::atoi(argv[2]);
    std::mt19937 random(argc == 5 ? static_cast<unsigned>(std::atoi(argv[4])) : 1u);
    log_follower log(argv[3]);
    if (!log.ok()) {
        std::fprintf(stderr, "relay_probe: cannot follow %s\n", argv[3]);
        return 1;
    }
    MQTTClient client = nullptr;
    MQTTClient_create(&client, argv[1], "relay_probe", MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    MQTTClient_setCallbacks(client, nullptr, nullptr, on_message, nullptr);
    MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
    options.cleansession = 1;
    if (MQTTClient_connect(client, &options) != MQTTCLIENT_SUCCESS ||
        MQTTClient_subscribe(client, ECHO_TOPIC, 1) != MQTTCLIENT_SUCCESS) {
        std::fprintf(stderr, "relay_probe: cannot connect or subscribe to %s\n", argv[1]);
        return 1;
    }
    send_small_packets_at_once();

    // Random moments: anywhere in the relay thread's idle wait and the OBD
    // thread's one-second passes and heartbeats.
    std::uniform_int_distribution<int> pause_ms(20, 700);
    std::uniform_int_distribution<int> pick(0, 11);
    std::array<int, 12> state{}; // the daemon starts with every relay off
    std::vector<double> relay_millis;
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(random)));
        const int relay = pick(random);
        state[relay] ^= 1;
        const std::string packet = "{\"TYP\":2,\"DATA\":{\"params\":{\"DO\":{\"DO" + std::to_string(relay) +
                                   "\":" + std::to_string(state[relay]) + "}}}}";
        char line[64];
        std::snprintf(line, sizeof line, "SIM_GPIO : gpiochip%d line %u -> %s\n", wiring[relay].chip,
                      wiring[relay].line, state[relay] ? "low" : "high"); // low-active
        const auto sent = clock_type::now();
        clock_type::time_point seen;
        if (!publish(client, "dt/ui_to_app/cmd", packet) || !log.wait_for(line, seen, 10s)) {
            std::fprintf(stderr, "relay_probe: relay %d did not switch after packet %d\n", relay, i + 1);
            return 1;
        }
        relay_millis.push_back(std::chrono::duration<double, std::milli>(seen - sent).count());
    }

    std::vector<double> echo_millis;
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(random) / 10));
        {
            std::lock_guard lock(echo_mutex);
            echo_arrived = false;
        }
        const auto sent = clock_type::now();
        publish(client, ECHO_TOPIC, "echo");
        std::unique_lock lock(echo_mutex);
        if (!echo_cv.wait_for(lock, 10s, [] { return echo_arrived; })) {
            std::fprintf(stderr, "relay_probe: echo %d did not come back\n", i + 1);
            return 1;
        }
        echo_millis.push_back(std::chrono::duration<double, std::milli>(echo_time - sent).count());
    }
    MQTTClient_disconnect(client, 1000);
    MQTTClient_destroy(&client);

    report("packets", relay_millis);
    report("broker round trip", echo_millis);
    return 0;
}
