#include "gpio/relay_thread.h"

#include "c_handles.h"
#include "gpio/relay_driver.h"
#include "handover/relay_mailbox.h"
#include "handover/supervision_cells.h"
#include "handover/thread_handover.h"
#include "handover/ui_state_cells.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr auto INIT_RETRY_PAUSE = 500ms;
// Longest idle pause; a queued packet ends it at once.
constexpr auto IDLE_WAIT = 500ms;

// A parsed packet whose states have not reached the lines yet. The router's
// plain store of DO_PARSE can replace DO_APPLY before this thread acts on it;
// the next parse pass then writes the earlier packet first, so its switches
// are neither lost nor merged into a later packet. Relay thread only.
bool apply_pending = false;

// The relay states before the packet being applied, so that the log names
// the relays it switched. Relay thread only.
std::array<int, NUM_RELAYS> states_before_packet{};

// One line per relay that switched, written after the lines were set: a
// write to the log (journal, file) takes longer than the switch itself and
// must not delay it.
void log_switched_relays()
{
    for (int relay = 0; relay < NUM_RELAYS; ++relay) {
        if (states_before_packet[relay] == g_arr_do_states[relay])
            continue;
        states_before_packet[relay] = g_arr_do_states[relay];
        std::printf("DO_INFO : relay %d %s\n", relay, g_arr_do_states[relay] ? "ON" : "OFF");
    }
}

// The UI's state shows the lines as last set.
void show_relay_states()
{
    std::uint32_t lines = 0;
    for (int relay = 0; relay < NUM_RELAYS; ++relay) {
        if (g_arr_do_states[relay])
            lines |= 1u << relay;
    }
    set_ui_relays(lines);
}

void write_relay_states()
{
    control_do_over_gpio();
    apply_pending = false;
    show_relay_states();
    log_switched_relays();
}

const cJSON *object_member(const cJSON *object, const char *name)
{
    const cJSON *member = cJSON_GetObjectItem(object, name); // key case ignored
    return cJSON_IsObject(member) ? member : nullptr;
}

void init_pass()
{
    if (gpio_outputs_ready()) {
        move_gpio_state(DO_INIT, DO_IDLE);
        return;
    }
    if (gpio_init() == 1) {
        apply_pending = false; // every relay is off now and every line high
        show_relay_states();
        move_gpio_state(DO_INIT, DO_IDLE);
        return;
    }
    std::this_thread::sleep_for(INIT_RETRY_PAUSE);
}

// Takes the oldest packet from the mailbox into a local buffer, so the parser
// never sees a text the router is still writing.
void parse_pass()
{
    if (!gpio_outputs_ready()) { // the packet stays queued until the lines are held
        move_gpio_state(DO_PARSE, DO_INIT);
        return;
    }
    if (apply_pending)
        write_relay_states();
    relay_packet gpio_cntrl_pkt;
    if (!relay_mailbox_pop(gpio_cntrl_pkt)) { // already taken by an earlier pass
        move_gpio_state(DO_PARSE, DO_IDLE);
        return;
    }
    std::copy(std::begin(g_arr_do_states), std::end(g_arr_do_states), states_before_packet.begin());
    if (parse_do_packet(gpio_cntrl_pkt.data()) == 1) {
        apply_pending = true;
        move_gpio_state(DO_PARSE, DO_APPLY);
        return;
    }
    std::puts("DO_ERROR: Failed to parse packet");
    move_gpio_state(DO_PARSE, DO_IDLE);
}

void apply_pass()
{
    if (!gpio_outputs_ready()) {
        move_gpio_state(DO_APPLY, DO_INIT);
        return;
    }
    write_relay_states();
    move_gpio_state(DO_APPLY, DO_IDLE);
}

// DO_IDLE and any value without a meaning. Waiting on the mailbox instead of
// sleeping lets a relay switch within milliseconds of its packet, and a
// packet whose DO_PARSE store fell together with an earlier packet's is still
// found here.
void idle_pass(int state)
{
    if (!gpio_outputs_ready()) {
        move_gpio_state(state, DO_INIT);
        return;
    }
    if (apply_pending)
        write_relay_states();
    if (relay_mailbox_wait(IDLE_WAIT))
        move_gpio_state(state, DO_PARSE);
}

} // namespace

int parse_do_packet(char *text)
{
    json_ptr root(cJSON_Parse(text));
    if (!root) {
        std::puts("DO_ERROR: Invalid JSON format");
        return 0;
    }
    const cJSON *data = object_member(root.get(), "DATA");
    if (data == nullptr) {
        std::puts("DO_ERROR: Missing DATA object");
        return 0;
    }
    const cJSON *params = object_member(data, "params");
    if (params == nullptr) {
        std::puts("DO_ERROR: Missing params object");
        return 0;
    }
    const cJSON *relays = object_member(params, "DO");
    if (relays == nullptr) {
        std::puts("DO_ERROR: DO object missing");
        return 0;
    }
    for (int relay = 0; relay < NUM_RELAYS; ++relay) {
        char name[16];
        std::snprintf(name, sizeof name, "DO%d", relay);
        const cJSON *member = cJSON_GetObjectItem(relays, name);
        // valueint is the number with its fraction dropped (saturated at the
        // int range), so 0.5 is off and 1.5 or -1 is on.
        if (cJSON_IsNumber(member))
            g_arr_do_states[relay] = member->valueint != 0 ? 1 : 0;
    }
    return 1;
}

bool gpio_state_machine_pass()
{
    const int state = g_gpio_state.load();
    switch (state) {
    case DO_INIT:
        init_pass();
        return true;
    case DO_PARSE:
        parse_pass();
        return true;
    case DO_APPLY:
        apply_pass();
        return true;
    case DO_CLOSE:
        gpio_close();
        apply_pending = false;
        return false;
    default:
        idle_pass(state);
        return true;
    }
}

// Progress is marked at every pass. The longest pass waits 0.5 s (for a
// packet, or before trying the GPIO chips again); writing the lines is a few
// ioctl calls. A thread that has not come round in 10 s is stuck.
constexpr auto RELAY_PROGRESS_BOUND = std::chrono::seconds(10);

void *gpio_state_machine(void *)
{
    change_gpio_state(DO_INIT);
    for (;;) {
        mark_progress(worker::relay_outputs, RELAY_PROGRESS_BOUND);
        show_relays_ready(gpio_outputs_ready());
        if (!gpio_state_machine_pass())
            break;
        if (shutdown_requested())
            change_gpio_state(DO_CLOSE); // the lines are released on the way out
    }
    return nullptr;
}
