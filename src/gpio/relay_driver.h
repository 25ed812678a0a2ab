// The twelve relay outputs on GPIO lines of gpiochip4, gpiochip3 and gpiochip0.
#pragma once

#include <gpiod.h>

constexpr int NUM_RELAYS = 12;
extern int g_arr_do_states[NUM_RELAYS]; // 0 off, 1 on

int gpio_init();
struct gpiod_line_request *init_chip(struct gpiod_chip *chip, const unsigned int *offsets,
                                     int count, const int *state_idx, const char *consumer);
int control_do_over_gpio();
void gpio_close();
