// Vehicle profiles: JSON text -> ecu_profile, with an error naming the member
// at fault. Members (all optional except where noted):
//
//   "name", "addressing": "11bit" | "29bit", "functional_id", "fill_byte",
//   "padding": bool, "fc_timeout_ms", "max_fc_waits",
//   "obd_on_uds": bool, "info_item_count": bool,
//   "ecus": [ node, ... ]   or the members of one node at top level
//
//   node: "name", "response_id", "physical_id",
//         "pids": { "0C": "0C 80" | ["0C 80", "0F A0", ...] },
//         "vin", "calibration_id", "cvn" (hex), "ecu_name",
//         "info": { "0B": "01 02 03" },
//         "dtcs": { "stored": ["P0133", "41 23", [65, 35], "03011F"], "pending": [...], "permanent": [...] },
//         "clear": { "pending_answers": 2, "result": "positive" | "refuse" | "silent", "nrc": "0x22",
//                    "final_after_ms": 200 },
//         "readiness": { "ignition": "spark" | "compression", "mil": true,
//                        "complete": ["MISFIRE", "CATALYST"], "incomplete": ["EVAP_SYSTEM"] },
//         "freeze_frame": { "dtc": "0420" | "P0420" | "04201F", "record": 0,
//                           "pids": { "0C": "0D48", "05": "82" } },
//         "rules": [ { "request": "01 0C", "nrc": "0x12" | "silent": true |
//                      "response": "41 0C 0C 80" | "responses": [...],
//                      "pending_ms": 300, "times": 1 } ],
//         "delay_ms": 8, "delays_ms": { "04": 50, "09 02": 200 }
//
// A rule with "pending_ms" answers 7F <service> 78 first and its final
// answer that many ms later on its own (the rule's "response" or "nrc", or,
// with neither, the built-in one); a rule with "times" holds for that many
// matching requests, after which later rules and the built-in answers do:
// {"request": "02 02", "nrc": "0x21", "times": 1} is busy once.
//
// Numbers may be JSON numbers or strings ("0x7E8", "2024"); byte strings are
// hexadecimal, spaces allowed, or arrays of numbers.
//
// "obd_on_uds": true makes every ECU of the vehicle answer OBD through UDS,
// from the same data, and stay silent to the classic services (01 02 03 04
// 07 09 0A; no refusal either). Requests and answers:
//   22 F4xx         -> 62 F4xx <the data bytes of 41 xx>; bitmaps at F400,
//                      F420, F440, F460; readiness at F401
//   22 F8xx         -> 62 F8xx <the data of 49 xx>, without the item count
//                      unless "info_item_count": true (bitmaps never have one)
//                      (several DIDs in one request are answered together;
//                      none of them known: 7F 22 31)
//   19 42 33 <status mask> <severity mask>
//                   -> 59 42 33 FF E0 04, then {20, code high, code low,
//                      failure type, status} for each record with a status
//                      bit in the mask; status 08 stored (confirmed), 04
//                      pending, one record for a code that is both
//   19 55 33        -> 59 55 33 FF 04, then {code high, code low, failure
//                      type, status} per permanent code
//   19 03           -> 59 03, then {code high, low, failure type, "record"}
//                      when the freeze frame has a code
//   19 04 <code high low failure type> <record or FF>
//                   -> 59 04 <code> <status> <record> <number of DIDs>, then
//                      {F4 <PID>, data} per frozen PID
//   14 FF FF 33     -> 54, after the "clear" member's 7F 14 78 answers
// A code's failure type is its third byte ("03011F"; 00 without one); the
// classic services ignore it. Other groups: 7F 19 31 / 7F 14 31; another
// snapshot code or record: 7F 19 31; other 19 sub-functions: 7F 19 12;
// wrong lengths: 7F <service> 13.
#include "ecu_sim.h"

#include "c_handles.h"

#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr std::size_t MAX_PAYLOAD = 4095;
constexpr std::size_t MAX_ECUS = 8;
constexpr std::size_t CALIBRATION_ID_SIZE = 16;
constexpr std::size_t ECU_NAME_SIZE = 20;

