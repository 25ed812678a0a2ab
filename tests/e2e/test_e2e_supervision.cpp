// The daemon under a service manager: the test plays systemd's end of
// NOTIFY_SOCKET (a datagram socket of its own) and checks READY=1, the
// status line, the periodic WATCHDOG=1 and its end when a thread hangs.
#include "e2e_rig.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// The service manager's notification socket: one message per datagram,
// assignments one per line ("READY=1\nSTATUS=..."). Read all the time, as
// systemd does: the kernel queues only a few datagrams, and a sender finding
// the queue full waits.
class notify_listener {
public:
    explicit notify_listener(const std::string &path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            ADD_FAILURE() << "notify socket " << path << ": " << std::strerror(errno);
            return;
        }
        reader_ = std::thread([this] { read_messages(); });
    }
    ~notify_listener()
    {
        if (reader_.joinable()) {
            shutdown(fd_, SHUT_RDWR); // ends the reader's recv
            reader_.join();
        }
        if (fd_ >= 0)
            close(fd_);
    }
    notify_listener(const notify_listener &) = delete;
    notify_listener &operator=(const notify_listener &) = delete;

    const std::string &path() const { return path_; }

    // The oldest message not taken yet, waiting up to `timeout` for one.
    std::optional<std::string> next(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, timeout, [this] { return !messages_.empty(); }))
            return std::nullopt;
        std::string m = std::move(messages_.front());
        messages_.pop_front();
        return m;
    }

    // Every message that comes within `span`.
    std::vector<std::string> collect(std::chrono::milliseconds span)
    {
        std::vector<std::string> messages;
        const auto end = steady::now() + span;
        for (auto now = steady::now(); now < end; now = steady::now()) {
            if (auto m = next(std::chrono::duration_cast<std::chrono::milliseconds>(end - now)))
                messages.push_back(*m);
        }
        return messages;
    }

    // Drops what has arrived so far.
    void drain()
    {
        std::lock_guard lock(mutex_);
        messages_.clear();
    }

private:
    void read_messages()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            {
                std::lock_guard lock(mutex_);
                messages_.emplace_back(buffer, static_cast<std::size_t>(n));
            }
            arrived_.notify_all();
        }
    }

    std::string path_;
    int fd_ = -1;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> messages_; // guarded by mutex_
    std::thread reader_;
};

std::vector<std::string> lines_of(const std::string &message)
{
    std::vector<std::string> lines;
    std::istringstream in(message);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool has_line(const std::string &message, const std::string &line)
{
    for (const auto &l : lines_of(message)) {
        if (l == line)
            return true;
    }
    return false;
}

std::string status_of(const std::string &message)
{
    for (const auto &l : lines_of(message)) {
        if (l.rfind("STATUS=", 0) == 0)
            return l.substr(7);
    }
    return "";
}

// Waits for a message whose STATUS= holds `text`; false (with the statuses
// seen) when none did within `timeout`.
::testing::AssertionResult status_comes(notify_listener &manager, const std::string &text,
                                        std::chrono::milliseconds timeout)
{
    std::string seen;
    const auto end = steady::now() + timeout;
    while (steady::now() < end) {
        const auto m = manager.next(std::chrono::duration_cast<std::chrono::milliseconds>(end - steady::now()));
        if (!m)
            break;
        const std::string status = status_of(*m);
        if (status.find(text) != std::string::npos)
            return ::testing::AssertionSuccess();
        if (!status.empty())
            seen += "\n  " + status;
    }
    return ::testing::AssertionFailure() << "no status with \"" << text << "\"; seen:" << seen;
}

// Counts WATCHDOG=1 messages until `count` came; false when they stop first.
bool pings_come(notify_listener &manager, int count, std::chrono::milliseconds timeout)
{
    const auto end = steady::now() + timeout;
    while (count > 0 && steady::now() < end) {
        const auto m = manager.next(std::chrono::duration_cast<std::chrono::milliseconds>(end - steady::now()));
        if (!m)
            return false;
        if (has_line(*m, "WATCHDOG=1"))
            --count;
    }
    return count == 0;
}

// A ping at most every second (half of WATCHDOG_USEC).
std::vector<std::string> managed_environment(const notify_listener &manager)
{
    return {"NOTIFY_SOCKET=" + manager.path(), "WATCHDOG_USEC=2000000"};
}

constexpr const char *RELAY_PACKET = R"({"TYP":2,"DATA":{"params":{"DO":{"DO0":1}}}})";

} // namespace

