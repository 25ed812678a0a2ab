#include "obd2/command_answers.h"

#include "handover/ui_state_cells.h"
#include "mqtt/command_id.h"
#include "obd2/obd2_types.h"

namespace {

constexpr int CMD_LIVE_DATA = 2;
constexpr int CMD_CLEAR_DTC = 4;
constexpr int CMD_RELOAD_CONFIG = 10;

struct open_command {
    bool open = false;
    int cmd = 0;
    std::string id; // "" for a command without one
    bool last_attempt_failed = false;
};
open_command current; // OBD thread only

bool known_command(int cmd)
{
    switch (cmd) {
    case 1: case 2: case 3: case 4: case 7: case 10: case 11: case 20: case 21: return true;
    default: return false;
    }
}

// The commands "BUSY" shows while they run.
bool shown_busy(int cmd)
{
    return cmd == 1 || cmd == 2 || cmd == 4 || cmd == 10 || cmd == 20 || cmd == 21;
}

// Answers that belong to a command with an ID are kept until acknowledged
// and never replaced by another command's. A live document is superseded by
// the next one.
void send_answer_text(const std::string &text, delivery how = delivery::in_order, int cmd = 0)
{
    outbox_send(text.c_str(), how, cmd);
}

void close_command()
{
    current.open = false;
    set_ui_busy(0);
}

void refuse(int cmd, const std::string &id, const char *why)
{
    if (!id.empty())
        send_answer_text(command_answer(cmd, 1, id, "NAK", why));
}

} // namespace

void command_taken(int cmd, const std::string &id)
{
    if (current.open)
        command_finished(current.cmd != CMD_LIVE_DATA || current.last_attempt_failed);
    if (!known_command(cmd)) {
        refuse(cmd < 0 ? 0 : cmd, id, WHY_UNKNOWN);
        return;
    }
    if (cmd == CMD_CLEAR_DTC && g_ecu_count <= 0) {
        refuse(cmd, id, WHY_NO_ECU);
        return;
    }
    current = open_command{true, cmd, id, false};
    if (shown_busy(cmd))
        set_ui_busy(cmd);
    if (!id.empty())
        send_answer_text(command_answer(cmd, 0, id, "ACK"));
}

bool send_command_answer(int cmd, const char *text, bool ends_it)
{
    const bool owed = current.open && !current.id.empty();
    outbox_result result;
    if (!owed)
        result = outbox_send(text, delivery::latest_of_command, cmd);
    else if (cmd == CMD_LIVE_DATA && !ends_it)
        result = outbox_send(with_command_id(text, current.id).c_str(), delivery::latest_of_command, cmd);
    else
        result = outbox_send(with_command_id(text, current.id).c_str(), delivery::in_order);
    if (ends_it && current.open)
        close_command();
    return result == outbox_result::sent;
}

void command_finished(bool failed)
{
    if (!current.open)
        return;
    if (!current.id.empty())
        send_answer_text(command_answer(current.cmd, failed ? 1 : 0, current.id, "DONE"));
    close_command();
}

void command_attempt_done(bool failed) { current.last_attempt_failed = failed; }

void reload_finished(bool failed)
{
    if (current.open && current.cmd == CMD_RELOAD_CONFIG)
        command_finished(failed);
}
