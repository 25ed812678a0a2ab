#include "cli_render.h"

#include <algorithm>
#include <ctime>

namespace {

constexpr int LIVE_COLUMN = 9;

const char *text_or(const cJSON *item, const char *fallback)
{
    return cJSON_IsString(item) ? item->valuestring : fallback;
}

// A value as the daemon wrote it: two decimals, or its text ("--").
std::string value_text(const cJSON *item)
{
    if (cJSON_IsNumber(item)) {
        char text[48];
        std::snprintf(text, sizeof text, "%.2f", item->valuedouble);
        return text;
    }
    return cJSON_IsString(item) ? item->valuestring : "?";
}

std::string joined_strings(const cJSON *array)
{
    std::string text;
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, array)
    {
        if (!text.empty())
            text += ' ';
        text += text_or(item, "?");
    }
    return text.empty() ? "none" : text;
}

void print_ecu_line(FILE *out, const cJSON *ecu)
{
    if (!cJSON_IsObject(ecu)) {
        std::fprintf(out, "Vehicle: none known\n");
        return;
    }
    const char *vin = text_or(cJSON_GetObjectItemCaseSensitive(ecu, "VIN"), "");
    std::fprintf(out, "Vehicle: engine ECU %s, %s, VIN %s\n",
                 text_or(cJSON_GetObjectItemCaseSensitive(ecu, "ADDR"), "?"),
                 text_or(cJSON_GetObjectItemCaseSensitive(ecu, "PROTO"), "?"), *vin ? vin : "(none given)");
}

void print_relays_line(FILE *out, const cJSON *relays)
{
    std::string on;
    const cJSON *relay = nullptr;
    cJSON_ArrayForEach(relay, relays)
    {
        if (cJSON_IsNumber(relay) && relay->valueint != 0)
            on += std::string(on.empty() ? "" : " ") + relay->string;
    }
    std::fprintf(out, "Relays:  %s\n", cJSON_IsObject(relays) ? (on.empty() ? "all off" : ("on: " + on).c_str())
                                                               : "unknown");
}

} // namespace

std::string one_line_json(std::string_view payload)
{
    std::string line;
    line.reserve(payload.size());
    bool in_string = false;
    bool escaped = false;
    for (char c : payload) {
        if (in_string) {
            in_string = escaped || c != '"';
            escaped = !escaped && c == '\\';
        } else if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
            continue;
        } else {
            in_string = c == '"';
        }
        line += c;
    }
    return line;
}

std::string local_time_text(std::chrono::system_clock::time_point when)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
    std::tm local = {};
    localtime_r(&seconds, &local);
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%03lld", static_cast<long long>(millis));
    return text;
}

void print_state(FILE *out, const cJSON *state)
{
    const cJSON *online = cJSON_GetObjectItemCaseSensitive(state, "ONLINE");
    std::fprintf(out, "Daemon:  %s\n", cJSON_IsNumber(online) && online->valueint == 1 ? "online" : "offline");
    if (!cJSON_IsNumber(online) || online->valueint != 1)
        return;
    std::fprintf(out, "CAN:     %s\n", text_or(cJSON_GetObjectItemCaseSensitive(state, "LINK"), "?"));
    print_ecu_line(out, cJSON_GetObjectItemCaseSensitive(state, "ECU"));
    std::fprintf(out, "Config:  %s\n", text_or(cJSON_GetObjectItemCaseSensitive(state, "CONFIG"), "?"));
    const cJSON *busy = cJSON_GetObjectItemCaseSensitive(state, "BUSY");
    if (cJSON_IsNumber(busy) && busy->valueint != 0)
        std::fprintf(out, "Busy:    CMD %d\n", busy->valueint);
    else
        std::fprintf(out, "Busy:    idle\n");
    print_relays_line(out, cJSON_GetObjectItemCaseSensitive(state, "RELAYS"));
}

void print_codes(FILE *out, const cJSON *data)
{
    std::fprintf(out, "Stored:    %s\n", joined_strings(cJSON_GetObjectItemCaseSensitive(data, "STRDTC")).c_str());
    std::fprintf(out, "Pending:   %s\n", joined_strings(cJSON_GetObjectItemCaseSensitive(data, "PNDDTC")).c_str());
    std::fprintf(out, "Permanent: %s\n", joined_strings(cJSON_GetObjectItemCaseSensitive(data, "PRMDTC")).c_str());
}

void print_readiness(FILE *out, const cJSON *data)
{
    const cJSON *mil = cJSON_GetObjectItemCaseSensitive(data, "MIL");
    const cJSON *count = cJSON_GetObjectItemCaseSensitive(data, "DTC_COUNT");
    std::fprintf(out, "MIL: %s   Confirmed codes: %d   Ignition: %s\n",
                 cJSON_IsNumber(mil) && mil->valueint ? "on" : "off", cJSON_IsNumber(count) ? count->valueint : 0,
                 text_or(cJSON_GetObjectItemCaseSensitive(data, "IGNITION"), "?"));
    const cJSON *monitor = nullptr;
    cJSON_ArrayForEach(monitor, cJSON_GetObjectItemCaseSensitive(data, "MONITORS"))
    {
        std::fprintf(out, "  %-20s %s\n", monitor->string, text_or(monitor, "?"));
    }
}

void print_freeze_frame(FILE *out, const cJSON *data)
{
    const char *dtc = text_or(cJSON_GetObjectItemCaseSensitive(data, "DTC"), "");
    if (!*dtc) {
        std::fprintf(out, "No freeze frame stored.\n");
        return;
    }
    std::fprintf(out, "Freeze frame stored by %s\n", dtc);
    const cJSON *value = nullptr;
    cJSON_ArrayForEach(value, cJSON_GetObjectItemCaseSensitive(data, "VALUES"))
    {
        std::fprintf(out, "  %-9s %10s\n", value->string, value_text(value).c_str());
    }
}

std::vector<std::string> live_keys(const cJSON *data)
{
    std::vector<std::string> keys;
    const cJSON *value = nullptr;
    cJSON_ArrayForEach(value, data)
    {
        keys.emplace_back(value->string);
    }
    return keys;
}

void print_live_header(FILE *out, const std::vector<std::string> &keys)
{
    const char *gap = "";
    for (const std::string &key : keys) {
        std::fprintf(out, "%s%*s", gap, std::max<int>(LIVE_COLUMN, static_cast<int>(key.size())), key.c_str());
        gap = " ";
    }
    std::fprintf(out, "\n");
}

void print_live_row(FILE *out, const std::vector<std::string> &keys, const cJSON *data)
{
    const char *gap = "";
    for (const std::string &key : keys) {
        std::fprintf(out, "%s%*s", gap, std::max<int>(LIVE_COLUMN, static_cast<int>(key.size())),
                     value_text(cJSON_GetObjectItemCaseSensitive(data, key.c_str())).c_str());
        gap = " ";
    }
    std::fprintf(out, "\n");
    std::fflush(out);
}
