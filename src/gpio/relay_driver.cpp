#include "gpio/relay_driver.h"

#include "c_handles.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>

int g_arr_do_states[NUM_RELAYS] = {};

namespace {

// Wiring: the position in a chip's tables is also the line's position in the
// chip's request and in every value array written to it.
constexpr std::array<unsigned int, 5> gpiochip4_lines{10, 11, 0, 14, 13};
constexpr std::array<int, 5> chip4_state_idx{0, 1, 3, 6, 8};
constexpr std::array<unsigned int, 4> gpiochip3_lines{31, 27, 26, 25};
constexpr std::array<int, 4> chip3_state_idx{2, 4, 5, 7};
constexpr std::array<unsigned int, 3> gpiochip0_lines{20, 21, 13};
constexpr std::array<int, 3> chip0_state_idx{9, 10, 11};

constexpr int MAX_LINES_PER_CHIP = 32;

gpiod_chip *chip4 = nullptr;
gpiod_chip *chip3 = nullptr;
gpiod_chip *chip0 = nullptr;
gpiod_line_request *req_chip4 = nullptr;
gpiod_line_request *req_chip3 = nullptr;
gpiod_line_request *req_chip0 = nullptr;

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

bool open_chip(const char *path, const char *failure_message, gpiod_chip *&chip)
{
    chip = gpiod_chip_open(path);
    if (chip == nullptr) {
        std::perror(failure_message);
        return false;
    }
    return true;
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

// Gives back what a failed gpio_init made: its requests first, then the chips,
// the last opened first.
int undo_failed_init()
{
    release_request(req_chip4);
    release_request(req_chip3);
    release_request(req_chip0);
    close_chip(chip0);
    close_chip(chip3);
    close_chip(chip4);
    return 0;
}

// Requests lines and reports a failure with `failure_message`; true when requested.
template <std::size_t N>
bool request_chip(gpiod_chip *chip, const std::array<unsigned int, N> &lines,
                  const std::array<int, N> &state_idx, const char *consumer,
                  const char *failure_message, gpiod_line_request *&request)
{
    request = init_chip(chip, lines.data(), static_cast<int>(N), state_idx.data(), consumer);
    if (request == nullptr) {
        std::perror(failure_message);
        return false;
    }
    return true;
}

template <std::size_t N>
void write_chip(gpiod_line_request *request, const std::array<int, N> &state_idx)
{
    if (request == nullptr) // never drive lines this process does not hold
        return;
    std::array<gpiod_line_value, N> values{};
    for (std::size_t i = 0; i < N; ++i)
        values[i] = line_value_for(g_arr_do_states[state_idx[i]]);
    gpiod_line_request_set_values(request, values.data());
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
    if (chip4 != nullptr || chip3 != nullptr || chip0 != nullptr)
        gpio_close(); // a second init would otherwise leak the first one's handles

    if (!open_chip("/dev/gpiochip4", "DO_ERROR: Failed to open gpiochip4", chip4))
        return 0;
    if (!open_chip("/dev/gpiochip3", "DO_ERROR: Failed to open gpiochip3", chip3))
        return undo_failed_init();
    if (!open_chip("/dev/gpiochip0", "DO_ERROR: Failed to open gpiochip0", chip0))
        return undo_failed_init();

    if (!request_chip(chip4, gpiochip4_lines, chip4_state_idx, "do_ctrl_chip4",
                      "DO_ERROR: Failed to request lines on chip4", req_chip4) ||
        !request_chip(chip3, gpiochip3_lines, chip3_state_idx, "do_ctrl_chip3",
                      "DO_ERROR: Failed to request lines on chip3", req_chip3) ||
        !request_chip(chip0, gpiochip0_lines, chip0_state_idx, "do_ctrl_chip0",
                      "DO_ERROR: Failed to request lines on chip0", req_chip0))
        return undo_failed_init();

    std::puts("DO_INFO: GPIO initialized, all 12 relays set HIGH.");
    return 1;
}

int control_do_over_gpio()
{
    // One call per chip, so the lines of a chip change together.
    write_chip(req_chip4, chip4_state_idx);
    write_chip(req_chip3, chip3_state_idx);
    write_chip(req_chip0, chip0_state_idx);
    return 1;
}

void gpio_close()
{
    release_request(req_chip4);
    release_request(req_chip3);
    release_request(req_chip0);
    close_chip(chip4);
    close_chip(chip3);
    close_chip(chip0);
}

bool gpio_outputs_ready()
{
    return req_chip4 != nullptr && req_chip3 != nullptr && req_chip0 != nullptr;
}
