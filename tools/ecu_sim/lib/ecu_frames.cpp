// Reading and printing frames: request payloads out of single frames, and
// the one-line descriptions the simulator logs.
#include "ecu_sim.h"

#include <array>
#include <cstdio>

namespace {

struct pid_name {
    std::uint8_t pid;
    const char *name;
};

// Names of the service 01 PIDs a tester asks most, as the gateway's UI calls them.
constexpr std::array<pid_name, 29> PID_NAMES{{
    {0x00, "PIDS_01_20"}, {0x01, "MONITORS"}, {0x04, "ENGLD"},  {0x05, "COLTMP"},   {0x06, "STFT1"},   {0x07, "LTFT1"},
    {0x0A, "FULPRS"},     {0x0B, "INTPRS"}, {0x0C, "ENGRPM"},   {0x0D, "SPD"},     {0x0E, "TMADV"},
    {0x0F, "INTTMP"},     {0x10, "MSFLRT"}, {0x11, "THRTPS"},   {0x14, "O2S1"},    {0x15, "O2S2"},
    {0x20, "PIDS_21_40"}, {0x22, "FULRPRS"}, {0x2F, "FLLVL"},   {0x31, "DISCLR"},  {0x33, "THRPSB"},
    {0x3C, "CTB1S1"},     {0x40, "PIDS_41_60"}, {0x42, "CNTMDVOL"}, {0x44, "LMBRAT"}, {0x46, "AMBTMP"},
    {0x4D, "TMIL"},       {0x4E, "TCLR"},   {0x60, "PIDS_61_80"},
}};

const char *pid_label(std::uint8_t pid)
{
    for (const pid_name &entry : PID_NAMES)
        if (entry.pid == pid)
            return entry.name;
    return nullptr;
}

const char *info_type_label(std::uint8_t info_type)
{
    switch (info_type) {
    case 0x00: return "INFOTYPES";
    case 0x02: return "VIN";
    case 0x04: return "CALID";
    case 0x06: return "CVN";
    case 0x0A: return "ECUNAME";
    default: return nullptr;
    }
}

const char *service_label(std::uint8_t service)
{
    switch (service) {
    case 0x02: return "FREEZE_FRAME";
    case 0x03: return "STORED_DTC";
    case 0x04: return "CLEAR_DTC";
    case 0x07: return "PENDING_DTC";
    case 0x0A: return "PERMANENT_DTC";
    case 0x14: return "CLEAR_DTC";
    default: return nullptr;
    }
}

const char *read_dtc_label(std::uint8_t sub_function)
{
    switch (sub_function) {
    case 0x03: return "SNAPSHOT_IDS";
    case 0x04: return "SNAPSHOT";
    case 0x42: return "DTC_BY_STATUS";
    case 0x55: return "PERMANENT_DTC";
    default: return nullptr;
    }
}

// OBD on UDS: "22 F4 0C ENGRPM", "22 F8 02 VIN", "19 42 DTC_BY_STATUS".
std::string describe_uds_request(const byte_vector &payload)
{
    char text[64];
    const char *label = nullptr;
    if (payload[0] == 0x19) {
        label = read_dtc_label(payload[1]);
        std::snprintf(text, sizeof(text), "19 %02X", payload[1]);
    } else {
        if (payload[1] == 0xF4)
            label = pid_label(payload[2]);
        else if (payload[1] == 0xF8)
            label = info_type_label(payload[2]);
        std::snprintf(text, sizeof(text), "22 %02X %02X", payload[1], payload[2]);
    }
    return std::string(text) + (label ? " " : "") + (label ? label : "");
}

} // namespace

bool ecu_single_frame_payload(const can_frame &frame, byte_vector &payload)
{
    if (frame.len < 2 || frame.len > CAN_MAX_DLEN || (frame.data[0] & 0xF0) != 0x00)
        return false;
    std::size_t size = frame.data[0] & 0x0F;
    if (size == 0 || size + 1 > frame.len)
        return false;
    payload.assign(frame.data + 1, frame.data + 1 + size);
    return true;
}

std::string ecu_describe_frame(const can_frame &frame)
{
    char text[96];
    int at;
    if (frame.can_id & CAN_ERR_FLAG)
        at = std::snprintf(text, sizeof(text), "ERR %08X", frame.can_id & CAN_ERR_MASK);
    else if (frame.can_id & CAN_EFF_FLAG)
        at = std::snprintf(text, sizeof(text), "%08X", frame.can_id & CAN_EFF_MASK);
    else
        at = std::snprintf(text, sizeof(text), "%03X", frame.can_id & CAN_SFF_MASK);
    at += std::snprintf(text + at, sizeof(text) - at, " [%u]", static_cast<unsigned>(frame.len));
    std::size_t shown = frame.len > CAN_MAX_DLEN ? CAN_MAX_DLEN : frame.len;
    for (std::size_t i = 0; i < shown; ++i)
        at += std::snprintf(text + at, sizeof(text) - at, " %02X", frame.data[i]);
    return text;
}

std::string ecu_describe_request(const byte_vector &payload)
{
    if (payload.empty())
        return {};
    char text[64];
    std::uint8_t service = payload[0];
    if ((service == 0x19 && payload.size() >= 2) || (service == 0x22 && payload.size() >= 3))
        return describe_uds_request(payload);
    if (payload.size() < 2 || (service != 0x01 && service != 0x09)) {
        const char *label = service_label(service);
        std::snprintf(text, sizeof(text), "%02X%s%s", service, label ? " " : "", label ? label : "");
        return text;
    }
    const char *label = service == 0x01 ? pid_label(payload[1]) : info_type_label(payload[1]);
    std::snprintf(text, sizeof(text), "%02X %02X%s%s", service, payload[1], label ? " " : "", label ? label : "");
    std::string result = text;
    for (std::size_t i = 2; service == 0x01 && i < payload.size(); ++i) {
        const char *more = pid_label(payload[i]);
        std::snprintf(text, sizeof(text), " %02X%s%s", payload[i], more ? " " : "", more ? more : "");
        result += text;
    }
    return result;
}
