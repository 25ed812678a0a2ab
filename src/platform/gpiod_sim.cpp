// In-memory stand-in for the libgpiod v2 calls the relay driver makes (host
// simulation and tests). Compiled against the real <gpiod.h>, so a call the
// driver makes that is missing here, or a signature that drifts, fails the
// build instead of the board.
//
// The model follows the library where the driver can tell the difference:
// requests outlive their chip handle, output values given to a line config
// follow the order in which offsets were added, a line held by one request
// cannot be requested again (EBUSY), and failures come back as null or -1
// with errno set.
#include "platform/gpiod_sim.h"

#include <gpiod.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct gpiod_chip {
    int index;
    std::string path;
};

struct gpiod_line_settings {
    gpiod_line_direction direction = GPIOD_LINE_DIRECTION_AS_IS;
    gpiod_line_value output_value = GPIOD_LINE_VALUE_INACTIVE;
};

struct gpiod_line_config {
    // Offsets in the order they were added, each with its own copy of the settings.
    std::vector<std::pair<unsigned int, gpiod_line_settings>> lines;
};

struct gpiod_request_config {
    std::string consumer;
};

struct gpiod_line_request {
    int chip_index;
    unsigned long generation; // sim generation the request belongs to
    std::string chip_name;
    std::vector<unsigned int> offsets;
};

namespace {

struct sim_line {
    int level = 0;
    bool requested = false;
    bool output = false;
    std::string consumer;
};

struct sim_chip {
    std::array<sim_line, GPIOD_SIM_LINES_PER_CHIP> lines{};
    int open_error = 0;
    int refused_opens = 0;
    int request_error = 0;
    int writes = 0;
};

struct sim_state {
    std::array<sim_chip, GPIOD_SIM_CHIP_COUNT> chips{};
    int open_chips = 0;
    int active_requests = 0;
    int live_configs = 0;
    unsigned long generation = 0; // bumped by every reset
    bool verbose = true;
};

std::mutex sim_mutex;
std::condition_variable level_changed; // notified under sim_mutex
sim_state sim;                          // guarded by sim_mutex

bool valid_chip(int chip) { return chip >= 0 && chip < GPIOD_SIM_CHIP_COUNT; }

bool valid_line(int chip, unsigned int line)
{
    return valid_chip(chip) && line < GPIOD_SIM_LINES_PER_CHIP;
}

// "/dev/gpiochipN" -> N, or -1 for anything else.
int chip_index_from_path(const char *path)
{
    static constexpr char prefix[] = "/dev/gpiochip";
    constexpr std::size_t prefix_len = sizeof(prefix) - 1;
    if (path == nullptr || std::strncmp(path, prefix, prefix_len) != 0)
        return -1;
    const char *digit = path + prefix_len;
    if (digit[0] < '0' || digit[0] >= '0' + GPIOD_SIM_CHIP_COUNT || digit[1] != '\0')
        return -1;
    return digit[0] - '0';
}

// Caller holds sim_mutex.
void drive_line(int chip, unsigned int line, int level)
{
    sim_line &l = sim.chips[chip].lines[line];
    if (l.level == level)
        return;
    l.level = level;
    if (sim.verbose)
        std::printf("SIM_GPIO : gpiochip%d line %u -> %s\n", chip, line, level ? "high" : "low");
    level_changed.notify_all();
}

// Caller holds sim_mutex. Checks that every offset exists and is free.
int check_lines_free(int chip, const gpiod_line_config &config)
{
    for (const auto &[offset, settings] : config.lines) {
        if (offset >= GPIOD_SIM_LINES_PER_CHIP)
            return EINVAL;
        if (sim.chips[chip].lines[offset].requested)
            return EBUSY;
    }
    return 0;
}

} // namespace

// ---- test access ------------------------------------------------------------------

void gpiod_sim_reset()
{
    std::lock_guard lock(sim_mutex);
    const bool verbose = sim.verbose;
    const unsigned long generation = sim.generation + 1;
    sim = sim_state{};
    sim.verbose = verbose;
    sim.generation = generation;
    level_changed.notify_all();
}

int gpiod_sim_line_value(int chip, unsigned int line)
{
    std::lock_guard lock(sim_mutex);
    return valid_line(chip, line) ? sim.chips[chip].lines[line].level : -1;
}

bool gpiod_sim_wait_line_value(int chip, unsigned int line, int value,
                               std::chrono::milliseconds timeout)
{
    if (!valid_line(chip, line))
        return false;
    std::unique_lock lock(sim_mutex);
    return level_changed.wait_for(lock, timeout,
                                  [&] { return sim.chips[chip].lines[line].level == value; });
}

bool gpiod_sim_line_requested(int chip, unsigned int line)
{
    std::lock_guard lock(sim_mutex);
    return valid_line(chip, line) && sim.chips[chip].lines[line].requested;
}

