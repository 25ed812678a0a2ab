#include "obd2/dialect/obd_dialect.h"

#include "obd2/config_file.h"
#include "obd2/isotp.h"

#include <array>
#include <cstring>

namespace {

// How one dialect asks one question: the service byte, the fixed bytes behind
// it, and how many argument bytes follow them.
struct request_form {
    bool exists;
    std::uint8_t service;
    std::uint8_t fixed[3];
    std::uint8_t fixed_count;
    std::uint8_t arg_count;
};

constexpr std::size_t QUESTION_COUNT = 10;

// Rows in the order of obd_question.
constexpr std::array<request_form, QUESTION_COUNT> CLASSIC_FORMS{{
    {true, 0x01, {}, 0, 1},  // pid_value
    {true, 0x09, {}, 0, 1},  // vehicle_info
    {true, 0x03, {}, 0, 0},  // stored_codes
    {true, 0x07, {}, 0, 0},  // pending_codes
    {true, 0x0A, {}, 0, 0},  // permanent_codes
    {false, 0, {}, 0, 0},    // codes_by_status
    {true, 0x04, {}, 0, 0},  // clear_codes
    {true, 0x02, {}, 0, 2},  // frame_pid
    {false, 0, {}, 0, 0},    // snapshot_list
    {false, 0, {}, 0, 0},    // snapshot
}};

constexpr std::uint8_t DID_OBD_DATA = 0xF4;     // F4xx: a PID's value
constexpr std::uint8_t DID_VEHICLE_INFO = 0xF8; // F8xx: a vehicle information item
constexpr std::uint8_t DTC_GROUP_EMISSIONS = 0x33; // functional group of the OBD codes
constexpr std::uint8_t ALL_SEVERITIES = 0xFF;

constexpr std::array<request_form, QUESTION_COUNT> UDS_FORMS{{
    {true, 0x22, {DID_OBD_DATA}, 1, 1},                    // pid_value
    {true, 0x22, {DID_VEHICLE_INFO}, 1, 1},                // vehicle_info
    {false, 0, {}, 0, 0},                                  // stored_codes
    {false, 0, {}, 0, 0},                                  // pending_codes
    {true, 0x19, {0x55, DTC_GROUP_EMISSIONS}, 2, 0},       // permanent_codes
    {true, 0x19, {0x42, DTC_GROUP_EMISSIONS}, 2, 2},       // codes_by_status: mask, severity
    {true, 0x14, {0xFF, 0xFF, DTC_GROUP_EMISSIONS}, 3, 0}, // clear_codes
    {false, 0, {}, 0, 0},                                  // frame_pid
    {true, 0x19, {0x03}, 1, 0},                            // snapshot_list
    {true, 0x19, {0x04}, 1, 4},                            // snapshot: code, record
}};

const request_form &form_of(obd_dialect dialect, obd_question question)
{
    const auto &forms = dialect == obd_dialect::uds ? UDS_FORMS : CLASSIC_FORMS;
    return forms[static_cast<std::size_t>(question) % QUESTION_COUNT];
}

bool is_positive(const std::uint8_t *resp, std::size_t len, std::uint8_t service, std::size_t min_len)
{
    return resp != nullptr && len >= min_len && resp[1] == static_cast<std::uint8_t>(service + 0x40);
}

// Answer bytes after answer_length (a single frame's fill bytes are not part of it).
std::size_t answer_bytes(const std::uint8_t *resp, std::size_t len)
{
    return answer_length(resp, clamp_response_length(len));
}

// Classic: 41/49 <id> data (data at byte 3); uds: 62 <DID high> <id> data (byte 4).
bool decode_item(obd_dialect dialect, const std::uint8_t *resp, std::size_t len, std::uint8_t classic_service,
                 std::uint8_t did_high, std::uint8_t id, obd_item &item)
{
    len = answer_bytes(resp, len);
    const bool uds = dialect == obd_dialect::uds;
    const std::size_t data_at = uds ? 4 : 3;
    if (!is_positive(resp, len, uds ? 0x22 : classic_service, data_at))
        return false;
    if ((uds && resp[2] != did_high) || resp[data_at - 1] != id)
        return false;
    item = obd_item{id, resp + data_at, len - data_at};
    return true;
}

// Records of `record_size` bytes from `first` on; the code bytes at `code_at`.
bool decode_records(const std::uint8_t *resp, std::size_t len, std::size_t first, std::size_t record_size,
                    std::size_t code_at, dtc_records &out)
{
    out.count = 0;
    if ((len - first) % record_size != 0)
        return false;
    for (std::size_t at = first; at + record_size <= len && out.count < DTC_RECORDS_MAX; at += record_size) {
        const std::uint8_t *r = resp + at + code_at;
        out.items[out.count++] = dtc_record{r[0], r[1], r[2], r[3]};
    }
    return true;
}

} // namespace

