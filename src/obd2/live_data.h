// One cycle of live sensor values as the live data message.
#pragma once

constexpr int JSON_OUTPUT_SIZE = 4096;
extern char json_output[JSON_OUTPUT_SIZE];

// Asks the ECU for every entry of supported_pids (100 ms apart) and writes
//   {\n  "TYP": 1,\n  "CMD": 2,\n  "DATA": {\n    "ENGRPM": 1726.00,\n    "SPD": "--"\n  }\n}
// into json_output. Returns json_output, or nullptr when no PID answered.
char *handle_live_mode(int unused, int addr_mode);