struct load_error {
    std::string text;
};

[[noreturn]] void fail(const std::string &where, const std::string &what) { throw load_error{where + ": " + what}; }

std::uint32_t read_number(const cJSON *item, const std::string &where, std::uint32_t max)
{
    double value = -1;
    if (cJSON_IsNumber(item)) {
        value = item->valuedouble;
    } else if (cJSON_IsString(item) && item->valuestring[0] != '\0') {
        char *end = nullptr;
        value = static_cast<double>(std::strtoull(item->valuestring, &end, 0));
        if (*end != '\0' || item->valuestring[0] == '-')
            fail(where, "not a number");
    } else {
        fail(where, "not a number");
    }
    if (value < 0 || value > max || value != std::floor(value))
        fail(where, "out of range (0.." + std::to_string(max) + ")");
    return static_cast<std::uint32_t>(value);
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

byte_vector read_hex_text(const char *text, const std::string &where)
{
    byte_vector bytes;
    int high = -1;
    for (const char *p = text; *p; ++p) {
        if (std::isspace(static_cast<unsigned char>(*p)))
            continue;
        int digit = hex_digit(*p);
        if (digit < 0)
            fail(where, "not hexadecimal bytes");
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0)
        fail(where, "odd number of hexadecimal digits");
    return bytes;
}

byte_vector read_bytes(const cJSON *item, const std::string &where)
{
    byte_vector bytes;
    if (cJSON_IsString(item)) {
        bytes = read_hex_text(item->valuestring, where);
    } else if (cJSON_IsArray(item)) {
        const cJSON *element;
        cJSON_ArrayForEach(element, item) bytes.push_back(static_cast<std::uint8_t>(read_number(element, where, 0xFF)));
    } else {
        fail(where, "expected hexadecimal text or an array of bytes");
    }
    if (bytes.size() > MAX_PAYLOAD)
        fail(where, "longer than 4095 bytes");
    return bytes;
}

// Object keys naming a byte ("0C") or a byte string ("09 02") in hexadecimal.
byte_vector read_key_bytes(const cJSON *item, const std::string &where)
{
    byte_vector bytes = read_hex_text(item->string, where + "." + item->string);
    if (bytes.empty())
        fail(where + "." + item->string, "empty key");
    return bytes;
}

std::uint8_t read_key_byte(const cJSON *item, const std::string &where)
{
    byte_vector bytes = read_key_bytes(item, where);
    if (bytes.size() != 1)
        fail(where + "." + item->string, "key must be one hexadecimal byte");
    return bytes[0];
}

bool read_bool(const cJSON *item, const std::string &where)
{
    if (!cJSON_IsBool(item))
        fail(where, "expected true or false");
    return cJSON_IsTrue(item);
}

const char *read_text(const cJSON *item, const std::string &where)
{
    if (!cJSON_IsString(item))
        fail(where, "expected a text");
    return item->valuestring;
}

void read_pids(const cJSON *pids, ecu_node_profile &node, const std::string &where)
{
    if (!cJSON_IsObject(pids))
        fail(where, "expected an object");
    const cJSON *entry;
    cJSON_ArrayForEach(entry, pids)
    {
        std::uint8_t pid = read_key_byte(entry, where);
        std::string at = where + "." + entry->string;
        std::vector<byte_vector> values;
        if (cJSON_IsArray(entry) && cJSON_GetArraySize(entry) > 0 && cJSON_IsString(cJSON_GetArrayItem(entry, 0))) {
            const cJSON *value;
            cJSON_ArrayForEach(value, entry) values.push_back(read_bytes(value, at));
        } else {
            values.push_back(read_bytes(entry, at));
        }
        for (const byte_vector &value : values)
            if (value.empty())
                fail(at, "empty value");
        node.pids[pid] = std::move(values);
    }
}

// Text InfoTypes: item count 0x01, then the text, padded with zeros to
// `padded_size` when given.
byte_vector info_text(const char *text, std::size_t padded_size)
{
    byte_vector bytes{0x01};
    std::string value = text;
    bytes.insert(bytes.end(), value.begin(), value.end());
    while (padded_size > 0 && bytes.size() < padded_size + 1)
        bytes.push_back(0x00);
    return bytes;
}

void read_info(const cJSON *object, ecu_node_profile &node, const std::string &where)
{
    if (const cJSON *vin = cJSON_GetObjectItem(object, "vin"))
        node.info[0x02] = info_text(read_text(vin, where + ".vin"), 0);
    if (const cJSON *calid = cJSON_GetObjectItem(object, "calibration_id"))
        node.info[0x04] = info_text(read_text(calid, where + ".calibration_id"), CALIBRATION_ID_SIZE);
    if (const cJSON *cvn = cJSON_GetObjectItem(object, "cvn")) {
        byte_vector bytes{0x01};
        byte_vector raw = read_bytes(cvn, where + ".cvn");
        bytes.insert(bytes.end(), raw.begin(), raw.end());
        node.info[0x06] = bytes;
    }
    if (const cJSON *name = cJSON_GetObjectItem(object, "ecu_name"))
        node.info[0x0A] = info_text(read_text(name, where + ".ecu_name"), ECU_NAME_SIZE);
    if (const cJSON *raw = cJSON_GetObjectItem(object, "info")) {
        if (!cJSON_IsObject(raw))
            fail(where + ".info", "expected an object");
        const cJSON *entry;
        cJSON_ArrayForEach(entry, raw) node.info[read_key_byte(entry, where + ".info")] =
            read_bytes(entry, where + ".info." + entry->string);
    }
    for (const auto &[type, bytes] : node.info)
        if (bytes.size() + 2 > MAX_PAYLOAD)
            fail(where, "vehicle information longer than 4095 bytes");
}

// "41 23" or "41 23 1F": a raw code given as two hexadecimal bytes, or
// three with the failure type.
bool is_hex_code(const char *text, dtc_bytes &code, std::uint8_t &failure_type)
{
    int digits[6];
    int count = 0;
    for (const char *p = text; *p; ++p) {
        if (std::isspace(static_cast<unsigned char>(*p)))
            continue;
        if (count == 6 || (digits[count++] = hex_digit(*p)) < 0)
            return false;
    }
    if (count != 4 && count != 6)
        return false;
    code = {static_cast<std::uint8_t>(digits[0] << 4 | digits[1]), static_cast<std::uint8_t>(digits[2] << 4 | digits[3])};
    failure_type = count == 6 ? static_cast<std::uint8_t>(digits[4] << 4 | digits[5]) : 0;
    return true;
}

// "P0133", or its two bytes: "01 33", [1, 51], or three with the failure
// type: "01 33 1F", [1, 51, 31] (00 when not given).
dtc_bytes read_dtc(const cJSON *item, const std::string &where, std::uint8_t &failure_type)
{
    dtc_bytes code{};
    failure_type = 0;
    if (cJSON_IsString(item) && !ecu_dtc_from_text(item->valuestring, code)) {
        if (!is_hex_code(item->valuestring, code, failure_type))
            fail(where, std::string("not a trouble code: ") + item->valuestring);
    } else if (!cJSON_IsString(item)) {
        byte_vector raw = read_bytes(item, where);
        if (raw.size() != 2 && raw.size() != 3)
            fail(where, "a raw trouble code is two bytes, or three with the failure type");
        code = {raw[0], raw[1]};
        failure_type = raw.size() == 3 ? raw[2] : 0;
    }
    return code;
}

void read_dtc_list(const cJSON *list, std::vector<dtc_bytes> &codes, std::vector<std::uint8_t> &failure_types,
                   const std::string &where)
{
    codes.clear();
    failure_types.clear();
    if (!list)
        return;
    if (!cJSON_IsArray(list))
        fail(where, "expected an array");
    const cJSON *item;
    cJSON_ArrayForEach(item, list)
    {
        std::uint8_t failure_type = 0;
        codes.push_back(read_dtc(item, where, failure_type));
        failure_types.push_back(failure_type);
    }
    if (codes.size() > (MAX_PAYLOAD - 2) / 2)
        fail(where, "too many trouble codes");
}

void read_dtcs(const cJSON *dtcs, ecu_node_profile &node, const std::string &where)
{
    if (!cJSON_IsObject(dtcs))
        fail(where, "expected an object");
    read_dtc_list(cJSON_GetObjectItem(dtcs, "stored"), node.stored_dtcs, node.stored_failure_types,
                  where + ".stored");
    read_dtc_list(cJSON_GetObjectItem(dtcs, "pending"), node.pending_dtcs, node.pending_failure_types,
                  where + ".pending");
    read_dtc_list(cJSON_GetObjectItem(dtcs, "permanent"), node.permanent_dtcs, node.permanent_failure_types,
                  where + ".permanent");
}

void read_clear(const cJSON *clear, ecu_node_profile &node, const std::string &where)
{
    if (!cJSON_IsObject(clear))
        fail(where, "expected an object");
    if (const cJSON *pending = cJSON_GetObjectItem(clear, "pending_answers"))
        node.clear_pending_answers = static_cast<int>(read_number(pending, where + ".pending_answers", 1000));
    if (const cJSON *nrc = cJSON_GetObjectItem(clear, "nrc"))
        node.clear_nrc = static_cast<std::uint8_t>(read_number(nrc, where + ".nrc", 0xFF));
    if (const cJSON *after = cJSON_GetObjectItem(clear, "final_after_ms"))
        node.clear_final_after_ms = static_cast<int>(read_number(after, where + ".final_after_ms", 60000));
    const cJSON *result = cJSON_GetObjectItem(clear, "result");
    if (!result)
        return;
    std::string word = read_text(result, where + ".result");
    if (word == "positive")
        node.clear_result = ecu_clear_result::positive;
    else if (word == "refuse")
        node.clear_result = ecu_clear_result::refuse;
    else if (word == "silent")
        node.clear_result = ecu_clear_result::silent;
    else
        fail(where + ".result", "expected \"positive\", \"refuse\" or \"silent\"");
}

// Where a monitor's flags are in PID 01: byte B (supported in bits 0-2,
// incomplete four bits higher) or bytes C (supported) and D (incomplete).
struct monitor_bit {
    const char *name;
    bool in_b;
    std::uint8_t bit;
};

constexpr std::array<monitor_bit, 11> SPARK_MONITORS{{
    {"MISFIRE", true, 0}, {"FUEL_SYSTEM", true, 1}, {"COMPONENTS", true, 2},
    {"CATALYST", false, 0}, {"HEATED_CATALYST", false, 1}, {"EVAP_SYSTEM", false, 2},
    {"SECONDARY_AIR", false, 3}, {"AC_REFRIGERANT", false, 4}, {"O2_SENSOR", false, 5},
    {"O2_SENSOR_HEATER", false, 6}, {"EGR_VVT", false, 7},
}};

constexpr std::array<monitor_bit, 9> COMPRESSION_MONITORS{{
    {"MISFIRE", true, 0}, {"FUEL_SYSTEM", true, 1}, {"COMPONENTS", true, 2},
    {"NMHC_CATALYST", false, 0}, {"NOX_SCR", false, 1}, {"BOOST_PRESSURE", false, 3},
    {"EXHAUST_GAS_SENSOR", false, 5}, {"PM_FILTER", false, 6}, {"EGR_VVT", false, 7},
}};

// Marks the named monitors supported, and incomplete when `incomplete`.
void read_monitors(const cJSON *names, bool incomplete, ecu_readiness &readiness, const std::string &where)
{
    if (!names)
        return;
    if (!cJSON_IsArray(names))
        fail(where, "expected an array of monitor names");
    const cJSON *item;
    cJSON_ArrayForEach(item, names)
    {
        const std::string name = read_text(item, where);
        const monitor_bit *found = nullptr;
        auto find_in = [&](const auto &table) {
            for (const monitor_bit &m : table)
                if (name == m.name)
                    found = &m;
        };
        if (readiness.compression)
            find_in(COMPRESSION_MONITORS);
        else
            find_in(SPARK_MONITORS);
        if (!found)
            fail(where, "no monitor \"" + name + "\" on this ignition type");
        const auto bit = static_cast<std::uint8_t>(1u << found->bit);
        if (found->in_b) {
            readiness.b |= bit;
            if (incomplete)
                readiness.b |= static_cast<std::uint8_t>(bit << 4);
        } else {
            readiness.c |= bit;
            if (incomplete)
                readiness.d |= bit;
        }
    }
}

void read_readiness(const cJSON *object, ecu_node_profile &node, const std::string &where)
{
    if (!cJSON_IsObject(object))
        fail(where, "expected an object");
    ecu_readiness readiness;
    if (const cJSON *ignition = cJSON_GetObjectItem(object, "ignition")) {
        std::string word = read_text(ignition, where + ".ignition");
        if (word == "compression")
            readiness.compression = true;
        else if (word != "spark")
            fail(where + ".ignition", "expected \"spark\" or \"compression\"");
    }
    if (const cJSON *mil = cJSON_GetObjectItem(object, "mil"))
        readiness.mil = read_bool(mil, where + ".mil");
    read_monitors(cJSON_GetObjectItem(object, "complete"), false, readiness, where + ".complete");
    read_monitors(cJSON_GetObjectItem(object, "incomplete"), true, readiness, where + ".incomplete");
    node.readiness = readiness;
}

void read_freeze_frame(const cJSON *object, ecu_node_profile &node, const std::string &where)
{
    if (!cJSON_IsObject(object))
        fail(where, "expected an object");
    if (const cJSON *dtc = cJSON_GetObjectItem(object, "dtc"))
        node.freeze_frame.dtc = read_dtc(dtc, where + ".dtc", node.freeze_frame.failure_type);
    if (const cJSON *record = cJSON_GetObjectItem(object, "record"))
        node.freeze_frame.record = static_cast<std::uint8_t>(read_number(record, where + ".record", 0xFE));
    const cJSON *pids = cJSON_GetObjectItem(object, "pids");
    if (!pids)
        return;
    if (!cJSON_IsObject(pids))
        fail(where + ".pids", "expected an object");
    const cJSON *entry;
    cJSON_ArrayForEach(entry, pids)
    {
        const std::string at = where + ".pids." + entry->string;
        byte_vector value = read_bytes(entry, at);
        if (value.empty() || value.size() > 4)
            fail(at, "expected one to four data bytes");
        node.freeze_frame.pids[read_key_byte(entry, where + ".pids")] = std::move(value);
    }
}

ecu_rule read_rule(const cJSON *item, const std::string &where)
{
    if (!cJSON_IsObject(item))
        fail(where, "expected an object");
    ecu_rule rule;
    const cJSON *request = cJSON_GetObjectItem(item, "request");
    if (!request)
        fail(where + ".request", "missing");
    rule.request = read_bytes(request, where + ".request");
    if (rule.request.empty())
        fail(where + ".request", "empty");
    if (const cJSON *nrc = cJSON_GetObjectItem(item, "nrc"))
        rule.nrc = static_cast<std::uint8_t>(read_number(nrc, where + ".nrc", 0xFF));
    if (const cJSON *silent = cJSON_GetObjectItem(item, "silent"))
        rule.silent = read_bool(silent, where + ".silent");
    if (const cJSON *response = cJSON_GetObjectItem(item, "response"))
        rule.responses.push_back(read_bytes(response, where + ".response"));
    if (const cJSON *responses = cJSON_GetObjectItem(item, "responses")) {
        if (!cJSON_IsArray(responses))
            fail(where + ".responses", "expected an array");
        const cJSON *response;
        cJSON_ArrayForEach(response, responses) rule.responses.push_back(read_bytes(response, where + ".responses"));
    }
    for (const byte_vector &response : rule.responses)
        if (response.empty())
            fail(where, "empty response");
    if (const cJSON *pending = cJSON_GetObjectItem(item, "pending_ms"))
        rule.pending_ms = static_cast<int>(read_number(pending, where + ".pending_ms", 60000));
    if (const cJSON *times = cJSON_GetObjectItem(item, "times"))
        rule.times = static_cast<int>(read_number(times, where + ".times", 1000000));
    if (!rule.silent && rule.nrc == 0 && rule.responses.empty() && rule.pending_ms == 0)
        fail(where, "needs \"nrc\", \"silent\", \"response\" or \"pending_ms\"");
    return rule;
}

void read_rules(const cJSON *rules, ecu_node_profile &node, const std::string &where)
{
    if (!cJSON_IsArray(rules))
        fail(where, "expected an array");
    int index = 0;
    const cJSON *item;
    cJSON_ArrayForEach(item, rules) node.rules.push_back(read_rule(item, where + "[" + std::to_string(index++) + "]"));
}

void read_delays(const cJSON *delays, ecu_node_profile &node, const std::string &where)
{
    if (!cJSON_IsObject(delays))
        fail(where, "expected an object");
    const cJSON *entry;
    cJSON_ArrayForEach(entry, delays)
    {
        ecu_delay delay;
        delay.request = read_key_bytes(entry, where);
        delay.delay_ms = static_cast<int>(read_number(entry, where + "." + entry->string, 60000));
        node.delays.push_back(delay);
    }
}

canid_t read_id(const cJSON *item, const std::string &where, const ecu_profile &profile)
{
    bool extended = profile.addressing == ecu_addressing::bits29;
    return read_number(item, where, extended ? CAN_EFF_MASK : CAN_SFF_MASK);
}

ecu_node_profile read_node(const cJSON *object, const ecu_profile &profile, std::size_t index,
                           const std::string &where)
{
    if (!cJSON_IsObject(object))
        fail(where, "expected an object");
    ecu_node_profile node;
    bool extended = profile.addressing == ecu_addressing::bits29;
    auto number = static_cast<canid_t>(index);
    node.response_id = extended ? 0x18DAF110 + number : 0x7E8 + number;
    node.physical_id = extended ? 0x18DA10F1 + (number << 8) : 0x7E0 + number;
    node.name = "ECU" + std::to_string(index + 1);
    if (const cJSON *name = cJSON_GetObjectItem(object, "name"))
        node.name = read_text(name, where + ".name");
    if (const cJSON *id = cJSON_GetObjectItem(object, "response_id"))
        node.response_id = read_id(id, where + ".response_id", profile);
    if (const cJSON *id = cJSON_GetObjectItem(object, "physical_id"))
        node.physical_id = read_id(id, where + ".physical_id", profile);
    if (const cJSON *pids = cJSON_GetObjectItem(object, "pids"))
        read_pids(pids, node, where + ".pids");
    read_info(object, node, where);
    if (const cJSON *dtcs = cJSON_GetObjectItem(object, "dtcs"))
        read_dtcs(dtcs, node, where + ".dtcs");
    if (const cJSON *clear = cJSON_GetObjectItem(object, "clear"))
        read_clear(clear, node, where + ".clear");
    if (const cJSON *readiness = cJSON_GetObjectItem(object, "readiness"))
        read_readiness(readiness, node, where + ".readiness");
    if (const cJSON *frame = cJSON_GetObjectItem(object, "freeze_frame"))
        read_freeze_frame(frame, node, where + ".freeze_frame");
    if (const cJSON *rules = cJSON_GetObjectItem(object, "rules"))
        read_rules(rules, node, where + ".rules");
    if (const cJSON *delay = cJSON_GetObjectItem(object, "delay_ms"))
        node.answer_delay_ms = static_cast<int>(read_number(delay, where + ".delay_ms", 60000));
    if (const cJSON *delays = cJSON_GetObjectItem(object, "delays_ms"))
        read_delays(delays, node, where + ".delays_ms");
    return node;
}

void read_bus_settings(const cJSON *root, ecu_profile &profile)
{
    if (const cJSON *name = cJSON_GetObjectItem(root, "name"))
        profile.name = read_text(name, "name");
    if (const cJSON *addressing = cJSON_GetObjectItem(root, "addressing")) {
        std::string word = read_text(addressing, "addressing");
        if (word == "11bit")
            profile.addressing = ecu_addressing::bits11;
        else if (word == "29bit")
            profile.addressing = ecu_addressing::bits29;
        else
            fail("addressing", "expected \"11bit\" or \"29bit\"");
    }
    bool extended = profile.addressing == ecu_addressing::bits29;
    profile.functional_id = extended ? 0x18DB33F1 : 0x7DF;
    if (const cJSON *id = cJSON_GetObjectItem(root, "functional_id"))
        profile.functional_id = read_id(id, "functional_id", profile);
    if (const cJSON *fill = cJSON_GetObjectItem(root, "fill_byte"))
        profile.fill_byte = static_cast<std::uint8_t>(read_number(fill, "fill_byte", 0xFF));
    if (const cJSON *padding = cJSON_GetObjectItem(root, "padding"))
        profile.padding = read_bool(padding, "padding");
    if (const cJSON *timeout = cJSON_GetObjectItem(root, "fc_timeout_ms"))
        profile.fc_timeout_ms = static_cast<int>(read_number(timeout, "fc_timeout_ms", 60000));
    if (const cJSON *waits = cJSON_GetObjectItem(root, "max_fc_waits"))
        profile.max_fc_waits = static_cast<int>(read_number(waits, "max_fc_waits", 1000));
    if (const cJSON *uds = cJSON_GetObjectItem(root, "obd_on_uds"))
        profile.obd_on_uds = read_bool(uds, "obd_on_uds");
    if (const cJSON *count = cJSON_GetObjectItem(root, "info_item_count"))
        profile.info_item_count = read_bool(count, "info_item_count");
}

void read_profile(const cJSON *root, ecu_profile &profile)
{
    if (!cJSON_IsObject(root))
        fail("profile", "expected a JSON object");
    read_bus_settings(root, profile);
    const cJSON *ecus = cJSON_GetObjectItem(root, "ecus");
    if (!ecus) {
        profile.ecus.push_back(read_node(root, profile, 0, "profile"));
        return;
    }
    if (!cJSON_IsArray(ecus) || cJSON_GetArraySize(ecus) == 0)
        fail("ecus", "expected a non-empty array");
    if (static_cast<std::size_t>(cJSON_GetArraySize(ecus)) > MAX_ECUS)
        fail("ecus", "at most 8 ECUs");
    std::size_t index = 0;
    const cJSON *node;
    cJSON_ArrayForEach(node, ecus)
    {
        profile.ecus.push_back(read_node(node, profile, index, "ecus[" + std::to_string(index) + "]"));
        ++index;
    }
}

} // namespace

