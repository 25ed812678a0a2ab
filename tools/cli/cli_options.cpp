#include "cli_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

using namespace std::chrono_literals;

struct action_name {
    std::string_view name;
    cli_action action;
};

constexpr action_name ACTIONS[] = {
    {"state", cli_action::state},     {"watch", cli_action::watch}, {"codes", cli_action::codes},
    {"readiness", cli_action::readiness}, {"freeze", cli_action::freeze}, {"live", cli_action::live},
    {"clear", cli_action::clear},     {"reload", cli_action::reload}, {"relay", cli_action::relay},
};

std::optional<long> parse_whole_number(const char *text, long low, long high)
{
    errno = 0;
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        return std::nullopt;
    return value;
}

// "HOST:PORT", "tcp://" in front allowed; the host may not be empty.
std::optional<std::string> broker_uri(std::string_view text)
{
    if (text.starts_with("tcp://"))
        text.remove_prefix(6);
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    const std::string port(text.substr(colon + 1));
    if (!parse_whole_number(port.c_str(), 1, 65535))
        return std::nullopt;
    return "tcp://" + std::string(text);
}

// The words after the action: "live [N]", "relay N on|off", nothing for the others.
bool parse_action_arguments(cli_options &options, int count, const char *const *words,
                            std::string &error)
{
    if (options.action == cli_action::live && count <= 1) {
        if (count == 1) {
            const auto n = parse_whole_number(words[0], 0, 1000000);
            if (!n) {
                error = std::string("live: N must be a whole number from 0 up, not \"") + words[0] + "\"";
                return false;
            }
            options.live_documents = static_cast<int>(*n);
        }
        return true;
    }
    if (options.action == cli_action::relay) {
        const auto relay = count == 2 ? parse_whole_number(words[0], 0, 11) : std::nullopt;
        const std::string_view level = count == 2 ? words[1] : "";
        if (!relay || (level != "on" && level != "off")) {
            error = "relay: give a relay number from 0 to 11 and on or off";
            return false;
        }
        options.relay = static_cast<int>(*relay);
        options.relay_on = level == "on";
        return true;
    }
    if (count == 0)
        return true;
    error = std::string("unexpected argument \"") + words[0] + "\"";
    return false;
}

// --broker X, --broker=X and the like: the value of `name` at argv[i] (i moves on).
const char *option_value(std::string_view name, int argc, const char *const *argv, int &i)
{
    const std::string_view word = argv[i];
    if (word.size() > name.size() && word.starts_with(name) && word[name.size()] == '=')
        return argv[i] + name.size() + 1;
    if (word == name && i + 1 < argc)
        return argv[++i];
    return nullptr;
}

} // namespace

const char *cli_usage_text()
{
    return "usage: diag-gateway-cli [--broker HOST:PORT] [--timeout S] [--json] COMMAND\n"
           "commands:\n"
           "  state            the daemon's state (online, CAN link, vehicle, relays)\n"
           "  watch            every message on the daemon's topics, until Ctrl-C\n"
           "  codes            stored, pending and permanent trouble codes\n"
           "  readiness        readiness monitors, MIL and code count\n"
           "  freeze           freeze frame 0 of the engine ECU\n"
           "  live [N]         N live data documents (default 5, 0: until Ctrl-C), then stop\n"
           "  clear            clear the trouble codes\n"
           "  reload           reload config.json and restart the CAN bring-up\n"
           "  relay N on|off   switch relay N (0 to 11)\n"
           "exit status: 0 answered, 1 answered with an error (NORES, COMER, NAK),\n"
           "             2 no answer in time, no broker or the daemon offline, 64 usage\n";
}

std::optional<cli_options> parse_cli_options(int argc, const char *const *argv,
                                             const char *default_broker, std::string &error)
{
    cli_options options;
    const std::string broker_text = default_broker && *default_broker ? default_broker : "127.0.0.1:1883";
    std::optional<std::string> broker = broker_uri(broker_text);
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string_view word = argv[i];
        if (word == "--help" || word == "-h") {
            error.clear();
            return std::nullopt;
        }
        if (word == "--json") {
            options.json = true;
        } else if (const char *value = option_value("--broker", argc, argv, i)) {
            broker = broker_uri(value);
            if (!broker) {
                error = std::string("--broker: HOST:PORT expected, not \"") + value + "\"";
                return std::nullopt;
            }
        } else if (const char *value = option_value("--timeout", argc, argv, i)) {
            char *end = nullptr;
            const double seconds = std::strtod(value, &end);
            if (end == value || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400) {
                error = std::string("--timeout: seconds above 0 expected, not \"") + value + "\"";
                return std::nullopt;
            }
            options.timeout = std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
        } else {
            error = "unknown option \"" + std::string(word) + "\"";
            return std::nullopt;
        }
    }
    if (!broker) {
        error = "DIAG_GW_BROKER: HOST:PORT expected, not \"" + broker_text + "\"";
        return std::nullopt;
    }
    options.broker_uri = *broker;
    if (i >= argc) {
        error = "no command given";
        return std::nullopt;
    }
    const std::string_view name = argv[i];
    const action_name *found = nullptr;
    for (const action_name &a : ACTIONS)
        if (a.name == name)
            found = &a;
    if (!found) {
        error = "unknown command \"" + std::string(name) + "\"";
        return std::nullopt;
    }
    options.action = found->action;
    if (!parse_action_arguments(options, argc - i - 1, argv + i + 1, error))
        return std::nullopt;
    return options;
}

std::chrono::milliseconds cli_default_timeout(cli_action action)
{
    switch (action) {
    case cli_action::state:
        return 5s; // a retained state comes with the subscription
    case cli_action::relay:
        return 10s;
    case cli_action::live:
        return 30s; // to each next document (the first follows a sensor scan)
    case cli_action::clear:
        return 180s; // four attempts with response-pending waits: about two minutes
    case cli_action::reload:
        return 120s; // the whole bring-up, a slow vehicle-information read included
    default:
        return 90s; // codes, readiness, freeze: four attempts of 10 s per ECU, about 45 s for one
    }
}
