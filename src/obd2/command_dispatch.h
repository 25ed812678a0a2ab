// Executes one UI command (TYP 1) for the session controller.
#pragma once

// 1 when the command is done or needs nothing, 0 when the attempt failed.
int handle_received_cmd(int cmd_code);
