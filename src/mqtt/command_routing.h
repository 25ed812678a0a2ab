// Routing of every command arriving on "dt/ui_to_app/cmd" by its "TYP":
// type 1 to the OBD session's command mailbox, type 2 to the relay thread.
#pragma once

constexpr int CAN_CMD_SIZE = 200;        // command mailbox, terminator included
constexpr int ARRIVAL_BUFFER_SIZE = 1024;

// Command mailbox: the latest type 1 text. Guarded by obd_state_mutex.
extern char g_can_cmd[CAN_CMD_SIZE];

void handle_incoming_packet(const char *text);

// Puts `text` into the mailbox and moves the OBD session to PARSE_COMMAND.
// A text of CAN_CMD_SIZE characters or more is refused with a message.
void command_for_can(const char *text);

// The "CMD" number of the mailbox text, or -1.
int parse_received_cmd();

// Hands `text` to the relay thread and moves it to DO_PARSE.
// A text of RELAY_PACKET_SIZE characters or more is refused with a message.
void get_gpio_cntrl_pkt(const char *text);
