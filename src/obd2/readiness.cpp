#include "obd2/readiness.h"

#include "c_handles.h"
#include "obd2/dialect/obd_dialect.h"
#include "obd2/isotp.h"
#include "obd2/live_data.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <span>
#include <string_view>

namespace {

constexpr std::uint8_t PID_MONITOR_STATUS = 0x01;
constexpr std::size_t ANSWER_PAYLOAD = 6; // 41 01 A B C D (62 F4 01 A B C D is longer)
constexpr std::uint8_t MIL_ON = 0x80;     // A bit 7
constexpr std::uint8_t DTC_COUNT_MASK = 0x7F;
constexpr std::uint8_t COMPRESSION_IGNITION = 0x08; // B bit 3

// Where a monitor's two flags are: byte B holds "supported" in bits 0-2 and
// "incomplete" four bits higher; the others have "supported" in C and
// "incomplete" in the same bit of D.
enum class flags_in : std::uint8_t { b, c_d };

struct monitor {
    const char *name;
    flags_in where;
    std::uint8_t bit;
};

// In the order the document lists them.
constexpr std::array<monitor, 11> SPARK_MONITORS{{
    {"MISFIRE", flags_in::b, 0},
    {"FUEL_SYSTEM", flags_in::b, 1},
    {"COMPONENTS", flags_in::b, 2},
    {"CATALYST", flags_in::c_d, 0},
    {"HEATED_CATALYST", flags_in::c_d, 1},
    {"EVAP_SYSTEM", flags_in::c_d, 2},
    {"SECONDARY_AIR", flags_in::c_d, 3},
    {"AC_REFRIGERANT", flags_in::c_d, 4},
    {"O2_SENSOR", flags_in::c_d, 5},
    {"O2_SENSOR_HEATER", flags_in::c_d, 6},
    {"EGR_VVT", flags_in::c_d, 7},
}};

// C and D bits 2 and 4 are reserved on compression-ignition engines.
constexpr std::array<monitor, 9> COMPRESSION_MONITORS{{
    {"MISFIRE", flags_in::b, 0},
    {"FUEL_SYSTEM", flags_in::b, 1},
    {"COMPONENTS", flags_in::b, 2},
    {"NMHC_CATALYST", flags_in::c_d, 0},
    {"NOX_SCR", flags_in::c_d, 1},
    {"BOOST_PRESSURE", flags_in::c_d, 3},
    {"EXHAUST_GAS_SENSOR", flags_in::c_d, 5},
    {"PM_FILTER", flags_in::c_d, 6},
    {"EGR_VVT", flags_in::c_d, 7},
}};

bool is_compression(const readiness_bytes &answer) { return (answer.b & COMPRESSION_IGNITION) != 0; }

// Each ECU's bits mean what its own ignition type says they mean.
std::span<const monitor> monitors_of(const readiness_bytes &answer)
{
    if (is_compression(answer))
        return COMPRESSION_MONITORS;
    return SPARK_MONITORS;
}

struct monitor_flags {
    bool supported;
    bool incomplete;
};

monitor_flags flags_of(const monitor &m, const readiness_bytes &answer)
{
    const std::uint8_t bit = static_cast<std::uint8_t>(1u << m.bit);
    if (m.where == flags_in::b)
        return {(answer.b & bit) != 0, (answer.b & (bit << 4)) != 0};
    return {(answer.c & bit) != 0, (answer.d & bit) != 0};
}

// "complete", "incomplete" or "unsupported" over every answer: an ECU whose
// engine type has no monitor of that name has nothing to say about it.
const char *merged_state(const char *name, std::span<const readiness_bytes> answers)
{
    bool supported = false;
    bool incomplete = false;
    for (const readiness_bytes &answer : answers) {
        for (const monitor &m : monitors_of(answer)) {
            if (std::string_view(m.name) != name)
                continue;
            monitor_flags flags = flags_of(m, answer);
            if (flags.supported) {
                supported = true;
                incomplete = incomplete || flags.incomplete;
            }
        }
    }
    if (!supported)
        return "unsupported";
    return incomplete ? "incomplete" : "complete";
}

// Asks one ECU; `out` holds its bytes when it answered.
ecu_reply ask_readiness(const ecu_entry &ecu, readiness_bytes *out)
{
    std::uint8_t req[OBD2_REQUEST_SIZE];
    build_obd_request(ecu.dialect, obd_question::pid_value, req, PID_MONITOR_STATUS);
    std::uint8_t resp[OBD2_RESPONSE_SIZE] = {};
    std::uint64_t resp_len = 0;
    int rc = send_paced_pid_request(ecu, req, resp, &resp_len, REQ_KIND_READINESS);
    ecu_reply reply = pid_reply(rc, resp, resp_len, ANSWER_PAYLOAD);
    obd_item item{};
    if (reply == ecu_reply::answered &&
        (!decode_pid_answer(ecu.dialect, resp, resp_len, PID_MONITOR_STATUS, item) || item.size < 4))
        reply = ecu_reply::unusable;
    if (reply == ecu_reply::answered)
        *out = readiness_bytes{item.data[0], item.data[1], item.data[2], item.data[3]};
    else if (reply == ecu_reply::unusable)
        std::printf("OBD2 WARN: ECU 0x%X gave no usable monitor status\n", static_cast<unsigned>(ecu.resp_id));
    return reply;
}

} // namespace

