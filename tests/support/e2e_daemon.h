// The host-simulation daemon (build/diag-gateway-sim) as a child process of
// an end-to-end test: its own config folder, CAN socket path and broker,
// standard output and error captured in a log file that the test waits on.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>
#include <sys/types.h>

struct e2e_daemon_options {
    std::string config_dir;  // DIAG_GW_CONFIG_DIR
    std::string can_socket;  // DIAG_GW_CAN_SOCKET
    std::string broker_uri;  // DIAG_GW_BROKER, e.g. tcp://127.0.0.1:18831
    std::string log_path;    // stdout and stderr of the daemon
    std::vector<std::string> environment; // further NAME=value entries
};

// The usual layout in `folder`: configs/, can.sock and daemon.log.
e2e_daemon_options e2e_daemon_layout(const std::string &folder, const std::string &broker_uri);

class e2e_daemon {
public:
    e2e_daemon() = default;
    ~e2e_daemon(); // stops the process if still running
    e2e_daemon(const e2e_daemon &) = delete;
    e2e_daemon &operator=(const e2e_daemon &) = delete;

    // Spawns DIAG_GATEWAY_SIM_BIN. False (with a reason in `error`) when the
    // process could not be started.
    bool start(const e2e_daemon_options &options, std::string &error);
    // SIGTERM, then SIGKILL if it has not ended within a few seconds.
    void stop();
    // Sends `signal_number` and waits up to `within` for the process to end:
    // its wait status, or nullopt when it still ran (it is killed then).
    std::optional<int> terminate(int signal_number, std::chrono::milliseconds within);
    // Waits up to `within` for the process to end by itself: its wait
    // status, or nullopt when it still runs.
    std::optional<int> wait_exit(std::chrono::milliseconds within);
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    const std::string &log_path() const { return options_.log_path; }
    std::string log() const;
    // Current end of the log: later waits can look only at what follows.
    std::size_t log_mark() const;
    // Waits until `text` appears in the log at or after `from`. Returns the
    // offset just past the match, or npos on timeout.
    std::size_t wait_for_log(const std::string &text, std::chrono::milliseconds timeout,
                             std::size_t from = 0) const;
    // Occurrences of `text` in the log at or after `from`.
    std::size_t count_in_log(const std::string &text, std::size_t from = 0) const;

    // CPU time (user + system) the process has used so far, from /proc.
    std::chrono::milliseconds cpu_time() const;

private:
    e2e_daemon_options options_;
    pid_t pid_ = -1;
};

// Writes config.json and default_config/default_config.json into `dir`.
bool e2e_write_config(const std::string &dir, const std::string &config_json,
                      const std::string &default_json);

// A configuration the test vehicles answer well: 500 kbit/s, fill byte 0xAA,
// a few live sensors, every trouble-code kind.
std::string e2e_standard_config();
