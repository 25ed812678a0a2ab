// Executes one UI command (TYP 1) for the session controller.
#pragma once

#include <cstdint>

// 1 when the command is done or needs nothing, 0 when the attempt failed.
// Stores IDLE or LOAD_CONFIG when the command is finished, unless a newer
// command has been handed over since this one was parsed.
int handle_received_cmd(int cmd_code);

// True when `cmd_code` does nothing while it stands: a code without action,
// or clearing with no ECU known. The controller then waits for the next
// command instead of calling the dispatcher again at once.
bool command_has_no_action(int cmd_code);

// The command generation (obd_command_generation()) at which the command
// being executed was parsed; set by the session controller before it moves
// to EXECUTE_COMMAND.
void set_dispatch_command_generation(std::uint64_t generation);

// Stores `state` into the OBD session cell under obd_state_mutex, unless a
// command newer than `generation` has been handed over since: its
// PARSE_COMMAND must not be overwritten. True when stored.
bool store_state_if_no_newer_command(int state, std::uint64_t generation);
