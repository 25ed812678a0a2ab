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
    // The raw count is a two's-complement number (evaporative system vapour
    // pressure); every other row is unsigned.
    bool raw_signed = false;
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

// Physical value of a service 01 answer (resp[3] = A, resp[4] = B), scaled,
// offset and clamped to the row's range: PID 0x0C with A,B = 1A F8 -> 1726.0.
// 0.0 for an unknown PID or an answer too short for the row.
float calculate_physical_value(std::uint8_t pid, const std::uint8_t *resp, std::size_t len);

// The same from the PID's data bytes alone (A at data[0]), whatever the
// dialect that carried them.
float physical_value_of_data(std::uint8_t pid, const std::uint8_t *data, std::size_t size);

// A value as the UI gets it, live data and freeze frame alike: two decimals,
// "1726.00", "-40.00". `out` holds PID_VALUE_TEXT_SIZE bytes.
constexpr std::size_t PID_VALUE_TEXT_SIZE = 32;
void format_pid_value(char *out, std::size_t size, float value);

// What stands, as a JSON text, for a PID that did not answer.
constexpr const char *PID_NO_VALUE = "--";

// Catalogue row of a PID, or -1.
int find_pid_row(std::uint8_t pid);

// "ENGRPM" -> 0x0C; 0 when no short key matches (case-sensitive).
std::uint8_t get_pid_from_name(const char *name);

// Copies g_live_sensor_count and the configured names (each cut to 63
// characters) into `names` (MAX_LIVE_SENSORS slots).
void get_live_info(int *count, char names[][64]);

// Rebuilds supported_pids from the configured names; unknown names are left
// out. Always 1.
int get_pid_list(int addr_mode);
