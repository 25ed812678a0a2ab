#include "broker.h"

#include "child_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <cstring>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <glob.h>

namespace {

using namespace std::chrono_literals;

constexpr const char *MOSQUITTO_BIN = "/usr/sbin/mosquitto";
constexpr auto START_TIMEOUT = 15s;
constexpr auto STOP_TIMEOUT = 5s;
constexpr int START_ATTEMPTS = 5;

sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

bool accepts_connections(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr = loopback(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

} // namespace

int free_loopback_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

test_broker::test_broker(bool keep_sessions, std::vector<std::string> refused_subscriptions)
    : keep_sessions_(keep_sessions), refused_subscriptions_(std::move(refused_subscriptions))
{
    // Another test program may grab the port between our probe and the
    // broker's bind; then the broker exits at once and we pick another.
    for (int attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
        port_ = free_loopback_port();
        if (port_ > 0 && launch() && wait_until_accepting())
            return;
        stop();
    }
    ADD_FAILURE() << "mosquitto did not start; its log:\n" << log();
}

test_broker::~test_broker() { stop(); }

std::string test_broker::uri() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

std::string test_broker::log() const { return read_text_file(dir_.file("mosquitto.log")); }

// Configuration lines for the refused subscriptions: every client is
// anonymous and in a group whose one role refuses them; all else is allowed.
std::string test_broker::access_control()
{
    if (refused_subscriptions_.empty())
        return {};
    glob_t found{};
    std::string plugin;
    if (glob("/usr/lib/*/mosquitto_dynamic_security.so", 0, nullptr, &found) == 0 && found.gl_pathc > 0)
        plugin = found.gl_pathv[0];
    globfree(&found);
    if (plugin.empty()) {
        ADD_FAILURE() << "mosquitto's dynamic-security plugin is not installed";
        return {};
    }
    std::string acls;
    for (const std::string &topic : refused_subscriptions_)
        acls += std::string(acls.empty() ? "" : ",") + R"({"acltype":"subscribeLiteral","topic":")" + topic +
                R"(","priority":0,"allow":false})";
    const std::string rules =
        R"({"defaultACLAccess":{"publishClientSend":true,"publishClientReceive":true,"subscribe":true,)"
        R"("unsubscribe":true},"clients":[],"groups":[{"groupname":"anonymous","roles":[{"rolename":)"
        R"("refusals"}]}],"roles":[{"rolename":"refusals","acls":[)" +
        acls + R"(]}],"anonymousGroup":"anonymous"})";
    const std::string rules_path = dir_.file("dynamic-security.json");
    if (!write_text_file(rules_path, rules))
        return {};
    return "plugin " + plugin + "\nplugin_opt_config_file " + rules_path + "\n";
}

bool test_broker::launch()
{
    const std::string conf = dir_.file("mosquitto.conf");
    const std::string text = access_control() + "listener " + std::to_string(port_) +
                             " 127.0.0.1\n"
                             "allow_anonymous true\n"
                             // Dropping to another user would clear the parent-death signal.
                             "user root\n"
                             + std::string(keep_sessions_ ? "persistence true\npersistence_location " +
                                                                 dir_.path() + "/\n"
                                                           : "persistence false\n") +
                             "log_dest stderr\n"
                             "log_type error\nlog_type warning\nlog_type notice\n"
                             "log_type information\n";
    if (!write_text_file(conf, text))
        return false;
    log_mark_ = log().size();
    const std::string log_path = dir_.file("mosquitto.log");
    int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0)
        return false;

    // fork rather than posix_spawn: the child must die with the test program
    // (PR_SET_PDEATHSIG) even when a crash or a time-out skips our destructor.
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, STDIN_FILENO);
        dup2(log_fd, STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
        execl(MOSQUITTO_BIN, MOSQUITTO_BIN, "-c", conf.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(log_fd);
    if (pid < 0)
        return false;
    pid_ = pid;
    return true;
}

bool test_broker::wait_until_accepting()
{
    const auto deadline = std::chrono::steady_clock::now() + START_TIMEOUT;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) { // exited: port taken, bad config
            pid_ = -1;
            return false;
        }
        // Another test's broker may hold the port while ours fails to bind:
        // only our own broker's word that it runs makes the port ours.
        if (log().find(" running\n", log_mark_) != std::string::npos && accepts_connections(port_))
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

void test_broker::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    if (!wait_child_exit(pid_, STOP_TIMEOUT)) {
        kill(pid_, SIGKILL);
        wait_child_exit(pid_, STOP_TIMEOUT);
    }
    pid_ = -1;
}

void test_broker::pause()
{
    if (pid_ > 0)
        kill(pid_, SIGSTOP);
}

void test_broker::resume()
{
    if (pid_ > 0)
        kill(pid_, SIGCONT);
}

long test_broker::unread_bytes() const
{
    // Lines: "sl local rem st tx_queue:rx_queue ...", addresses as hex IP:PORT.
    char local_suffix[16];
    std::snprintf(local_suffix, sizeof local_suffix, ":%04X", port_);
    std::istringstream table(read_text_file("/proc/net/tcp"));
    std::string line;
    long unread = 0;
    std::getline(table, line); // header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const bool ours = local.size() > 5 && local.compare(local.size() - 5, 5, local_suffix) == 0;
        if (!ours || state != "01") // established connections to the broker
            continue;
        unread += std::strtol(queues.c_str() + queues.find(':') + 1, nullptr, 16);
    }
    return unread;
}

bool test_broker::restart()
{
    stop();
    for (int attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
        if (launch() && wait_until_accepting())
            return true;
        stop();
        std::this_thread::sleep_for(200ms); // the port may be held a moment longer
    }
    ADD_FAILURE() << "mosquitto did not restart on port " << port_ << "; its log:\n" << log();
    return false;
}

reserved_port::reserved_port()
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ADD_FAILURE() << "cannot reserve a loopback port: " << std::strerror(errno);
        return;
    }
    port_ = ntohs(addr.sin_port);
}

reserved_port::~reserved_port() { close(); }

std::string reserved_port::uri() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

bool reserved_port::listen() { return fd_ >= 0 && ::listen(fd_, 8) == 0; }

bool reserved_port::wait_for_connection(std::chrono::milliseconds timeout)
{
    pollfd p{fd_, POLLIN, 0};
    return fd_ >= 0 && poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

void reserved_port::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}
