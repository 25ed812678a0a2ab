#include "obd2/command_dispatch.h"

#include "handover/thread_handover.h"
#include "mqtt/outbox.h"
#include "mqtt/status_packet.h"
#include "obd2/command_answers.h"
#include "obd2/dtc_clear.h"
#include "obd2/dtc_read.h"
#include "obd2/freeze_frame.h"
#include "obd2/live_data.h"
#include "obd2/obd2_types.h"
#include "obd2/pid_catalogue.h"
#include "obd2/readiness.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int CMD_READ_DTC = 1;
constexpr int CMD_LIVE_DATA = 2;
constexpr int CMD_STOP = 3;
constexpr int CMD_CLEAR_DTC = 4;
constexpr int CMD_IDLE_7 = 7;
constexpr int CMD_RELOAD_CONFIG = 10;
constexpr int CMD_IDLE_11 = 11;
constexpr int CMD_READINESS = 20;
constexpr int CMD_FREEZE_FRAME = 21;

// The UI waits for DTC_CLEARED some seconds after its clear command; a new
// command does not cut this pause short (the packet must still go out).
constexpr auto DTC_CLEARED_DELAY = std::chrono::seconds(4);

// What the ECU answered decides whether a command succeeded, not the
// broker: a result the link cannot take now is kept, the latest one per
// command, and published once the link is back. True when published now;
// `failure` is printed otherwise. `ends_it`: the command's terminal answer.
bool publish_result(int cmd, const char *text, const char *failure, bool ends_it = false)
{
    if (send_command_answer(cmd, text, ends_it))
        return true;
    std::puts(failure);
    return false;
}

// Composes an error status packet for `cmd` and publishes (or keeps) it.
// False when it could not be composed.
bool send_error_packet(int cmd, const char *word, const char *publish_failure, bool ends_it = false)
{
    char packet[STATUS_PACKET_SIZE] = {};
    if (create_pkt_without_data(packet, 1, cmd, 1, word) == 0) {
        std::puts("OBD2_ERROR : Error while creating error packet.");
        return false;
    }
    publish_result(cmd, packet, publish_failure, ends_it);
    return true;
}

// A command that needs an ECU, with none known: COMER, then IDLE.
int report_no_ecu(int cmd, const char *publish_failure)
{
    std::printf("OBD2_ERROR : Error while communicating with ecu device [ecu count] : [ %d ]\n",
                g_ecu_count);
    if (!send_error_packet(cmd, "COMER", publish_failure, true))
        return 0; // the attempt is repeated like any failed one
    finish_current_command(IDLE);
    return 1;
}

int read_trouble_codes()
{
    if (g_ecu_count <= 0)
        return report_no_ecu(CMD_READ_DTC, "OBD2_ERROR : Error while publishing dtc error packet.");

    handle_dtc_command();
    if (final_json[0] == '\0')
        return 0; // no document could be built (reported there): a failed attempt

    publish_result(CMD_READ_DTC, final_json, "OBD2_ERROR : Error while publishing DTC packet.", true);
    std::memset(final_json, 0, sizeof(final_json));
    finish_current_command(IDLE);
    return 1;
}

// One live cycle of the engine ECU: poll list, values, publication.
int live_cycle(const ecu_entry &engine)
{
    if (get_pid_list(engine.addr_mode) == 0) {
        std::puts("OBD2_ERROR : Error while getting supported pid's.");
        return 0;
    }
    if (handle_live_mode(0, engine) == nullptr) {
        std::puts("OBD2_ERROR : Error while getting live packet.");
        send_error_packet(CMD_LIVE_DATA, "NORES", "OBD2_ERROR : Error while publishing LIVE no response packet.");
        return 0;
    }
    publish_result(CMD_LIVE_DATA, json_output, "OBD2_ERROR : Error while publishing LIVE packet.");
    std::memset(json_output, 0, sizeof(json_output));
    return 1;
}

// The state stays EXECUTE_COMMAND, so the controller runs the next cycle.
int stream_live_data()
{
    if (g_ecu_count <= 0)
        return report_no_ecu(CMD_LIVE_DATA, "OBD2_ERROR : Error while publishing live error packet.");

    // Live values are the engine ECU's; another ECU answering the same PID
    // would give the UI two values for one key.
    return live_cycle(g_ecu_list[0]);
}