std::string readiness_document(const readiness_bytes *answers, int count)
{
    if (answers == nullptr || count <= 0)
        return {};
    std::span<const readiness_bytes> all(answers, static_cast<std::size_t>(count));
    bool mil = false;
    int dtc_count = 0;
    for (const readiness_bytes &answer : all) {
        mil = mil || (answer.a & MIL_ON) != 0;
        dtc_count += answer.a & DTC_COUNT_MASK;
    }

    json_ptr doc(cJSON_CreateObject());
    if (!doc || !cJSON_AddNumberToObject(doc.get(), "TYP", 1) || !cJSON_AddNumberToObject(doc.get(), "CMD", 20))
        return {};
    cJSON *data = cJSON_AddObjectToObject(doc.get(), "DATA");
    if (data == nullptr || !cJSON_AddNumberToObject(data, "MIL", mil ? 1 : 0) ||
        !cJSON_AddNumberToObject(data, "DTC_COUNT", dtc_count) ||
        !cJSON_AddStringToObject(data, "IGNITION", is_compression(all[0]) ? "compression" : "spark"))
        return {};
    cJSON *monitors = cJSON_AddObjectToObject(data, "MONITORS");
    if (monitors == nullptr)
        return {};
    for (const monitor &m : monitors_of(all[0])) {
        if (cJSON_AddStringToObject(monitors, m.name, merged_state(m.name, all)) == nullptr)
            return {};
    }
    json_text_ptr text(cJSON_PrintUnformatted(doc.get()));
    return text ? std::string(text.get()) : std::string();
}

namespace {

// How the attempt went, from the engine ECU's (entry 0's) reply and the
// others': the MIL, the code count and the monitors of a car are its engine
// ECU's first, so without its answer there is no document. Silence of the
// engine ECU, or of some ECU when none answered, is worth another attempt.
ecu_reply readiness_outcome(ecu_reply engine, int answered, bool any_silent)
{
    if (engine == ecu_reply::answered)
        return ecu_reply::answered;
    if (engine == ecu_reply::silent || (answered == 0 && any_silent))
        return ecu_reply::silent;
    return ecu_reply::unusable;
}

} // namespace

ecu_reply handle_readiness_command(std::string &document)
{
    std::array<readiness_bytes, MAX_ECUS> answers{};
    int answered = 0;
    bool any_silent = false;
    ecu_reply engine = ecu_reply::silent;
    const int ecu_count = std::clamp(g_ecu_count, 0, MAX_ECUS);
    for (int e = 0; e < ecu_count; ++e) {
        const ecu_reply reply = ask_readiness(g_ecu_list[e], &answers[answered]);
        if (e == 0)
            engine = reply;
        answered += reply == ecu_reply::answered ? 1 : 0;
        any_silent = any_silent || reply == ecu_reply::silent;
    }
    const ecu_reply outcome = readiness_outcome(engine, answered, any_silent);
    if (outcome != ecu_reply::answered) {
        std::puts("OBD2 WARN: no monitor status from the engine ECU");
        return outcome;
    }
    document = readiness_document(answers.data(), answered);
    std::printf("readiness json: %s\n", document.c_str());
    return document.empty() ? ecu_reply::unusable : ecu_reply::answered;
}