bool ecu_dtc_from_text(const std::string &text, dtc_bytes &out)
{
    static constexpr char LETTERS[] = "PCBU";
    if (text.size() != 5)
        return false;
    const char *letter = std::strchr(LETTERS, std::toupper(static_cast<unsigned char>(text[0])));
    if (!letter || *letter == '\0')
        return false;
    int digits[4];
    for (int i = 0; i < 4; ++i)
        if ((digits[i] = hex_digit(text[1 + i])) < 0)
            return false;
    if (digits[0] > 3)
        return false;
    out[0] = static_cast<std::uint8_t>((letter - LETTERS) << 6 | digits[0] << 4 | digits[1]);
    out[1] = static_cast<std::uint8_t>(digits[2] << 4 | digits[3]);
    return true;
}

bool ecu_profile_from_json(const std::string &text, ecu_profile &out, std::string &error)
{
    json_ptr root(cJSON_Parse(text.c_str()));
    if (!root) {
        error = "not valid JSON";
        return false;
    }
    out = ecu_profile{};
    try {
        read_profile(root.get(), out);
    } catch (const load_error &e) {
        error = e.text;
        return false;
    }
    return true;
}

bool ecu_profile_from_file(const std::string &path, ecu_profile &out, std::string &error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot be opened";
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (!ecu_profile_from_json(text.str(), out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}
