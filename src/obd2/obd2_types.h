// Types and constants shared by the whole OBD-II side.
#pragma once

#include <cstddef>
#include <cstdint>

// Addressing modes: row of can_cfg and the ECU's identifier width.
constexpr int ADDR_MODE_11BIT = 1;
constexpr int ADDR_MODE_29BIT = 2;

// Every response buffer handed to send_obd2_request holds at least this many
// bytes: a first frame may announce up to 4095 payload bytes.
constexpr std::size_t OBD2_RESPONSE_SIZE = 4096;
constexpr std::size_t OBD2_REQUEST_SIZE = 8;

// Request kinds: who asks, which selects the wait per received frame.
constexpr int REQ_KIND_DTC_READ = 1;      // 10 s
constexpr int REQ_KIND_LIVE = 2;          // 100 ms
constexpr int REQ_KIND_DTC_CLEAR = 4;     // 10 s
constexpr int REQ_KIND_VEHICLE_INFO = 7;  // 10 s
constexpr int REQ_KIND_PID_SCAN = 11;     // 100 ms
constexpr int REQ_KIND_DETECT = 12;       // 100 ms
constexpr int REQ_KIND_READINESS = 20;    // 100 ms
constexpr int REQ_KIND_FREEZE_FRAME = 21; // 100 ms

// How the ECUs met a command's requests: silence (or a refusal that says
// "not now", such as busy) is worth another attempt, a refusal or a
// malformed answer is not.
enum class ecu_reply { answered, unusable, silent };

// How the vehicle is asked the OBD questions: the classic services (01, 03,
// 09, ...) or OBD on UDS (22 F4xx/F8xx, 19, 14). Every ECU of a vehicle
// speaks the dialect that detection found.
enum class obd_dialect : std::uint8_t { classic, uds };

struct ecu_entry {
    std::uint32_t resp_id; // identifier the ECU answered from
    std::int32_t addr_mode;
    obd_dialect dialect = obd_dialect::classic;
};

constexpr int MAX_ECUS = 32;
extern ecu_entry g_ecu_list[MAX_ECUS];
extern int g_ecu_count; // both defined in isotp.cpp; filled by the session controller
