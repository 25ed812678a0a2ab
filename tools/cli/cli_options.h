// The command line of diag-gateway-cli: what to do, where the broker is, how
// long to wait, how to print.
#pragma once

#include <chrono>
#include <optional>
#include <string>

enum class cli_action { state, watch, codes, readiness, freeze, live, clear, reload, relay };

struct cli_options {
    std::string broker_uri;                      // "tcp://HOST:PORT"
    std::optional<std::chrono::milliseconds> timeout; // --timeout, else the action's default
    bool json = false;
    cli_action action = cli_action::state;
    int live_documents = 5;                      // live [N]; 0: until interrupted
    int relay = -1;                              // relay N
    bool relay_on = false;
};

// Exit statuses, also in the man page.
constexpr int CLI_EXIT_ANSWERED = 0;
constexpr int CLI_EXIT_ERROR_ANSWER = 1; // NORES, COMER, NAK
constexpr int CLI_EXIT_NO_ANSWER = 2;    // no answer in time, no broker, daemon offline
constexpr int CLI_EXIT_USAGE = 64;       // as sysexits' EX_USAGE: a typo is not an offline daemon

const char *cli_usage_text();

// The options, or nullopt with the reason in `error` (empty for --help).
// `default_broker` comes from DIAG_GW_BROKER when set, as for the daemon.
std::optional<cli_options> parse_cli_options(int argc, const char *const *argv,
                                             const char *default_broker, std::string &error);

// How long an action waits for its terminal answer when --timeout is not given:
// longer than the daemon's longest way to it (its retries included).
std::chrono::milliseconds cli_default_timeout(cli_action action);
