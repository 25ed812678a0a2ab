// The relay thread and the relay packet parser.
//
// Relay packets reach the thread through the relay mailbox (a FIFO filled by
// the MQTT router, which also stores DO_PARSE). The thread applies every
// packet in arrival order, one at a time; packets that arrive before the
// outputs are initialised wait in the mailbox until they are.
#pragma once

// Thread entry: stores DO_INIT, then runs passes until DO_CLOSE. Returns null.
void *gpio_state_machine(void *arg);

// One pass of the relay thread over the current g_gpio_state. Returns false
// once DO_CLOSE has released the outputs (the thread then ends).
bool gpio_state_machine_pass();

// Applies the "DATA"."params"."DO" members "DO0".."DO11" of a relay packet
// to g_arr_do_states. Returns 1 when the packet had that structure, else 0
// with a message and no relay state changed.
int parse_do_packet(char *text);
