#include "gpio/relay_driver.h"

#include "c_handles.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>

int g_arr_do_states[NUM_RELAYS] = {};

namespace {

constexpr int MAX_LINES_PER_CHIP = 32;
constexpr std::size_t MAX_RELAYS_PER_CHIP = 5;

// How one chip is wired. The position of a line in `lines` is also its
// position in the chip's request and in every value array written to it;
// `relays` holds the relay (index into g_arr_do_states) on that line.
struct chip_wiring {
    const char *path;
    const char *consumer;
    const char *open_failure;
    const char *request_failure;
    std::size_t line_count;
    std::array<unsigned int, MAX_RELAYS_PER_CHIP> lines;
    std::array<int, MAX_RELAYS_PER_CHIP> relays;
};

// The board's wiring, the one place to change when relays move. Rows are in
// the order the driver opens, requests and writes the chips.
constexpr std::array<chip_wiring, 3> wiring{{
    {"/dev/gpiochip4", "do_ctrl_chip4", "DO_ERROR: Failed to open gpiochip4",
     "DO_ERROR: Failed to request lines on chip4", 5, {10, 11, 0, 14, 13}, {0, 1, 3, 6, 8}},
    {"/dev/gpiochip3", "do_ctrl_chip3", "DO_ERROR: Failed to open gpiochip3",
     "DO_ERROR: Failed to request lines on chip3", 4, {31, 27, 26, 25}, {2, 4, 5, 7}},
    {"/dev/gpiochip0", "do_ctrl_chip0", "DO_ERROR: Failed to open gpiochip0",
     "DO_ERROR: Failed to request lines on chip0", 3, {20, 21, 13}, {9, 10, 11}},
}};

// Every relay on exactly one line.
constexpr bool wires_every_relay_once()
{
    std::array<int, NUM_RELAYS> seen{};
    for (const chip_wiring &chip : wiring) {
        if (chip.line_count > MAX_RELAYS_PER_CHIP)
            return false;
        for (std::size_t i = 0; i < chip.line_count; ++i) {
            if (chip.relays[i] < 0 || chip.relays[i] >= NUM_RELAYS || seen[chip.relays[i]]++ != 0)
                return false;
        }
    }
    for (int count : seen) {
        if (count != 1)
            return false;
    }
    return true;
}
static_assert(wires_every_relay_once(), "the wiring table must name each of the twelve relays once");

// Plain pointers: the handles are given back only by gpio_close or a failed
// gpio_init, never by a destructor at process exit.
struct chip_handles {
    gpiod_chip *chip = nullptr;
    gpiod_line_request *request = nullptr;
};
std::array<chip_handles, wiring.size()> handles; // row i belongs to wiring[i]

using line_settings_ptr =
    std::unique_ptr<gpiod_line_settings, c_deleter<gpiod_line_settings, gpiod_line_settings_free>>;
using line_config_ptr =
    std::unique_ptr<gpiod_line_config, c_deleter<gpiod_line_config, gpiod_line_config_free>>;
using request_config_ptr =
    std::unique_ptr<gpiod_request_config,
                    c_deleter<gpiod_request_config, gpiod_request_config_free>>;

// Low-active relays: off (0) is the high level, on is the low level.
gpiod_line_value line_value_for(int relay_state)
{
    return relay_state == 0 ? GPIOD_LINE_VALUE_ACTIVE : GPIOD_LINE_VALUE_INACTIVE;
}

bool open_chip(const chip_wiring &chip, chip_handles &held)
{
    held.chip = gpiod_chip_open(chip.path);
    if (held.chip == nullptr) {
        std::perror(chip.open_failure);
        return false;
    }
    return true;
}

// Requests the chip's lines; true when requested.
bool request_lines(const chip_wiring &chip, chip_handles &held)
{
    held.request = init_chip(held.chip, chip.lines.data(), static_cast<int>(chip.line_count),
                             chip.relays.data(), chip.consumer);
    if (held.request == nullptr) {
        std::perror(chip.request_failure);
        return false;
    }
    return true;
}

void write_lines(const chip_wiring &chip, gpiod_line_request *request)
{
    if (request == nullptr) // never drive lines this process does not hold
        return;
    std::array<gpiod_line_value, MAX_RELAYS_PER_CHIP> values{};
    for (std::size_t i = 0; i < chip.line_count; ++i)
        values[i] = line_value_for(g_arr_do_states[chip.relays[i]]);
    gpiod_line_request_set_values(request, values.data());
}

void release_request(gpiod_line_request *&request)
{
    if (request != nullptr)
        gpiod_line_request_release(request);
    request = nullptr;
}

void close_chip(gpiod_chip *&chip)
{
    if (chip != nullptr)
        gpiod_chip_close(chip);
    chip = nullptr;
}

// Line requests always go first, in table order; only then are the chips
// closed (in an order each caller chooses).
void release_requests()
{
    for (chip_handles &held : handles)
        release_request(held.request);
}

bool any_chip_open()
{
    for (const chip_handles &held : handles) {
        if (held.chip != nullptr)
            return true;
    }
    return false;
}

// Gives back what a failed gpio_init made: its requests first, then the chips,
// the last opened first (unlike gpio_close, which closes them in table order).
int undo_failed_init()
{
    release_requests();
    for (auto held = handles.rbegin(); held != handles.rend(); ++held)
        close_chip(held->chip);
    return 0;
}

} // namespace

