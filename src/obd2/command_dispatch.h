// Executes one UI command (TYP 1) for the session controller.
#pragma once

// 1 when the command is done or needs nothing, 0 when the attempt failed.
// Stores IDLE or LOAD_CONFIG when the command is finished, unless a newer
// command has been handed over since this one was parsed
// (finish_current_command). Only live data leaves EXECUTE_COMMAND standing
// (its next cycle); a command with nothing to do (a code without action,
// clearing with no ECU known) is finished at once like any other.
int handle_received_cmd(int cmd_code);

// The controller gave up `cmd_code` after its last failed attempt: the UI is
// told where the command has no report of its own (NORES for CMD 1).
void report_command_given_up(int cmd_code);
