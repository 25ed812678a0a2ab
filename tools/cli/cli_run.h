// One run of diag-gateway-cli: reads the daemon's state, sends the command
// with an ID of its own, waits for the answers that carry it and prints them.
#pragma once

#include "cli_options.h"

// The exit status (CLI_EXIT_*).
int run_cli(const cli_options &options);
