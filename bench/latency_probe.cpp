// Command-to-answer latency of the gateway, seen from the UI's side of the
// broker: publishes {"TYP":1,"CMD":1} and times the arrival of the trouble-code
// document, N times in a row. Built and run by bench/run_bench.sh.
//
//   latency_probe tcp://127.0.0.1:PORT COUNT
#include <MQTTClient.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

std::mutex arrival_mutex;
std::condition_variable arrival_cv;
bool document_arrived = false; // guarded by arrival_mutex
clock_type::time_point arrival_time;

int on_message(void *, char *topic, int, MQTTClient_message *message)
{
    const std::string payload(static_cast<const char *>(message->payload), message->payloadlen);
    const auto now = clock_type::now();
    if (payload.find("\"CMD\":1,\"DATA\"") != std::string::npos) {
        std::lock_guard lock(arrival_mutex);
        document_arrived = true;
        arrival_time = now;
        arrival_cv.notify_all();
    }
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topic);
    return 1;
}

double percentile(std::vector<double> sorted, double p)
{
    const double rank = p / 100.0 * static_cast<double>(sorted.size() - 1);
    const auto low = static_cast<std::size_t>(rank);
    const std::size_t high = std::min(low + 1, sorted.size() - 1);
    return sorted[low] + (sorted[high] - sorted[low]) * (rank - static_cast<double>(low));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s BROKER_URI COUNT\n", argv[0]);
        return 2;
    }
    const int count = std::atoi(argv[2]);
    MQTTClient client = nullptr;
    MQTTClient_create(&client, argv[1], "latency_probe", MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    MQTTClient_setCallbacks(client, nullptr, nullptr, on_message, nullptr);
    MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
    options.cleansession = 1;
    if (MQTTClient_connect(client, &options) != MQTTCLIENT_SUCCESS ||
        MQTTClient_subscribe(client, "dt/app_to_ui/resp", 1) != MQTTCLIENT_SUCCESS) {
        std::fprintf(stderr, "latency_probe: cannot connect or subscribe to %s\n", argv[1]);
        return 1;
    }

    std::vector<double> millis;
    const char command[] = "{\"TYP\":1,\"CMD\":1}";
    for (int i = 0; i < count; ++i) {
        {
            std::lock_guard lock(arrival_mutex);
            document_arrived = false;
        }
        const auto sent = clock_type::now();
        MQTTClient_publish(client, "dt/ui_to_app/cmd", sizeof(command) - 1, command, 1, 0, nullptr);
        std::unique_lock lock(arrival_mutex);
        if (!arrival_cv.wait_for(lock, std::chrono::seconds(30), [] { return document_arrived; })) {
            std::fprintf(stderr, "latency_probe: no answer to command %d\n", i + 1);
            return 1;
        }
        millis.push_back(std::chrono::duration<double, std::milli>(arrival_time - sent).count());
        lock.unlock();
        // Spread the commands over the idle cycle (counting passes and heartbeats).
        std::this_thread::sleep_for(std::chrono::milliseconds(137));
    }
    MQTTClient_disconnect(client, 1000);
    MQTTClient_destroy(&client);

    std::sort(millis.begin(), millis.end());
    std::printf("commands %d  p50 %.2f ms  p95 %.2f ms  p99 %.2f ms  min %.2f ms  max %.2f ms\n", count,
                percentile(millis, 50), percentile(millis, 95), percentile(millis, 99), millis.front(),
                millis.back());
    return 0;
}
