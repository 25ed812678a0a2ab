// Test access to the in-memory GPIO chips behind gpiod_sim.cpp.
//
// The host simulation has five chips, "/dev/gpiochip0" to "/dev/gpiochip4",
// with 32 lines each. Every line has a level (0 low, 1 high; low until first
// driven), is either free or held by one line request (with that request's
// consumer name and direction), and keeps its level when released, like a
// real output. Chips are named by their number (4 for "/dev/gpiochip4").
//
// All functions are thread-safe: tests read levels while the relay thread
// writes them.
//
// A host-simulation daemon started with DIAG_GW_SIM_GPIO_HANG=1 in its
// environment never returns from a line write (gpiod_line_request_set_values):
// its relay thread hangs at the first relay packet.
#pragma once

#include <chrono>
#include <string>

constexpr int GPIOD_SIM_CHIP_COUNT = 5;
constexpr unsigned int GPIOD_SIM_LINES_PER_CHIP = 32;

// Back to power-on: all lines low and free, no failures armed, counters zero.
// Handles made before the reset stay safe to close, free or release.
void gpiod_sim_reset();

// Level of a line: 1 high, 0 low, -1 for a chip or line that does not exist.
int gpiod_sim_line_value(int chip, unsigned int line);

// Waits until the line has `value` (0 or 1). Returns false on timeout.
bool gpiod_sim_wait_line_value(int chip, unsigned int line, int value,
                               std::chrono::milliseconds timeout);

bool gpiod_sim_line_requested(int chip, unsigned int line);
bool gpiod_sim_line_is_output(int chip, unsigned int line);
// Consumer name of the request holding the line; empty when the line is free.
std::string gpiod_sim_line_consumer(int chip, unsigned int line);

// Makes every later gpiod_chip_open of the chip fail with `error` (errno);
// 0 lets it succeed again.
void gpiod_sim_fail_open(int chip, int error);
// Makes every later gpiod_chip_request_lines on the chip fail with `error`;
// 0 lets it succeed again.
void gpiod_sim_fail_request(int chip, int error);

// Chips opened and not yet closed.
int gpiod_sim_open_chip_count();
// Line requests made and not yet released.
int gpiod_sim_active_request_count();
// Line settings, line configs and request configs made and not yet freed.
int gpiod_sim_live_config_count();
// Successful gpiod_line_request_set_values calls on lines of the chip.
int gpiod_sim_write_count(int chip);
// gpiod_chip_open calls on the chip refused through gpiod_sim_fail_open.
int gpiod_sim_refused_open_count(int chip);

// Each level change is printed ("SIM_GPIO : gpiochip4 line 0 -> low") unless
// turned off here. On by default.
void gpiod_sim_set_verbose(bool verbose);
