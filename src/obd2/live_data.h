// One cycle of live sensor values as the live data message.
#pragma once

constexpr int JSON_OUTPUT_SIZE = 4096;
extern char json_output[JSON_OUTPUT_SIZE];

// Fills json_output; returns it, or nullptr when no PID answered.
char *handle_live_mode(int unused, int addr_mode);