struct gpiod_line_request *init_chip(struct gpiod_chip *chip, const unsigned int *offsets,
                                     int count, const int *state_idx, const char *consumer)
{
    if (chip == nullptr || count <= 0 || count > MAX_LINES_PER_CHIP) {
        errno = EINVAL;
        return nullptr;
    }
    std::array<gpiod_line_value, MAX_LINES_PER_CHIP> initial_values{};
    for (int i = 0; i < count; ++i) {
        initial_values[i] = GPIOD_LINE_VALUE_ACTIVE;
        g_arr_do_states[state_idx[i]] = 0;
    }

    // Declared in this order so that they are freed request config first,
    // settings last, whatever happens below.
    line_settings_ptr settings(gpiod_line_settings_new());
    if (!settings || gpiod_line_settings_set_direction(settings.get(),
                                                       GPIOD_LINE_DIRECTION_OUTPUT) != 0)
        return nullptr;

    line_config_ptr line_cfg(gpiod_line_config_new());
    if (!line_cfg)
        return nullptr;
    for (int i = 0; i < count; ++i) {
        if (gpiod_line_config_add_line_settings(line_cfg.get(), &offsets[i], 1, settings.get()) != 0)
            return nullptr;
    }
    if (gpiod_line_config_set_output_values(line_cfg.get(), initial_values.data(), count) != 0)
        return nullptr;

    request_config_ptr req_cfg(gpiod_request_config_new());
    if (!req_cfg)
        return nullptr;
    gpiod_request_config_set_consumer(req_cfg.get(), consumer);

    return gpiod_chip_request_lines(chip, req_cfg.get(), line_cfg.get());
}

int gpio_init()
{
    if (any_chip_open())
        gpio_close(); // a second init would otherwise leak the first one's handles

    for (std::size_t i = 0; i < wiring.size(); ++i) {
        if (!open_chip(wiring[i], handles[i]))
            return undo_failed_init();
    }
    for (std::size_t i = 0; i < wiring.size(); ++i) {
        if (!request_lines(wiring[i], handles[i]))
            return undo_failed_init();
    }

    std::puts("DO_INFO: GPIO initialized, all 12 relays set HIGH.");
    return 1;
}

int control_do_over_gpio()
{
    // One call per chip, so the lines of a chip change together.
    for (std::size_t i = 0; i < wiring.size(); ++i)
        write_lines(wiring[i], handles[i].request);
    return 1;
}

// Closes the chips in table order (a failed init closes them the other way).
void gpio_close()
{
    release_requests();
    for (chip_handles &held : handles)
        close_chip(held.chip);
}

bool gpio_outputs_ready()
{
    for (const chip_handles &held : handles) {
        if (held.request == nullptr)
            return false;
    }
    return true;
}
