#include "obd2/live_data.h"

#include "handover/thread_handover.h"
#include "obd2/dialect/obd_dialect.h"
#include "obd2/isotp.h"
#include "obd2/obd2_types.h"
#include "obd2/pid_catalogue.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>

char json_output[JSON_OUTPUT_SIZE];

namespace {

// Keeps the ECU from being flooded: the only pacing of a live data stream.
constexpr auto LIVE_REQUEST_PAUSE = std::chrono::milliseconds(100);
constexpr std::size_t LIVE_LINE_SIZE = 128;

struct live_reading {
    float value;
    int read;
};

// Asks for one PID; true with the converted value when it answered.
bool read_live_pid(const ecu_entry &ecu, std::uint8_t pid, float *value)
{
    std::uint8_t req[OBD2_REQUEST_SIZE] = {};
    if (!build_obd_request(ecu.dialect, obd_question::pid_value, req, pid)) {
        std::puts("OBD2_ERROR : Error while creating request for live mode.");
        return false;
    }
    std::uint8_t resp[OBD2_RESPONSE_SIZE] = {};
    std::uint64_t resp_len = 0;
    int rc = send_paced_pid_request(ecu, req, resp, &resp_len, REQ_KIND_LIVE);
    if (rc != 0)
        return false;
    // Fill bytes of a single frame are no data: a short answer must not
    // convert them into a value.
    std::size_t len = answer_length(resp, clamp_response_length(resp_len));
    obd_item item{};
    if (!decode_pid_answer(ecu.dialect, resp, len, pid, item))
        return false;

    std::printf("response of live request (PID %X):\n", pid);
    print_bytes(resp, len, " [ %X ] ");
    std::printf("\n\n");
    *value = physical_value_of_data(pid, item.data, item.size);
    return true;
}

// Appends `text` to json_output unless it would not fit.
bool append_output(std::size_t *used, const char *text)
{
    std::size_t len = std::strlen(text);
    if (*used + len >= sizeof json_output)
        return false;
    std::memcpy(json_output + *used, text, len + 1);
    *used += len;
    return true;
}

bool append_entry_line(std::size_t *used, const supported_pid &entry, const live_reading &reading, bool last)
{
    char line[LIVE_LINE_SIZE];
    const char *separator = last ? "" : ",";
    char value[PID_VALUE_TEXT_SIZE];
    format_pid_value(value, sizeof value, reading.value);
    int n = reading.read
                ? std::snprintf(line, sizeof line, "    \"%s\": %s%s\n", entry.name.c_str(), value, separator)
                : std::snprintf(line, sizeof line, "    \"%s\": \"%s\"%s\n", entry.name.c_str(), PID_NO_VALUE,
                                separator);
    // A cut line would break the document.
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof line)
        return false;
    return append_output(used, line);
}

// The whole message, or false when it does not fit json_output.
bool write_live_message(const live_reading *readings, int count)
{
    std::size_t used = 0;
    if (!append_output(&used, "{\n  \"TYP\": 1,\n  \"CMD\": 2,\n  \"DATA\": {\n"))
        return false;
    for (int i = 0; i < count; ++i) {
        if (!append_entry_line(&used, supported_pids[i], readings[i], i == count - 1))
            return false;
    }
    return append_output(&used, "  }\n}");
}

} // namespace

int send_paced_pid_request(const ecu_entry &ecu, const std::uint8_t *req, std::uint8_t *resp,
                           std::uint64_t *resp_len, int req_kind)
{
    int rc = send_obd2_request(ecu, req, OBD2_REQUEST_SIZE, resp, resp_len, req_kind);
    obd_sleep(LIVE_REQUEST_PAUSE);
    return rc;
}

ecu_reply pid_reply(int rc, const std::uint8_t *resp, std::uint64_t resp_len, std::size_t min_payload)
{
    if (rc == -1)
        return ecu_reply::silent;
    if (rc == -2)
        return ecu_reply::unusable;
    std::size_t len = answer_length(resp, clamp_response_length(resp_len));
    return len >= 1 + min_payload ? ecu_reply::answered : ecu_reply::unusable;
}

char *handle_live_mode(int /*unused*/, const ecu_entry &ecu)
{
    std::array<live_reading, MAX_SUPPORTED_PIDS> readings{};
    std::memset(json_output, 0, sizeof json_output);
    int count = std::clamp(g_supported_pid_count, 0, MAX_SUPPORTED_PIDS);
    std::printf("pid count : %d\n", g_supported_pid_count);

    int answered = 0;
    for (int i = 0; i < count; ++i) {
        if (read_live_pid(ecu, supported_pids[i].pid, &readings[i].value)) {
            readings[i].read = 1;
            ++answered;
        }
    }
    if (answered == 0) {
        std::memset(json_output, 0, sizeof json_output);
        return nullptr;
    }
    if (!write_live_message(readings.data(), count)) {
        std::memset(json_output, 0, sizeof json_output);
        std::puts("OBD2_ERROR : Live data message does not fit its buffer.");
        return nullptr;
    }
    std::printf("printing packet before sending (live packet) : %s\n", json_output);
    return json_output;
}
