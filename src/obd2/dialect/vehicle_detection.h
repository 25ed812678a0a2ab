// Finding the vehicle: its addressing mode, its ECUs and its dialect.
#pragma once

#include "obd2/isotp.h"
#include "obd2/obd2_types.h"

#include <cstddef>
#include <cstdint>

// Asks "supported PIDs 01-20" classically (01 00 on 7DF, then 18DB33F1) and,
// only when both stayed silent, OBD on UDS (22 F4 00, the same two). The first
// answer fixes mode and dialect; `found` gets every ECU that answered that
// request (see detect_ecus), each with the dialect. Returns the mode, -2 for
// a refusal, 0 when nothing answered.
int detect_vehicle(std::uint8_t *resp, std::uint64_t *resp_len, ecu_entry *found, int max_found,
                   int *found_count);

// The same questions in the same order, for the first ECU only: the mode that
// answered (`dialect` gets its dialect), -2 for a refusal, 0 for silence.
int probe_vehicle(std::uint8_t *resp, std::uint64_t *resp_len, queued_answer queued, obd_dialect *dialect);