// One functional request reaches every ECU; the engine ECU's confirmation
// (entry 0) is what DTC_CLEARED reports.
int clear_one_ecu(const ecu_entry &engine)
{
    if (handle_clear_dtc_command(engine) == 0) {
        std::puts("OBD2_ERROR : Error while clearing dtc");
        send_error_packet(CMD_CLEAR_DTC, "NORES", "OBD2_ERROR : Error while sending error packet.");
        return 0;
    }
    obd_sleep(DTC_CLEARED_DELAY);

    char packet[STATUS_PACKET_SIZE] = {};
    if (create_pkt_without_data(packet, 1, CMD_CLEAR_DTC, 0, "DTC_CLEARED") == 0) {
        std::puts("OBD2_ERROR : Error while creating dtc clear success packet.");
        return 0;
    }
    publish_result(CMD_CLEAR_DTC, packet, "OBD2_ERROR : Error while sending sucess packet.", true);
    finish_current_command(IDLE);
    return 1;
}

// Nothing to do: the command ends at once, and the session goes back to the
// bring-up it interrupted or to the heartbeat. Waiting in EXECUTE_COMMAND
// for the next command would leave a car plugged in later undetected.
int end_without_action()
{
    command_finished(false);
    finish_current_command(IDLE);
    return 1;
}

int clear_trouble_codes()
{
    if (g_ecu_count <= 0) {
        std::puts("OBD2_INFO : No ECU known, nothing to clear.");
        return end_without_action();
    }
    return clear_one_ecu(g_ecu_list[0]);
}

constexpr const char *NORES_PUBLISH_FAILURE = "OBD2_ERROR : Error while publishing no response packet.";

// Readiness and freeze frame: the document, or NORES. A silent attempt
// failed and is repeated (NORES when the last retry is spent, as for trouble
// codes); a refusal is final at once.
int publish_reply(int cmd, ecu_reply reply, const std::string &document)
{
    if (reply == ecu_reply::silent)
        return 0;
    if (reply == ecu_reply::unusable) {
        send_error_packet(cmd, "NORES", NORES_PUBLISH_FAILURE);
        command_finished(true);
        finish_current_command(IDLE);
        return 1;
    }
    publish_result(cmd, document.c_str(), "OBD2_ERROR : Error while publishing result packet.", true);
    finish_current_command(IDLE);
    return 1;
}

int read_readiness()
{
    if (g_ecu_count <= 0)
        return report_no_ecu(CMD_READINESS, "OBD2_ERROR : Error while publishing readiness error packet.");
    std::string document;
    const ecu_reply reply = handle_readiness_command(document);
    if (reply != ecu_reply::answered)
        std::puts("OBD2_ERROR : Error while getting readiness.");
    return publish_reply(CMD_READINESS, reply, document);
}

// The freeze frame is the engine ECU's (entry 0).
int read_freeze_frame()
{
    if (g_ecu_count <= 0)
        return report_no_ecu(CMD_FREEZE_FRAME, "OBD2_ERROR : Error while publishing freeze frame error packet.");
    std::string document;
    const ecu_reply reply = handle_freeze_frame_command(g_ecu_list[0], document);
    if (reply != ecu_reply::answered)
        std::puts("OBD2_ERROR : Error while getting freeze frame.");
    return publish_reply(CMD_FREEZE_FRAME, reply, document);
}

} // namespace

void report_command_given_up(int cmd_code)
{
    // Live data and clearing report every failed attempt themselves; a
    // trouble-code reading, readiness and the freeze frame get one answer, so
    // the UI hears of the silent car once, when the last retry is spent.
    if (cmd_code == CMD_READ_DTC)
        send_error_packet(CMD_READ_DTC, "NORES", "OBD2_ERROR : Error while publishing dtc error packet.");
    else if (cmd_code == CMD_READINESS || cmd_code == CMD_FREEZE_FRAME)
        send_error_packet(cmd_code, "NORES", NORES_PUBLISH_FAILURE);
    command_finished(true);
}

int handle_received_cmd(int cmd_code)
{
    switch (cmd_code) {
    case CMD_READ_DTC:
        return read_trouble_codes();
    case CMD_LIVE_DATA:
        return stream_live_data();
    case CMD_CLEAR_DTC:
        return clear_trouble_codes();
    case CMD_READINESS:
        return read_readiness();
    case CMD_FREEZE_FRAME:
        return read_freeze_frame();
    case CMD_STOP:
    case CMD_IDLE_7:
    case CMD_IDLE_11:
        command_finished(false);
        finish_current_command(IDLE);
        return 1;
    case CMD_RELOAD_CONFIG:
        finish_current_command(LOAD_CONFIG);
        return 1;
    default:
        return end_without_action();
    }
}
