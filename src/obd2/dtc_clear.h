// Service 04: clearing the trouble codes, with repeats while the ECU answers
// "response pending" (0x78).
#pragma once

#include <cstdint>

extern std::uint8_t g_arr_clear_dtc_cmd[8];

int handle_clear_dtc_command(int addr_mode);
