#include "obd2/session.h"

#include "handover/supervision_cells.h"
#include "handover/thread_handover.h"
#include "handover/ui_state_cells.h"
#include "mqtt/command_routing.h"
#include "mqtt/outbox.h"
#include "mqtt/status_packet.h"
#include "obd2/can_link.h"
#include "obd2/command_answers.h"
#include "obd2/command_dispatch.h"
#include "obd2/config_file.h"
#include "obd2/ecu_info_file.h"
#include "obd2/isotp.h"
#include "obd2/obd2_types.h"
#include "obd2/pid_discovery.h"
#include "obd2/vehicle_info.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

int g_flg_supported_pid_list = 1;

namespace {

using std::chrono::milliseconds;

constexpr auto SOCKET_RETRY_PAUSE = milliseconds(100);
constexpr auto ONE_SECOND = milliseconds(1000);
constexpr int IDLE_COUNTING_PASSES = 3; // passes 0..3 count, the fifth sends the heartbeat
constexpr int HEARTBEAT_NRC_RETRIES = 2;
constexpr int COMMAND_RETRIES = 2;

// Working data of the thread, kept for its whole life; OBD thread only.
std::uint8_t request_frame[OBD2_REQUEST_SIZE];
std::uint8_t response_buf[OBD2_RESPONSE_SIZE];
std::uint64_t response_len = 0;
int socket_retry_count = 0;
int cmd_code = 0;
int cmd_retry_count = 0;
int nrc_retry_count = 0;
int idle_pass_count = 0;
bool config_pass_failed = false;    // the previous LOAD_CONFIG pass failed

// Where the bring-up goes on: the state its last pass chose, IDLE once the
// vehicle is identified. A command may take the session out of the bring-up
// at any pass; when the command ends (IDLE), the session comes back here, so
// the sockets are opened and the vehicle identified whatever the UI sent.
int bringup_next_state = LOAD_CONFIG;

// A bring-up pass chose its next state.
void advance_bringup(int next, std::uint64_t seen)
{
    bringup_next_state = next;
    store_state_if_no_newer_command(next, seen);
}

bool bringup_pending() { return bringup_next_state != IDLE; }

bool is_bringup_state(int state)
{
    return state == LOAD_CONFIG || state == CAN_INIT || state == DETECT_ECU || state == IDENTIFY_VEHICLE;
}

// The bring-up's words are kept until the link takes them; the heartbeat's
// only count when fresh.
int publish_heartbeat_status(const char *word, int error)
{
    return publish_status(word, error, delivery::now_or_never);
}

void publish_wrong_config(bool report_failure)
{
    if (publish_status("WRNGCFG", 1) != 1 && report_failure)
        std::puts("OBD2_ERROR : Error while publishing wrong config error packet.");
}

// A configuration that stays unusable would otherwise be re-read and
// reported to the UI without pause: the first failure goes on at once (the
// restored default is read straight away), every further one waits a second.
void pace_config_failure(std::uint64_t seen)
{
    if (config_pass_failed)
        obd_pause(ONE_SECOND, seen);
    config_pass_failed = true;
}

// The configuration is unusable: the bring-up a CMD 10 started ends here.
void config_unusable()
{
    set_ui_config(config_state::invalid);
    reload_finished(true);
}

// A good read: "restored" stays while the file is still the default that
// replaced a rejected one.
void config_read()
{
    if (ui_config() != config_state::restored || !config_is_the_default())
        set_ui_config(config_state::ok);
}

void load_config_pass(std::uint64_t seen)
{
    const std::string path = config_json_path();
    if (parse_config_json(path.c_str()) == 0) {
        // prints the parse error and the outcome
        if (restore_default_config() == 1)
            set_ui_config(config_state::restored);
        else
            config_unusable();
        publish_wrong_config(false);
        pace_config_failure(seen);
        return;
    }
    print_config_summary();
    if (g_can_bitrate <= 0) {
        std::puts("OBD2_ERROR : Incorrect bitrate");
        config_unusable();
        publish_wrong_config(true);
        pace_config_failure(seen);
        return;
    }
    config_read();
    config_pass_failed = false;
    can_setup("can0", static_cast<long long>(g_can_bitrate));
    advance_bringup(CAN_INIT, seen);
}

void can_init_pass(std::uint64_t seen)
{
    if (init_can_socket() != 0) {
        advance_bringup(DETECT_ECU, seen);
        return;
    }
    std::printf("OBD2_ERROR : INIT CAN SOCKET FAILED -> RETRYING[%d]\n", socket_retry_count);
    reload_finished(true);
    ++socket_retry_count;
    obd_pause(SOCKET_RETRY_PAUSE, seen);
    advance_bringup(CAN_INIT, seen);
}

void print_detection_response()
{
    std::puts("response for mode detection : ");
    print_bytes(response_buf, clamp_response_length(response_len), "[%2x] ");
    std::putchar('\n');
}

// Every ECU that answered, lowest identifier (the engine ECU, 7E8) first.
// Entry 0 is the ECU the session identifies and watches.
void record_detected_ecus(const ecu_entry *found, int found_count)
{
    for (int i = 0; i < found_count; ++i)
        g_ecu_list[i] = found[i];
    g_ecu_count = found_count;
    std::printf("OBD2_INFO : Detected ECU with %s mode.\n",
                g_ecu_list[0].addr_mode == ADDR_MODE_11BIT ? "11-bit" : "29-bit");
}

void report_no_ecu_detected(std::uint64_t seen)
{
    std::puts("OBD2_ERROR : ECU MODE DETECTION FAILED. Retrying...");
    forget_ui_vehicle();
    reload_finished(true);
    reset_supported_pid();
    publish_heartbeat_status("NOECU", 1);
    obd_pause(ONE_SECOND, seen);
}

void detect_ecu_pass(std::uint64_t seen)
{
    if (prepare_request(request_frame, 2, 1, 0) != 1) {
        std::puts("OBD2_ERROR : Error while creating request while detecting mode.");
        return;
    }
    // A negative response (-2) still proves an ECU is there.
    ecu_entry found[MAX_ECUS];
    int found_count = 0;
    if (detect_ecus(request_frame, sizeof(request_frame), response_buf, &response_len, found, MAX_ECUS,
                    &found_count) == 0) {
        report_no_ecu_detected(seen);
        return;
    }
    print_detection_response();
    record_detected_ecus(found, found_count);
    if (publish_status("MODEDETECTED", 0) != 1)
        std::puts("OBD2_ERROR : Error while publishing MODEDETECTED packet");
    g_flg_supported_pid_list = 1;
    advance_bringup(IDENTIFY_VEHICLE, seen);
}

// Full identification of an unknown vehicle: scan and save. False when a
// status packet could not be published; the pass then starts again.
bool identify_unknown_vehicle(const ecu_entry &engine)
{
    set_can_protocol(engine.addr_mode);
    if (publish_status("GOTINFO", 0) != 1) {
        std::puts("OBD2_ERROR : Error while publishing GOTINFO packet");
        return false;
    }
    if (get_supported_pid_list(engine) != 1)
        std::puts("OBD2_ERROR : Error while getting supported pid list.");
    if (publish_status("SAVSUC", 0) != 1) {
        std::puts("OBD2_ERROR : Error while sending SAVSUC packet.");
        return false;
    }
    if (save_ecu_info_json() == 0)
        std::puts("OBD2_ERROR : Error while saving ecu info json.");
    return true;
}

// The vehicle is the engine ECU's (entry 0): its information, its PIDs, its
// fingerprint in the ECU info file. Other ECUs only add their trouble codes.
void identify_vehicle_pass(std::uint64_t seen)
{
    if (g_ecu_count <= 0) {
        advance_bringup(DETECT_ECU, seen);
        return;
    }
    const ecu_entry &engine = g_ecu_list[0];
    if (get_vehicle_info(engine) == 0)
        std::puts("OBD2_ERROR : Error while getting information packet.");

    if (compare_vehicle_info_with_saved() == 1) {
        publish_status("GOTINFO", 0);
        publish_status("GOTPID", 0);
        publish_status("SAVSUC", 0);
    } else if (!identify_unknown_vehicle(engine)) {
        obd_pause(ONE_SECOND, seen); // a status packet could not even be composed
        return;
    }
    set_ui_vehicle(known_vehicle{ecu_address_text(engine), can_protocol_name(engine.addr_mode), vehicle_vin()});
    reload_finished(false);
    advance_bringup(IDLE, seen);
}

// Taking a command is skipped when another came in while it was parsed:
// the next pass parses the newer one (this one was refused as superseded).
void parse_command_pass(std::uint64_t seen)
{
    const int code = parse_received_cmd();
    std::string id;
    if (code == 0) {
        // Reading the same text again would give 0 again: the command ends,
        // and the session goes back to the bring-up or the heartbeat.
        std::puts("OBD2_ERROR : CAN command detection failed.");
        if (take_mailbox_command(seen, IDLE, id))
            command_taken(code, id);
        return;
    }
    if (!take_mailbox_command(seen, EXECUTE_COMMAND, id))
        return;
    cmd_code = code;
    cmd_retry_count = 0;
    set_current_command_generation(seen);
    command_taken(code, id);
}

void execute_command_pass()
{
    const bool done = handle_received_cmd(cmd_code) != 0;
    command_attempt_done(!done);
    if (done) {
        cmd_retry_count = 0; // the count is of failures in a row
        return;
    }
    if (cmd_retry_count > COMMAND_RETRIES) {
        std::puts("OBD2_ERROR : NO COMMUNICATION WITH ECU.");
        report_command_given_up(cmd_code);
        cmd_retry_count = 0;
        finish_current_command(IDLE);
        return;
    }
    std::printf("OBD2_ERROR : Error while handling received command--- Retrying [%d]\n",
                cmd_retry_count);
    ++cmd_retry_count;
    obd_pause(ONE_SECOND, current_command_generation());
}

// The heartbeat got no answer (or too many negative ones).
void declare_ecu_lost()
{
    forget_ui_vehicle();
    publish_heartbeat_status("NOECU", 1);
    idle_pass_count = 0;
    if (g_flg_supported_pid_list == 1)
        reset_supported_pid();
    g_flg_supported_pid_list = 0;
}

// The heartbeat was answered. An ECU that came back after a loss starts the
// bring-up again from detection; so does one that was never detected.
void confirm_ecu_present(std::uint64_t seen)
{
    publish_heartbeat_status("ECU", 0);
    const bool found_again = g_flg_supported_pid_list == 0 || g_ecu_count <= 0;
    g_flg_supported_pid_list = 1;
    idle_pass_count = 0;
    if (found_again) {
        publish_heartbeat_status("GOTECU", 0);
        advance_bringup(DETECT_ECU, seen);
    }
}

// The heartbeat's question, answered only by an answer to this very request
// (one queued from an earlier heartbeat would vouch for a car that may be
// gone). While the vehicle is there, its engine ECU (entry 0) decides: the
// request is the functional one, as in detection, but another ECU's answer
// does not count. Once it is lost, any ECU on either mode is the next car.
// The mode that answered, -2 for a refusal, 0 for silence.
int ask_heartbeat()
{
    if (g_flg_supported_pid_list == 0 || g_ecu_count <= 0)
        return detect_mode(request_frame, sizeof(request_frame), response_buf, &response_len,
                           queued_answer::ignored);
    const ecu_entry &engine = g_ecu_list[0];
    const int r = send_obd2_request(engine, request_frame, sizeof(request_frame), response_buf, &response_len,
                                    REQ_KIND_DETECT, queued_answer::ignored);
    return r == 0 ? engine.addr_mode : r == -2 ? -2 : 0;
}

// The heartbeat runs without obd_state_mutex: the command hand-over runs on
// the MQTT library's thread, which must never wait for a CAN exchange or a
// publication. A command handed over meanwhile still wins: the state stores
// below give way to it.
void heartbeat(std::uint64_t seen)
{
    if (prepare_request(request_frame, 2, 1, 0) != 1) {
        std::puts("OBD2_ERROR : Error while creating request heartbeat");
        idle_pass_count = 0;
        return;
    }
    const int r = ask_heartbeat();
    if (r == -2 && nrc_retry_count <= HEARTBEAT_NRC_RETRIES) {
        ++nrc_retry_count; // idle_pass_count stays: the next pass asks again
        obd_pause(ONE_SECOND, seen);
        return;
    }
    if (r == -2)
        nrc_retry_count = 0;
    if (r > 0)
        confirm_ecu_present(seen);
    else
        declare_ecu_lost();
}

void idle_pass(std::uint64_t seen)
{
    if (bringup_pending()) {
        // A command ended before the bring-up did: take it up where it stopped.
        store_state_if_no_newer_command(bringup_next_state, seen);
        return;
    }
    if (idle_pass_count <= IDLE_COUNTING_PASSES) {
        ++idle_pass_count;
        obd_pause(ONE_SECOND, seen);
        return;
    }
    heartbeat(seen);
}

// The status line's view of the session, for the main thread.
void show_session_status()
{
    session_summary summary;
    summary.state = g_obd2_com_thrd_state.load();
    summary.command = cmd_code;
    // Detected in this bring-up and not lost since.
    const bool ecu_known = g_ecu_count > 0 && g_flg_supported_pid_list == 1 &&
                           (bringup_next_state == IDENTIFY_VEHICLE || bringup_next_state == IDLE);
    if (ecu_known) {
        summary.ecu_id = g_ecu_list[0].resp_id;
        summary.ecu_mode = g_ecu_list[0].addr_mode;
        summary.ecu_count = g_ecu_count;
    }
    show_session(summary);
}

// Progress is marked at every pass, at the start of every CAN exchange
// (isotp.cpp) and of every pause, before each "ip link" command
// (can_link.cpp), and every second while waiting for a command
// (thread_handover.cpp). The longest legitimate stretch between two marks is
// one exchange: up to 10 s per frame and never more than 15 s in all (the
// 5 s cap), then the work up to the next mark (a file write). A vehicle-
// information read of 40 s against a silent ECU is four such exchanges, a
// trouble-code read of several ECUs one per ECU and kind. 30 s is twice the
// longest exchange.
constexpr auto OBD_PROGRESS_BOUND = std::chrono::seconds(30);

} // namespace

