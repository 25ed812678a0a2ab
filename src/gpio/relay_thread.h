// The relay thread and the relay packet parser.
#pragma once

void *gpio_state_machine(void *arg);
int parse_do_packet(char *text);
