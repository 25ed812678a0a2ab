#include "e2e_daemon.h"

#include "child_process.h"
#include "temp_dir.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using namespace std::chrono_literals;

// Does the entry NAME=value set one of the names in `entries`?
bool sets_name_of(const char *entry, const std::vector<std::string> &entries)
{
    const std::string_view name(entry, std::strcspn(entry, "="));
    return std::any_of(entries.begin(), entries.end(), [&](const std::string &e) {
        return e.size() > name.size() && e.compare(0, name.size(), name) == 0 && e[name.size()] == '=';
    });
}

// The seams and the test's own entries are the test's; a service manager's
// sockets (the test program itself may run under one) are not the daemon's.
bool inherited(const char *entry, const e2e_daemon_options &o)
{
    for (const char *prefix : {"DIAG_GW_", "NOTIFY_SOCKET=", "WATCHDOG_"}) {
        if (std::strncmp(entry, prefix, std::strlen(prefix)) == 0)
            return false;
    }
    return !sets_name_of(entry, o.environment);
}

// The daemon's environment: ours, with the three seams replaced, and the
// test's own entries.
std::vector<std::string> daemon_environment(const e2e_daemon_options &o)
{
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        if (inherited(*e, o))
            env.emplace_back(*e);
    }
    env.push_back("DIAG_GW_CONFIG_DIR=" + o.config_dir);
    env.push_back("DIAG_GW_CAN_SOCKET=" + o.can_socket);
    env.push_back("DIAG_GW_BROKER=" + o.broker_uri);
    env.insert(env.end(), o.environment.begin(), o.environment.end());
    return env;
}

} // namespace

e2e_daemon_options e2e_daemon_layout(const std::string &folder, const std::string &broker_uri)
{
    e2e_daemon_options options;
    options.config_dir = folder + "/configs";
    options.can_socket = folder + "/can.sock";
    options.broker_uri = broker_uri;
    options.log_path = folder + "/daemon.log";
    return options;
}

e2e_daemon::~e2e_daemon() { stop(); }

bool e2e_daemon::start(const e2e_daemon_options &options, std::string &error)
{
    options_ = options;
    std::vector<std::string> env = daemon_environment(options);
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    char program[] = DIAG_GATEWAY_SIM_BIN;
    char *argv[] = {program, nullptr};

    const int log_fd = open(options.log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (log_fd < 0 || null_fd < 0) {
        error = "cannot open " + options.log_path + ": " + std::strerror(errno);
        return false;
    }
    // fork rather than posix_spawn: the daemon must die with the test program
    // (PR_SET_PDEATHSIG) even when a crash or a time-out skips our destructor.
    // Only async-signal-safe calls between fork and exec.
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(null_fd, STDIN_FILENO);
        dup2(log_fd, STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
        execve(program, argv, envp.data());
        _exit(127);
    }
    close(log_fd);
    close(null_fd);
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    pid_ = pid;
    return true;
}

void e2e_daemon::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    if (!wait_child_exit(pid_, 5s)) {
        kill(pid_, SIGKILL);
        wait_child_exit(pid_, 5s);
    }
    pid_ = -1;
}

std::optional<int> e2e_daemon::terminate(int signal_number, std::chrono::milliseconds within)
{
    if (pid_ <= 0)
        return std::nullopt;
    kill(pid_, signal_number);
    int status = 0;
    if (wait_child_exit(pid_, within, &status)) {
        pid_ = -1;
        return status;
    }
    stop();
    return std::nullopt;
}

std::optional<int> e2e_daemon::wait_exit(std::chrono::milliseconds within)
{
    int status = 0;
    if (pid_ <= 0 || !wait_child_exit(pid_, within, &status))
        return std::nullopt;
    pid_ = -1;
    return status;
}

std::string e2e_daemon::log() const { return read_text_file(options_.log_path); }

std::size_t e2e_daemon::log_mark() const { return log().size(); }

std::size_t e2e_daemon::wait_for_log(const std::string &text, std::chrono::milliseconds timeout,
                                     std::size_t from) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::string content = log();
        if (from <= content.size()) {
            std::size_t at = content.find(text, from);
            if (at != std::string::npos)
                return at + text.size();
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::string::npos;
        std::this_thread::sleep_for(20ms);
    }
}

std::size_t e2e_daemon::count_in_log(const std::string &text, std::size_t from) const
{
    const std::string content = log();
    std::size_t count = 0;
    for (std::size_t at = content.find(text, from); at != std::string::npos;
         at = content.find(text, at + text.size()))
        ++count;
    return count;
}

std::chrono::milliseconds e2e_daemon::cpu_time() const
{
    if (pid_ <= 0)
        return 0ms;
    const std::string stat = read_text_file("/proc/" + std::to_string(pid_) + "/stat");
    // Fields after the command name, which is in parentheses and may hold blanks.
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0ms;
    std::vector<std::string> fields;
    std::size_t pos = close + 2;
    while (pos < stat.size()) {
        std::size_t end = stat.find(' ', pos);
        if (end == std::string::npos)
            end = stat.size();
        fields.push_back(stat.substr(pos, end - pos));
        pos = end + 1;
    }
    // fields[0] is field 3 (state); utime and stime are fields 14 and 15.
    if (fields.size() < 13)
        return 0ms;
    const long ticks = sysconf(_SC_CLK_TCK);
    const long long used = std::stoll(fields[11]) + std::stoll(fields[12]);
    return std::chrono::milliseconds(used * 1000 / ticks);
}

bool e2e_write_config(const std::string &dir, const std::string &config_json,
                      const std::string &default_json)
{
    return write_text_file(dir + "/config.json", config_json) &&
           write_text_file(dir + "/default_config/default_config.json", default_json);
}

std::string e2e_standard_config()
{
    return R"({
    "can_port": { "padding": 170, "BR": 500000 },
    "live_page": {
        "sensors": [
            { "name": "ENGRPM", "show": 1 },
            { "name": "SPD", "show": 1 },
            { "name": "COLTMP", "show": 1 }
        ]
    },
    "show_dtc": { "STRDTC": 1, "PNDDTC": 1, "PRMDTC": 1 }
}
)";
}
