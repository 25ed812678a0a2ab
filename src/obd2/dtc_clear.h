// Service 04: clearing the trouble codes, with repeats while the ECU answers
// "response pending" (0x78).
#pragma once

#include "obd2/obd2_types.h"

#include <cstdint>

extern std::uint8_t g_arr_clear_dtc_cmd[8];

// Repeats allowed after a 0x78 answer (so at most six 0x78 answers), each
// after a 300 ms pause.
constexpr int CLEAR_DTC_MAX_PENDING_REPEATS = 5;
// Attempts that bring no usable answer (silence, a broken transfer) before
// the clearing is given up; each may cost the full 10 s wait.
constexpr int CLEAR_DTC_MAX_SILENT_ATTEMPTS = 3;

// Clears the codes through the functional address of `ecu`'s mode, so every
// ECU on the bus hears it. 1 when `ecu` confirmed (0x44), 0 otherwise.
int handle_clear_dtc_command(const ecu_entry &ecu);
