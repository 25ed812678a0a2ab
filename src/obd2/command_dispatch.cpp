#include "obd2/command_dispatch.h"

#include "main/thread_states.h"
#include "mqtt/mqtt_link.h"
#include "mqtt/status_packet.h"
#include "obd2/dtc_clear.h"
#include "obd2/dtc_read.h"
#include "obd2/live_data.h"
#include "obd2/obd2_types.h"
#include "obd2/pid_catalogue.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

constexpr int CMD_READ_DTC = 1;
constexpr int CMD_LIVE_DATA = 2;
constexpr int CMD_STOP = 3;
constexpr int CMD_CLEAR_DTC = 4;
constexpr int CMD_IDLE_7 = 7;
constexpr int CMD_RELOAD_CONFIG = 10;
constexpr int CMD_IDLE_11 = 11;

// The UI waits for DTC_CLEARED some seconds after its clear command; a new
// command does not cut this pause short (the packet must still go out).
constexpr auto DTC_CLEARED_DELAY = std::chrono::seconds(4);

// Generation of the command being executed; OBD thread only.
std::uint64_t dispatch_generation = 0;

// Stores the state that ends the command being executed.
void finish_command(int state) { store_state_if_no_newer_command(state, dispatch_generation); }

// Composes an error status packet for `cmd` and publishes it. Returns 0 when
// composing failed (nothing sent), -1 when publishing failed, 1 when sent.
int send_error_packet(int cmd, const char *word)
{
    char packet[STATUS_PACKET_SIZE] = {};
    if (create_pkt_without_data(packet, 1, cmd, 1, word) == 0) {
        std::puts("OBD2_ERROR : Error while creating error packet.");
        return 0;
    }
    return MQTT_Publish_Data(0, packet) == 1 ? 1 : -1;
}

// CMD 1 or 2 with no ECU known: COMER, then IDLE.
int report_no_ecu(int cmd, const char *publish_failure)
{
    std::printf("OBD2_ERROR : Error while communicating with ecu device [ecu count] : [ %d ]\n",
                g_ecu_count);
    int sent = send_error_packet(cmd, "COMER");
    if (sent == 0)
        return 0; // the attempt is repeated like any failed one
    int result = 1;
    if (sent < 0) {
        std::puts(publish_failure);
        result = 0;
    }
    finish_command(IDLE);
    return result;
}

int read_trouble_codes()
{
    if (g_ecu_count <= 0)
        return report_no_ecu(CMD_READ_DTC, "OBD2_ERROR : Error while publishing dtc error packet.");

    handle_dtc_command();
    if (final_json[0] == '\0')
        return 0; // no document could be built (reported there): a failed attempt

    if (MQTT_Publish_Data(0, final_json) != 1) {
        std::puts("OBD2_ERROR : Error while publishing DTC packet.");
        return 0;
    }
    std::memset(final_json, 0, sizeof(final_json));
    finish_command(IDLE);
    return 1;
}

// One live cycle for one ECU: poll list, values, publication.
int live_cycle(int addr_mode)
{
    if (get_pid_list(addr_mode) == 0) {
        std::puts("OBD2_ERROR : Error while getting supported pid's.");
        return 0;
    }
    if (handle_live_mode(0, addr_mode) == nullptr) {
        std::puts("OBD2_ERROR : Error while getting live packet.");
        if (send_error_packet(CMD_LIVE_DATA, "NORES") < 0)
            std::puts("OBD2_ERROR : Error while publishing LIVE no response packet.");
        return 0;
    }
    if (MQTT_Publish_Data(0, json_output) != 1) {
        std::puts("OBD2_ERROR : Error while publishing LIVE packet.");
        return 0;
    }
    std::memset(json_output, 0, sizeof(json_output));
    return 1;
}

// The state stays EXECUTE_COMMAND, so the controller runs the next cycle.
int stream_live_data()
{
    if (g_ecu_count <= 0)
        return report_no_ecu(CMD_LIVE_DATA, "OBD2_ERROR : Error while publishing live error packet.");

    for (int i = 0; i < g_ecu_count; ++i) {
        if (live_cycle(g_ecu_list[i].addr_mode) == 0)
            return 0;
    }
    return 1;
}

int clear_one_ecu(int addr_mode)
{
    if (handle_clear_dtc_command(addr_mode) == 0) {
        std::puts("OBD2_ERROR : Error while clearing dtc");
        if (send_error_packet(CMD_CLEAR_DTC, "NORES") < 0)
            std::puts("OBD2_ERROR : Error while sending error packet.");
        return 0;
    }
    std::this_thread::sleep_for(DTC_CLEARED_DELAY);

    char packet[STATUS_PACKET_SIZE] = {};
    if (create_pkt_without_data(packet, 1, CMD_CLEAR_DTC, 0, "DTC_CLEARED") == 0) {
        std::puts("OBD2_ERROR : Error while creating dtc clear success packet.");
        return 0;
    }
    if (MQTT_Publish_Data(0, packet) != 1) {
        std::puts("OBD2_ERROR : Error while sending sucess packet.");
        return 0;
    }
    finish_command(IDLE);
    return 1;
}

int clear_trouble_codes()
{
    for (int j = 0; j < g_ecu_count; ++j) {
        if (clear_one_ecu(g_ecu_list[j].addr_mode) == 0)
            return 0; // the remaining entries are not cleared
    }
    return 1;
}

} // namespace

bool store_state_if_no_newer_command(int state, std::uint64_t generation)
{
    // The hand-over stores PARSE_COMMAND and bumps the generation under this
    // mutex, so under it the generation tells whether a command came in.
    std::lock_guard lock(obd_state_mutex);
    if (obd_command_generation() != generation)
        return false;
    change_obd2_thrd_state(state);
    return true;
}

void set_dispatch_command_generation(std::uint64_t generation) { dispatch_generation = generation; }

bool command_has_no_action(int cmd_code)
{
    switch (cmd_code) {
    case CMD_READ_DTC:
    case CMD_LIVE_DATA:
    case CMD_STOP:
    case CMD_IDLE_7:
    case CMD_RELOAD_CONFIG:
    case CMD_IDLE_11:
        return false;
    case CMD_CLEAR_DTC:
        return g_ecu_count <= 0;
    default:
        return true;
    }
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
    case CMD_STOP:
    case CMD_IDLE_7:
    case CMD_IDLE_11:
        finish_command(IDLE);
        return 1;
    case CMD_RELOAD_CONFIG:
        finish_command(LOAD_CONFIG);
        return 1;
    default:
        return 1;
    }
}
