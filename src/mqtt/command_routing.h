// Routing of every command arriving on "dt/ui_to_app/cmd" by its "TYP":
// type 1 to the OBD session's command mailbox, type 2 to the relay thread.
#pragma once

#include <cstdint>
#include <string>

constexpr int CAN_CMD_SIZE = 200;        // command mailbox, terminator included
constexpr int ARRIVAL_BUFFER_SIZE = 1024;

// Command mailbox: the latest type 1 text. Guarded by obd_state_mutex.
extern char g_can_cmd[CAN_CMD_SIZE];

void handle_incoming_packet(const char *text);

// Puts `text` into the mailbox and moves the OBD session to PARSE_COMMAND.
// A text of CAN_CMD_SIZE characters or more is refused with a message (and a
// NAK when it has an ID). A command with an ID still in the mailbox, not yet
// taken for work, is refused as superseded.
void command_for_can(const char *text);

// The "CMD" number of the mailbox text, or -1.
int parse_received_cmd();

// OBD thread: takes the mailbox command read since generation `seen` for
// work, storing `state`, unless a newer command has been handed over since
// (it was then refused as superseded). Fills `id` with its ID ("" for none).
bool take_mailbox_command(std::uint64_t seen, int state, std::string &id);

// OBD thread: hands the refusals the router could not publish itself (it
// runs on the library's callback thread) to the outbox.
void send_refusals();

// Hands `text` to the relay thread and moves it to DO_PARSE.
// A text of RELAY_PACKET_SIZE characters or more is refused with a message.
void get_gpio_cntrl_pkt(const char *text);