bool gpiod_sim_line_is_output(int chip, unsigned int line)
{
    std::lock_guard lock(sim_mutex);
    return valid_line(chip, line) && sim.chips[chip].lines[line].requested &&
           sim.chips[chip].lines[line].output;
}

std::string gpiod_sim_line_consumer(int chip, unsigned int line)
{
    std::lock_guard lock(sim_mutex);
    return valid_line(chip, line) ? sim.chips[chip].lines[line].consumer : std::string();
}

void gpiod_sim_fail_open(int chip, int error)
{
    std::lock_guard lock(sim_mutex);
    if (valid_chip(chip))
        sim.chips[chip].open_error = error;
}

void gpiod_sim_fail_request(int chip, int error)
{
    std::lock_guard lock(sim_mutex);
    if (valid_chip(chip))
        sim.chips[chip].request_error = error;
}

int gpiod_sim_open_chip_count()
{
    std::lock_guard lock(sim_mutex);
    return sim.open_chips;
}

int gpiod_sim_active_request_count()
{
    std::lock_guard lock(sim_mutex);
    return sim.active_requests;
}

int gpiod_sim_live_config_count()
{
    std::lock_guard lock(sim_mutex);
    return sim.live_configs;
}

int gpiod_sim_write_count(int chip)
{
    std::lock_guard lock(sim_mutex);
    return valid_chip(chip) ? sim.chips[chip].writes : 0;
}

int gpiod_sim_refused_open_count(int chip)
{
    std::lock_guard lock(sim_mutex);
    return valid_chip(chip) ? sim.chips[chip].refused_opens : 0;
}

void gpiod_sim_set_verbose(bool verbose)
{
    std::lock_guard lock(sim_mutex);
    sim.verbose = verbose;
}

// ---- chips --------------------------------------------------------------------------

struct gpiod_chip *gpiod_chip_open(const char *path)
{
    const int index = chip_index_from_path(path);
    std::lock_guard lock(sim_mutex);
    if (index < 0) {
        errno = ENOENT;
        return nullptr;
    }
    if (sim.chips[index].open_error != 0) {
        ++sim.chips[index].refused_opens;
        errno = sim.chips[index].open_error;
        return nullptr;
    }
    ++sim.open_chips;
    return new gpiod_chip{index, path};
}

void gpiod_chip_close(struct gpiod_chip *chip)
{
    if (chip == nullptr)
        return;
    {
        std::lock_guard lock(sim_mutex);
        if (sim.open_chips > 0)
            --sim.open_chips;
    }
    delete chip;
}

const char *gpiod_chip_get_path(struct gpiod_chip *chip) { return chip->path.c_str(); }

