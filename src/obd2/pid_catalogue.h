// The 56 live sensors the gateway knows, their conversion to physical units,
// and the live poll list built from config.json.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

struct pid_entry {
    std::uint8_t pid;
    const char *name;
    std::uint8_t data_bits; // 8 or 16
    float scale;
    float offset;
    float min;
    float max;
    const char *unit;
};

constexpr int num_pids = 56;
extern const std::array<pid_entry, num_pids> pids;
extern const std::array<const char *, num_pids> short_keys;

struct supported_pid {
    std::uint8_t pid;
    std::string name;
};

constexpr int MAX_SUPPORTED_PIDS = 87;
extern std::array<supported_pid, MAX_SUPPORTED_PIDS> supported_pids;
extern int g_supported_pid_count;

float calculate_physical_value(std::uint8_t pid, const std::uint8_t *resp, std::size_t len);
std::uint8_t get_pid_from_name(const char *name);
void get_live_info(int *count, char names[][64]);
int get_pid_list(int addr_mode);
