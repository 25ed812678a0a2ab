// The OBD session thread: configuration, CAN bring-up, ECU detection, vehicle
// identification, idle heartbeat, command execution.
#pragma once

// 1 while an ECU is considered present, 0 after the heartbeat declared it
// lost. OBD thread only.
extern int g_flg_supported_pid_list;

// Thread entry: the start-up reset, then obd2_session_pass() until a
// shutdown is requested.
void *obd2_com_thrd_main(void *arg);

// One pass of the session state machine: reads the state cell once and runs
// that state's handler.
void obd2_session_pass();