bool build_obd_request(obd_dialect dialect, obd_question question, const std::uint8_t *args,
                       std::size_t arg_count, std::uint8_t fill, std::uint8_t *req)
{
    const request_form &form = form_of(dialect, question);
    if (!form.exists || req == nullptr || arg_count != form.arg_count || (arg_count > 0 && args == nullptr))
        return false;
    std::size_t at = 1;
    req[at++] = form.service;
    for (std::size_t i = 0; i < form.fixed_count; ++i)
        req[at++] = form.fixed[i];
    for (std::size_t i = 0; i < arg_count; ++i)
        req[at++] = args[i];
    req[0] = static_cast<std::uint8_t>(at - 1);
    std::memset(req + at, fill, OBD2_REQUEST_SIZE - at);
    return true;
}

bool build_obd_request(obd_dialect dialect, obd_question question, std::uint8_t *req, int arg)
{
    const std::uint8_t byte = static_cast<std::uint8_t>(arg & 0xFF);
    return build_obd_request(dialect, question, &byte, arg < 0 ? 0 : 1,
                             static_cast<std::uint8_t>(g_can_padding & 0xFF), req);
}

bool decode_pid_answer(obd_dialect dialect, const std::uint8_t *resp, std::size_t len, std::uint8_t pid,
                       obd_item &item)
{
    return decode_item(dialect, resp, len, 0x01, DID_OBD_DATA, pid, item);
}

bool passed_pid_answer(obd_dialect dialect, const isotp_passed_answer &answer, std::uint8_t *pid)
{
    if (dialect == obd_dialect::uds) {
        *pid = answer.detail;
        return answer.service == 0x62 && answer.parameter == DID_OBD_DATA;
    }
    *pid = answer.parameter;
    return answer.service == 0x41;
}

bool decode_info_answer(obd_dialect dialect, const std::uint8_t *resp, std::size_t len,
                        std::uint8_t info_type, obd_item &item)
{
    return decode_item(dialect, resp, len, 0x09, DID_VEHICLE_INFO, info_type, item);
}

bool decode_codes_by_status(const std::uint8_t *resp, std::size_t len, dtc_records &out)
{
    constexpr std::size_t first_record = 7; // len, 59 42 33 availability severities format
    len = answer_bytes(resp, len);
    out.count = 0;
    if (!is_positive(resp, len, 0x19, first_record) || resp[2] != 0x42 || resp[3] != DTC_GROUP_EMISSIONS)
        return false;
    return decode_records(resp, len, first_record, 5, 1, out);
}

bool decode_permanent_codes(const std::uint8_t *resp, std::size_t len, dtc_records &out)
{
    constexpr std::size_t first_record = 6; // len, 59 55 33 availability format
    len = answer_bytes(resp, len);
    out.count = 0;
    if (!is_positive(resp, len, 0x19, first_record) || resp[2] != 0x55 || resp[3] != DTC_GROUP_EMISSIONS)
        return false;
    return decode_records(resp, len, first_record, 4, 0, out);
}

bool decode_snapshot_list(const std::uint8_t *resp, std::size_t len, snapshot_id &chosen, bool &found)
{
    constexpr std::size_t first_record = 3; // len, 59 03
    constexpr std::size_t record_size = 4;
    len = answer_bytes(resp, len);
    found = false;
    if (!is_positive(resp, len, 0x19, first_record) || resp[2] != 0x03 || (len - first_record) % record_size != 0)
        return false;
    for (std::size_t at = first_record; at + record_size <= len; at += record_size) {
        const snapshot_id id{{resp[at], resp[at + 1], resp[at + 2]}, resp[at + 3]};
        if (!found || (id.record == 0 && chosen.record != 0))
            chosen = id;
        found = true;
    }
    return true;
}

bool decode_snapshot(const std::uint8_t *resp, std::size_t len, const snapshot_id &asked,
                     did_length_fn length_of, snapshot_values &out)
{
    constexpr std::size_t first_did = 9; // len, 59 04 code(3) status record count
    len = answer_bytes(resp, len);
    out.count = 0;
    if (!is_positive(resp, len, 0x19, first_did) || resp[2] != 0x04 || std::memcmp(resp + 3, asked.code, 3) != 0)
        return false;
    const int announced = resp[first_did - 1];
    std::size_t at = first_did;
    for (int n = 0; n < announced && at + 2 <= len && out.count < SNAPSHOT_VALUES_MAX; ++n) {
        const std::uint16_t did = static_cast<std::uint16_t>(resp[at] << 8 | resp[at + 1]);
        const std::size_t size = length_of != nullptr ? length_of(did) : 0;
        if (resp[at] != DID_OBD_DATA || size == 0 || at + 2 + size > len)
            break; // unknown or cut short: keep what was read
        out.items[out.count++] = obd_item{resp[at + 1], resp + at + 2, size};
        at += 2 + size;
    }
    return true;
}