// READY=1 comes first, before any vehicle; the status line follows the
// daemon; WATCHDOG=1 comes periodically until the relay thread hangs in a
// line write, which is logged once by name, after which no ping comes.
TEST(E2eSupervision, WatchdogConfirmedUntilTheRelayThreadHangs)
{
    temp_dir dir("diag-notify-");
    notify_listener manager(dir.file("notify"));
    e2e_rig rig;
    std::vector<std::string> env = managed_environment(manager);
    env.emplace_back("DIAG_GW_SIM_GPIO_HANG=1");
    rig.set_daemon_environment(env);
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));

    const auto first = manager.next(E2E_TIMEOUT);
    ASSERT_TRUE(first);
    EXPECT_TRUE(has_line(*first, "READY=1")) << *first;
    // The broker may be connected already when the threads first run.
    EXPECT_TRUE(status_of(*first).find("broker connected, no ECU, ") == 0 ||
                status_comes(manager, "broker connected, no ECU, ", E2E_TIMEOUT))
        << *first;

    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    EXPECT_TRUE(status_comes(manager, "broker connected, ECU 7E8 11-bit, idle, relays ready", E2E_TIMEOUT));
    EXPECT_TRUE(pings_come(manager, 3, E2E_TIMEOUT));

    const std::size_t mark = rig.daemon().log_mark();
    ASSERT_TRUE(rig.send(RELAY_PACKET)); // the line write never returns
    const std::string stalled = "MAIN_ERROR : relay outputs thread stalled: no progress for";
    ASSERT_NE(rig.daemon().wait_for_log(stalled, E2E_TIMEOUT, mark), std::string::npos);
    EXPECT_TRUE(status_comes(manager, "relays ready; relay outputs stalled", E2E_TIMEOUT));
    // What was sent before the stall was judged is in the socket already.
    manager.drain();
    for (const auto &m : manager.collect(5s))
        EXPECT_FALSE(has_line(m, "WATCHDOG=1")) << m;
    EXPECT_EQ(rig.daemon().count_in_log("thread stalled", mark), 1u);

    // The stop path says so first; the hung thread then keeps the process
    // from ending, which the service manager's stop time-out settles (here
    // the rig's SIGKILL, after it looked at the log).
    kill(rig.daemon().pid(), SIGTERM);
    bool stopping = false;
    while (auto m = manager.next(E2E_TIMEOUT)) {
        if ((stopping = has_line(*m, "STOPPING=1")))
            break;
    }
    EXPECT_TRUE(stopping);
}

// A legitimate long wait is progress: an ECU that never answers service 09
// makes the vehicle-information read wait 10 s for each of four InfoTypes,
// longer than the OBD session thread's 30 s bound, and the watchdog is
// confirmed all along.
TEST(E2eSupervision, SilentVehicleInformationReadIsNoStall)
{
    ecu_profile vehicle = e2e_vehicle("demo_petrol_11bit.json");
    ecu_rule silent;
    silent.request = {0x09};
    silent.silent = true;
    vehicle.ecus[0].rules.push_back(silent);

    temp_dir dir("diag-notify-");
    notify_listener manager(dir.file("notify"));
    e2e_rig rig;
    rig.set_daemon_environment(managed_environment(manager));
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.plug_in(vehicle));
    ASSERT_TRUE(rig.skip_until(e2e_status("MODEDETECTED")));
    EXPECT_TRUE(status_comes(manager, "ECU 7E8 11-bit, identifying vehicle", E2E_TIMEOUT));

    ASSERT_TRUE(rig.skip_until(e2e_status("SAVSUC"), nullptr, 120s));
    EXPECT_EQ(rig.daemon().count_in_log("OBD2 WARN: Failed to request InfoType"), 4u);
    EXPECT_EQ(rig.daemon().count_in_log("thread stalled"), 0u);
    EXPECT_TRUE(pings_come(manager, 2, E2E_TIMEOUT));
}
