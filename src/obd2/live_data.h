// One cycle of live sensor values as the live data message.
#pragma once

#include "obd2/obd2_types.h"

#include <cstddef>
#include <cstdint>

constexpr int JSON_OUTPUT_SIZE = 4096;
extern char json_output[JSON_OUTPUT_SIZE];

// Asks the ECU for every entry of supported_pids (100 ms apart) and writes
//   {\n  "TYP": 1,\n  "CMD": 2,\n  "DATA": {\n    "ENGRPM": 1726.00,\n    "SPD": "--"\n  }\n}
// into json_output. Returns json_output, or nullptr when no PID answered.
char *handle_live_mode(int unused, const ecu_entry &ecu);

// A PID request of any service (01, 02), paced as live data paces its own:
// a 100 ms pause after it, answered or not. Returns what send_obd2_request
// returns; `req` is OBD2_REQUEST_SIZE bytes.
int send_paced_pid_request(const ecu_entry &ecu, const std::uint8_t *req, std::uint8_t *resp,
                           std::uint64_t *resp_len, int req_kind);

// What a PID request's outcome (`rc` of send_obd2_request) is worth: silent
// when no final answer came ("response pending" is waited out in the
// exchange); unusable for a refusal or an answer of fewer than `min_payload`
// bytes (service byte first, fill bytes not counted).
ecu_reply pid_reply(int rc, const std::uint8_t *resp, std::uint64_t resp_len, std::size_t min_payload);
