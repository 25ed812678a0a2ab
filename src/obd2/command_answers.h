// What the UI is owed for the command under way (OBD thread only): the ACK
// or NAK when a command is taken, its ID in every answer, exactly one
// terminal answer, and "BUSY" in the UI's state while it runs.
//
// A command without an ID gets exactly the answers it always got; the
// ones added here (ACK, NAK, DONE) are sent only for a command with an ID.
#pragma once

#include "mqtt/outbox.h"

#include <string>

// A command was taken from the mailbox. The command it replaces ends first
// (a live stream with DONE, anything cut before its answer with DONE and
// ERROR 1). Then the new one is refused (NAK: an unknown CMD, or CMD 4
// with no ECU known) or acknowledged (ACK).
void command_taken(int cmd, const std::string &id);

// Hands `text`, an answer of the command under way, to the outbox with the
// command's ID. `ends_it`: its terminal answer (document, DTC_CLEARED,
// COMER); nothing of the command is sent after it. True when published now.
bool send_command_answer(int cmd, const char *text, bool ends_it);

// The command under way ended without a terminal answer of its own: DONE,
// ERROR 1 when `failed`.
void command_finished(bool failed);

// The outcome of the command's latest attempt (a live stream cut by a newer
// command ends with ERROR 0 unless its last cycle failed).
void command_attempt_done(bool failed);

// The bring-up a CMD 10 started came to its end: the vehicle identified, or
// a step failed (configuration unusable, CAN sockets, no ECU answering).
void reload_finished(bool failed);