void obd2_session_pass()
{
    std::uint64_t seen;
    int state;
    {
        // Read together: a command handed over after this point bumps the
        // generation, which cuts the pauses of this pass short and keeps its
        // own state stores from overwriting PARSE_COMMAND.
        std::lock_guard lock(obd_state_mutex);
        seen = obd_command_generation();
        state = g_obd2_com_thrd_state.load();
    }
    outbox_flush(); // what the UI missed while the link was down goes first
    send_refusals();
    if (state != LOAD_CONFIG && state != CAN_INIT)
        can_link_recover(); // an interface found down is brought up again before the next exchange
    if (is_bringup_state(state))
        bringup_next_state = state; // a pass that fails stays where it is
    switch (state) {
    case LOAD_CONFIG:
        load_config_pass(seen);
        break;
    case CAN_INIT:
        can_init_pass(seen);
        break;
    case DETECT_ECU:
        detect_ecu_pass(seen);
        break;
    case IDENTIFY_VEHICLE:
        identify_vehicle_pass(seen);
        break;
    case PARSE_COMMAND:
        parse_command_pass(seen);
        break;
    case EXECUTE_COMMAND:
        execute_command_pass();
        break;
    case IDLE:
        idle_pass(seen);
        break;
    default:
        // No action for this value; only a command moves the state on.
        obd_wait_for_command(seen);
        break;
    }
}

void *obd2_com_thrd_main(void * /*arg*/)
{
    // Nothing has been read yet: the file gets placeholders before anything
    // else runs, so a stale fingerprint from an earlier run never matches.
    if (reset_supported_pid() == 0)
        std::puts("OBD2_ERROR : Error while reseting supported pid's");
    remove_interrupted_config_restore();
    // A command delivered before this point (waiting on the broker when the
    // daemon subscribed) runs first; the bring-up follows it.
    store_state_if_no_newer_command(LOAD_CONFIG, 0);
    while (!shutdown_requested()) {
        mark_progress(worker::obd_session, OBD_PROGRESS_BOUND);
        show_session_status();
        obd2_session_pass();
    }
    return nullptr;
}
