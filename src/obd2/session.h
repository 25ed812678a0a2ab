// The OBD session thread: configuration, CAN bring-up, ECU detection, vehicle
// identification, idle heartbeat, command execution.
#pragma once

void *obd2_com_thrd_main(void *arg);
