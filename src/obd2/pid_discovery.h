// Which catalogue PIDs the ECU answers.
#pragma once

#include "obd2/obd2_types.h"

constexpr int PID_AVAILABILITY_SIZE = 87;
extern int g_pid_availability[PID_AVAILABILITY_SIZE];

// Entries 0..4 (ENGLD, COLTMP, FULPRS, INTPRS, ENGRPM) 1, the rest 0.
void set_default_pid_availability();

// Scans every catalogue PID and publishes "GOTPID". 1, or 0 when the
// publication failed.
int get_supported_pid_list(const ecu_entry &ecu);