struct gpiod_line_request *gpiod_chip_request_lines(struct gpiod_chip *chip,
                                                    struct gpiod_request_config *req_cfg,
                                                    struct gpiod_line_config *line_cfg)
{
    if (chip == nullptr || line_cfg == nullptr || line_cfg->lines.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    std::lock_guard lock(sim_mutex);
    sim_chip &c = sim.chips[chip->index];
    int error = c.request_error != 0 ? c.request_error : check_lines_free(chip->index, *line_cfg);
    if (error != 0) {
        errno = error;
        return nullptr;
    }
    auto *request = new gpiod_line_request{chip->index, sim.generation,
                                           "gpiochip" + std::to_string(chip->index), {}};
    for (const auto &[offset, settings] : line_cfg->lines) {
        sim_line &l = c.lines[offset];
        l.requested = true;
        l.output = settings.direction == GPIOD_LINE_DIRECTION_OUTPUT;
        l.consumer = req_cfg != nullptr ? req_cfg->consumer : std::string("?");
        request->offsets.push_back(offset);
        if (l.output)
            drive_line(chip->index, offset, settings.output_value == GPIOD_LINE_VALUE_ACTIVE);
    }
    ++sim.active_requests;
    return request;
}

// ---- line settings ---------------------------------------------------------------------

struct gpiod_line_settings *gpiod_line_settings_new(void)
{
    std::lock_guard lock(sim_mutex);
    ++sim.live_configs;
    return new gpiod_line_settings{};
}

void gpiod_line_settings_free(struct gpiod_line_settings *settings)
{
    if (settings == nullptr)
        return;
    {
        std::lock_guard lock(sim_mutex);
        --sim.live_configs;
    }
    delete settings;
}

int gpiod_line_settings_set_direction(struct gpiod_line_settings *settings,
                                      enum gpiod_line_direction direction)
{
    switch (direction) {
    case GPIOD_LINE_DIRECTION_AS_IS:
    case GPIOD_LINE_DIRECTION_INPUT:
    case GPIOD_LINE_DIRECTION_OUTPUT:
        settings->direction = direction;
        return 0;
    }
    settings->direction = GPIOD_LINE_DIRECTION_AS_IS;
    errno = EINVAL;
    return -1;
}

int gpiod_line_settings_set_output_value(struct gpiod_line_settings *settings,
                                         enum gpiod_line_value value)
{
    if (value != GPIOD_LINE_VALUE_ACTIVE && value != GPIOD_LINE_VALUE_INACTIVE) {
        errno = EINVAL;
        return -1;
    }
    settings->output_value = value;
    return 0;
}

// ---- line config -------------------------------------------------------------------------

struct gpiod_line_config *gpiod_line_config_new(void)
{
    std::lock_guard lock(sim_mutex);
    ++sim.live_configs;
    return new gpiod_line_config{};
}

void gpiod_line_config_free(struct gpiod_line_config *config)
{
    if (config == nullptr)
        return;
    {
        std::lock_guard lock(sim_mutex);
        --sim.live_configs;
    }
    delete config;
}

int gpiod_line_config_add_line_settings(struct gpiod_line_config *config,
                                        const unsigned int *offsets, size_t num_offsets,
                                        struct gpiod_line_settings *settings)
{
    if (num_offsets == 0 || offsets == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const gpiod_line_settings applied = settings != nullptr ? *settings : gpiod_line_settings{};
    for (size_t i = 0; i < num_offsets; ++i) {
        bool replaced = false;
        for (auto &[offset, line_settings] : config->lines) {
            if (offset == offsets[i]) { // a repeated offset keeps its place, takes the new settings
                line_settings = applied;
                replaced = true;
            }
        }
        if (!replaced)
            config->lines.emplace_back(offsets[i], applied);
    }
    return 0;
}

int gpiod_line_config_set_output_values(struct gpiod_line_config *config,
                                        const enum gpiod_line_value *values, size_t num_values)
{
    for (size_t i = 0; i < num_values; ++i) {
        if (values[i] != GPIOD_LINE_VALUE_ACTIVE && values[i] != GPIOD_LINE_VALUE_INACTIVE) {
            errno = EINVAL;
            return -1;
        }
    }
    for (size_t i = 0; i < num_values && i < config->lines.size(); ++i)
        config->lines[i].second.output_value = values[i];
    return 0;
}

// ---- request config ------------------------------------------------------------------------

struct gpiod_request_config *gpiod_request_config_new(void)
{
    std::lock_guard lock(sim_mutex);
    ++sim.live_configs;
    return new gpiod_request_config{};
}

void gpiod_request_config_free(struct gpiod_request_config *config)
{
    if (config == nullptr)
        return;
    {
        std::lock_guard lock(sim_mutex);
        --sim.live_configs;
    }
    delete config;
}

void gpiod_request_config_set_consumer(struct gpiod_request_config *config, const char *consumer)
{
    config->consumer = consumer != nullptr ? consumer : "";
}

const char *gpiod_request_config_get_consumer(struct gpiod_request_config *config)
{
    return config->consumer.empty() ? nullptr : config->consumer.c_str();
}

// ---- line requests -------------------------------------------------------------------------

void gpiod_line_request_release(struct gpiod_line_request *request)
{
    if (request == nullptr)
        return;
    {
        std::lock_guard lock(sim_mutex);
        if (request->generation == sim.generation) {
            for (unsigned int offset : request->offsets) {
                sim_line &l = sim.chips[request->chip_index].lines[offset];
                l.requested = false;
                l.output = false;
                l.consumer.clear();
            }
            --sim.active_requests;
        }
    }
    delete request;
}

const char *gpiod_line_request_get_chip_name(struct gpiod_line_request *request)
{
    return request->chip_name.c_str();
}

size_t gpiod_line_request_get_num_requested_lines(struct gpiod_line_request *request)
{
    return request->offsets.size();
}

namespace {

// DIAG_GW_SIM_GPIO_HANG=1: every line write blocks for ever, as a write to a
// GPIO driver that never returns would (the supervision tests' stuck relay
// thread). Read once; the board's libgpiod has nothing of the kind.
void hang_if_asked()
{
    static const bool hang = [] {
        const char *value = std::getenv("DIAG_GW_SIM_GPIO_HANG");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    if (!hang)
        return;
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

} // namespace

int gpiod_line_request_set_values(struct gpiod_line_request *request,
                                  const enum gpiod_line_value *values)
{
    hang_if_asked();
    std::lock_guard lock(sim_mutex);
    if (request->generation != sim.generation) { // lines were taken away by a reset
        errno = ENODEV;
        return -1;
    }
    sim_chip &c = sim.chips[request->chip_index];
    for (std::size_t i = 0; i < request->offsets.size(); ++i) {
        const bool known = values[i] == GPIOD_LINE_VALUE_ACTIVE ||
                           values[i] == GPIOD_LINE_VALUE_INACTIVE;
        if (!known || !c.lines[request->offsets[i]].output) {
            errno = known ? EPERM : EINVAL;
            return -1;
        }
    }
    for (std::size_t i = 0; i < request->offsets.size(); ++i)
        drive_line(request->chip_index, request->offsets[i], values[i] == GPIOD_LINE_VALUE_ACTIVE);
    ++c.writes;
    return 0;
}
