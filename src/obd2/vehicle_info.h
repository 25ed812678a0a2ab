// Service 09: VIN, calibration id, CVN, ECU name; and the protocol text.
#pragma once

#include "obd2/obd2_types.h"

#include <cstdint>
#include <string>

constexpr int VEHICLE_INFO_TEXT_SIZE = 128;
constexpr int MAX_VEHICLE_INFO = 16;
constexpr int CAN_PROTOCOL_SIZE = 50;

struct vehicle_info_record {
    std::uint8_t info_type;
    char text[VEHICLE_INFO_TEXT_SIZE];
};

extern vehicle_info_record g_vehicle_info[MAX_VEHICLE_INFO];
extern int g_vehicle_info_count;
extern char g_can_protocol[CAN_PROTOCOL_SIZE];

// Reads InfoTypes 02, 04, 06, 0A into g_vehicle_info (texts trimmed of
// control and 0xFF bytes; the CVN as upper-case hexadecimal including the
// item count). 1 when at least one record was stored.
int get_vehicle_info(const ecu_entry &ecu);

// 1 -> "ISO15765-4 (11-bit)", 2 -> "ISO15765-4 (29-bit)", else "UNKNOWN".
void set_can_protocol(int addr_mode);
const char *can_protocol_name(int addr_mode);

// The VIN (InfoType 02) of the last reading, "" when the car gave none.
std::string vehicle_vin();

// The ECU's answering identifier in hex: "7E8", "18DAF110".
std::string ecu_address_text(const ecu_entry &ecu);
