// One cycle of live sensor values as the live data message.
#pragma once

#include "obd2/obd2_types.h"

constexpr int JSON_OUTPUT_SIZE = 4096;
extern char json_output[JSON_OUTPUT_SIZE];

// Asks the ECU for every entry of supported_pids (100 ms apart) and writes
//   {\n  "TYP": 1,\n  "CMD": 2,\n  "DATA": {\n    "ENGRPM": 1726.00,\n    "SPD": "--"\n  }\n}
// into json_output. Returns json_output, or nullptr when no PID answered.
char *handle_live_mode(int unused, const ecu_entry &ecu);
