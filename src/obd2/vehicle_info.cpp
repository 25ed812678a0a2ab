#include "obd2/vehicle_info.h"

#include "obd2/isotp.h"
#include "obd2/obd2_types.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <linux/can.h>

vehicle_info_record g_vehicle_info[MAX_VEHICLE_INFO];
int g_vehicle_info_count = 0;
char g_can_protocol[CAN_PROTOCOL_SIZE];

namespace {

constexpr std::uint8_t VEHICLE_INFO_SERVICE = 0x09;
constexpr std::uint8_t VEHICLE_INFO_ANSWER = 0x49;
constexpr std::uint8_t INFO_TYPE_CVN = 0x06;
constexpr std::array<std::uint8_t, 4> info_types = {0x02, 0x04, 0x06, 0x0A};

constexpr std::size_t PAYLOAD_START = 3;
constexpr std::size_t MAX_PRINTED_BYTES = 32;
constexpr std::size_t MAX_TEXT_LEN = VEHICLE_INFO_TEXT_SIZE - 1;
constexpr std::size_t MAX_CVN_DIGITS = 126;

// Control bytes and 0xFF: item counts in front, fill bytes behind.
bool is_padding(std::uint8_t byte) { return byte <= 0x1F || byte == 0xFF; }

void print_info_response(const std::uint8_t *resp, std::size_t len)
{
    std::printf("RESPONSE [INFO] : ");
    print_bytes(resp, std::min(len, MAX_PRINTED_BYTES), "[ %02x ] ");
    std::printf("\n\n");
}

// The payload as upper-case hexadecimal, at most 63 bytes' worth.
void store_hex_text(char *text, const std::uint8_t *payload, std::size_t size)
{
    std::size_t written = 0;
    for (std::size_t i = 0; i < size && written + 2 <= MAX_CVN_DIGITS; ++i)
        written += std::snprintf(text + written, VEHICLE_INFO_TEXT_SIZE - written, "%02X", payload[i]);
}

// The payload without leading and trailing padding, at most 127 bytes.
// False when nothing but padding is there.
bool store_plain_text(char *text, const std::uint8_t *payload, std::size_t size)
{
    std::size_t start = 0;
    while (start < size && is_padding(payload[start]))
        ++start;
    if (start == size)
        return false;
    std::size_t len = std::min(size - start, MAX_TEXT_LEN);
    std::memcpy(text, payload + start, len);
    text[len] = '\0';
    while (len > 0 && is_padding(static_cast<std::uint8_t>(text[len - 1])))
        text[--len] = '\0';
    return true;
}

// Asks for one InfoType; false (with its message) when no usable answer came.
bool request_info_type(const ecu_entry &ecu, std::uint8_t info_type, std::uint8_t *resp, std::size_t *len)
{
    std::uint8_t req[OBD2_REQUEST_SIZE] = {};
    if (prepare_request(req, 2, VEHICLE_INFO_SERVICE, info_type) == 0) {
        std::printf("OBD2_ERROR : Error while preparing request for InfoType %02X\n", info_type);
        return false;
    }
    std::uint64_t resp_len = 0;
    if (send_obd2_request(ecu, req, OBD2_REQUEST_SIZE, resp, &resp_len, REQ_KIND_VEHICLE_INFO) != 0) {
        std::printf("OBD2 WARN: Failed to request InfoType %02X\n", info_type);
        return false;
    }
    *len = clamp_response_length(resp_len);
    print_info_response(resp, *len);
    // A single frame's fill bytes would otherwise end up in the text.
    *len = answer_length(resp, *len);
    if (*len == 0) {
        std::printf("OBD2 WARN: Empty response for InfoType %02X\n", info_type);
        return false;
    }
    if (*len < 3 || resp[1] != VEHICLE_INFO_ANSWER || resp[2] != info_type) {
        std::printf("OBD2 WARN: Invalid response for InfoType %02X\n", info_type);
        return false;
    }
    if (*len == 3) {
        std::printf("OBD2 WARN: No payload for InfoType %02X\n", info_type);
        return false;
    }
    return true;
}

// Reads one InfoType into the next record; true when a record was added.
bool read_info_type(const ecu_entry &ecu, std::uint8_t info_type)
{
    std::uint8_t resp[OBD2_RESPONSE_SIZE] = {};
    std::size_t len = 0;
    if (!request_info_type(ecu, info_type, resp, &len))
        return false;

    vehicle_info_record &record = g_vehicle_info[g_vehicle_info_count];
    std::memset(record.text, 0, sizeof record.text);
    const std::uint8_t *payload = resp + PAYLOAD_START;
    std::size_t payload_size = len - PAYLOAD_START;
    if (info_type == INFO_TYPE_CVN) {
        store_hex_text(record.text, payload, payload_size);
    } else if (!store_plain_text(record.text, payload, payload_size)) {
        std::printf("OBD2 WARN: Payload contains only padding for InfoType %02X\n", info_type);
        return false;
    }
    record.info_type = info_type;
    std::printf("InfoType %02X -> %s\n", info_type, record.text);
    ++g_vehicle_info_count;
    return true;
}

} // namespace

int get_vehicle_info(const ecu_entry &ecu)
{
    g_vehicle_info_count = 0;
    for (std::uint8_t info_type : info_types) {
        if (g_vehicle_info_count >= MAX_VEHICLE_INFO)
            break;
        read_info_type(ecu, info_type);
    }
    return g_vehicle_info_count > 0 ? 1 : 0;
}

const char *can_protocol_name(int addr_mode)
{
    return addr_mode == ADDR_MODE_11BIT   ? "ISO15765-4 (11-bit)"
           : addr_mode == ADDR_MODE_29BIT ? "ISO15765-4 (29-bit)"
                                          : "UNKNOWN";
}

void set_can_protocol(int addr_mode)
{
    std::snprintf(g_can_protocol, sizeof g_can_protocol, "%s", can_protocol_name(addr_mode));
}

std::string vehicle_vin()
{
    const int count = std::min(std::max(g_vehicle_info_count, 0), MAX_VEHICLE_INFO);
    for (int i = 0; i < count; ++i) {
        const vehicle_info_record &r = g_vehicle_info[i];
        if (r.info_type == 0x02)
            return std::string(r.text, strnlen(r.text, sizeof r.text - 1));
    }
    return {};
}

std::string ecu_address_text(const ecu_entry &ecu)
{
    char text[16];
    if (ecu.addr_mode == ADDR_MODE_11BIT)
        std::snprintf(text, sizeof text, "%03X", static_cast<unsigned>(ecu.resp_id & CAN_SFF_MASK));
    else
        std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(ecu.resp_id & CAN_EFF_MASK));
    return text;
}
