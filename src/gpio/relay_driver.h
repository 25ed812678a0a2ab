// The twelve relay outputs on GPIO lines of gpiochip4, gpiochip3 and gpiochip0.
//
// Relays are low-active: a relay that is off has its line high, a relay that
// is on has its line low. Only the relay thread calls these functions.
#pragma once

#include <gpiod.h>

constexpr int NUM_RELAYS = 12;
extern int g_arr_do_states[NUM_RELAYS]; // 0 off, 1 on

// Opens the three chips and requests all twelve lines as outputs, driven high
// (every relay off, every relay state 0). Returns 1, or 0 with everything this
// attempt opened or requested given back. An already initialised driver is
// closed and initialised afresh.
int gpio_init();

// Requests `count` lines of an open chip as outputs, all high, and sets the
// relay states of `state_idx` to 0. Returns the request, or null (errno set).
struct gpiod_line_request *init_chip(struct gpiod_chip *chip, const unsigned int *offsets,
                                     int count, const int *state_idx, const char *consumer);

// Writes all twelve relay states to their lines, one write per chip. Returns 1.
int control_do_over_gpio();

// Releases the line requests and closes the chips.
void gpio_close();

// True while all three chips are open and all twelve lines requested.
bool gpio_outputs_ready();
