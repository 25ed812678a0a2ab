#include "obd2/pid_catalogue.h"

#include "obd2/config_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

// Row order is significant: the availability table and the "LIVE_PIDS" member
// order of ecu_info.json are indexed by row, not by PID.
constexpr std::array<pid_entry, num_pids> pids = {{
    {0x04, "engine_load", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x05, "coolant_temp", 8, 1.0f, -40.0f, -40.0f, 215.0f, "degC"},
    {0x0A, "fuel_pressure", 8, 3.0f, 0.0f, 0.0f, 765.0f, "kPa"},
    {0x0B, "intake_pressure", 8, 1.0f, 0.0f, 0.0f, 255.0f, "kPa"},
    {0x0C, "engine_rpm", 16, 0.25f, 0.0f, 0.0f, 16383.75f, "rpm"},
    {0x0D, "speed", 8, 1.0f, 0.0f, 0.0f, 255.0f, "km/h"},
    {0x0E, "timing_advance", 8, 0.5f, -64.0f, -64.0f, 63.5f, "deg"},
    {0x0F, "intake_temp", 8, 1.0f, -40.0f, -40.0f, 215.0f, "degC"},
    {0x10, "mass_air_flow_rate", 16, 0.01f, 0.0f, 0.0f, 655.35f, "g/s"},
    {0x11, "throttle_pos", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x22, "fuel_rail_press", 16, 0.079f, 0.0f, 0.0f, 5177.0f, "kPa"},
    {0x2F, "fuel_level", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x33, "throttle_pos_b", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x42, "ctrl_module_volt", 16, 0.001f, 0.0f, 0.0f, 65.535f, "V"},
    {0x46, "ambient_temp", 8, 1.0f, -40.0f, -40.0f, 215.0f, "degC"},
    {0x14, "oxygen_sensor1", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x15, "oxygen_sensor2", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x16, "oxygen_sensor3", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x17, "oxygen_sensor4", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x18, "oxygen_sensor5", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x19, "oxygen_sensor6", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x1A, "oxygen_sensor7", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x1B, "oxygen_sensor8", 8, 0.005f, 0.0f, 0.0f, 1.275f, "V"},
    {0x23, "fuel_rail_pressure_diesel", 16, 10.0f, 0.0f, 0.0f, 655350.0f, "kPa"},
    {0x2C, "commanded_egr", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x2D, "egr_error", 8, 0.78125f, -100.0f, -100.0f, 99.2f, "%"},
    {0x2E, "evap_purge", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x30, "warmups_since_clear", 8, 1.0f, 0.0f, 0.0f, 255.0f, "count"},
    {0x31, "distance_since_clear", 16, 1.0f, 0.0f, 0.0f, 65535.0f, "km"},
    {0x3C, "catalyst_temp_b1s1", 16, 0.1f, -40.0f, -40.0f, 6513.5f, "degC"},
    {0x3D, "catalyst_temp_b2s1", 16, 0.1f, -40.0f, -40.0f, 6513.5f, "degC"},
    {0x3E, "catalyst_temp_b1s2", 16, 0.1f, -40.0f, -40.0f, 6513.5f, "degC"},
    {0x3F, "catalyst_temp_b2s2", 16, 0.1f, -40.0f, -40.0f, 6513.5f, "degC"},
    {0x44, "lambda_equiv_ratio", 16, 2.0f / 65536.0f, 0.0f, 0.0f, 2.0f, "ratio"},
    {0x45, "relative_throttle", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x47, "abs_throttle_pos_b", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x48, "abs_throttle_pos_c", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x49, "abs_throttle_pos_d", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x4A, "abs_throttle_pos_e", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x4B, "abs_throttle_pos_f", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x4C, "commanded_throttle", 8, 100.0f / 255.0f, 0.0f, 0.0f, 100.0f, "%"},
    {0x4D, "time_with_mil_on", 16, 1.0f, 0.0f, 0.0f, 65535.0f, "min"},
    {0x4E, "time_since_codes_cleared", 16, 1.0f, 0.0f, 0.0f, 65535.0f, "min"},
    {0x06, "stft_bank1", 8, 0.78125f, -100.0f, -100.0f, 99.2f, "%"},
    {0x07, "ltft_bank1", 8, 0.78125f, -100.0f, -100.0f, 99.2f, "%"},
    {0x08, "stft_bank2", 8, 0.78125f, -100.0f, -100.0f, 99.2f, "%"},
    {0x09, "ltft_bank2", 8, 0.78125f, -100.0f, -100.0f, 99.2f, "%"},
    {0x21, "distance_with_mil", 16, 1.0f, 0.0f, 0.0f, 65535.0f, "km"},
    // Signed count of 0.25 Pa: -8192 .. 8191.75 Pa.
    {0x32, "evap_pressure", 16, 0.25f, 0.0f, -8192.0f, 8191.75f, "Pa", true},
    {0x43, "absolute_load", 16, 100.0f / 255.0f, 0.0f, 0.0f, 25700.0f, "%"},
    {0x5C, "engine_oil_temp", 8, 1.0f, -40.0f, -40.0f, 215.0f, "degC"},
    {0x5D, "fuel_inject_timing", 16, 0.0078125f, -210.0f, -210.0f, 302.4f, "deg"},
    {0x5E, "engine_fuel_rate", 16, 0.05f, 0.0f, 0.0f, 3212.75f, "L/h"},
    {0x61, "driver_demand_torque", 8, 1.0f, -125.0f, -125.0f, 125.0f, "%"},
    {0x62, "actual_engine_torque", 8, 1.0f, -125.0f, -125.0f, 125.0f, "%"},
    {0x63, "reference_engine_torque", 16, 1.0f, 0.0f, 0.0f, 65535.0f, "Nm"},
}};

constexpr std::array<const char *, num_pids> short_keys = {
    "ENGLD",  "COLTMP", "FULPRS", "INTPRS",  "ENGRPM",  "SPD",     "TMADV",   "INTTMP",
    "MSFLRT", "THRTPS", "FULRPRS", "FLLVL",  "THRPSB",  "CNTMDVOL", "AMBTMP", "O2S1",
    "O2S2",   "O2S3",   "O2S4",   "O2S5",    "O2S6",    "O2S7",    "O2S8",    "FRLDSL",
    "CMDEGR", "EGRE",   "EVAPPRG", "WRMUPC", "DISCLR",  "CTB1S1",  "CTB2S1",  "CTB1S2",
    "CTB2S2", "LMBRAT", "RELTHR", "THRPSB2", "THRPSC",  "THRPSD",  "THRPSE",  "THRPSF",
    "CMDTHR", "TMIL",   "TCLR",   "STFT1",   "LTFT1",   "STFT2",   "LTFT2",   "DISMIL",
    "EVPPRS", "ABSLOD", "OILTEMP", "INJTIM", "FULRAT",  "DDTORQ",  "ACTTORQ", "REFTORQ",
};

std::array<supported_pid, MAX_SUPPORTED_PIDS> supported_pids;
int g_supported_pid_count = 0;

namespace {

// A: byte 3 of the response buffer (after the length, service and PID bytes).
constexpr std::size_t DATA_A = 3;
constexpr std::size_t DATA_B = 4;

// Raw count of the row's width, or false when the answer is too short for it.
bool raw_value(const pid_entry &row, const std::uint8_t *resp, std::size_t len, float *raw)
{
    if (row.data_bits == 8) {
        *raw = resp[DATA_A];
        return true;
    }
    if (len <= DATA_B)
        return false;
    unsigned word = static_cast<unsigned>(resp[DATA_A]) << 8 | resp[DATA_B];
    *raw = row.raw_signed ? static_cast<float>(static_cast<std::int16_t>(word))
                          : static_cast<float>(word);
    return true;
}

} // namespace

int find_pid_row(std::uint8_t pid)
{
    for (int row = 0; row < num_pids; ++row) {
        if (pids[row].pid == pid)
            return row;
    }
    return -1;
}

float calculate_physical_value(std::uint8_t pid, const std::uint8_t *resp, std::size_t len)
{
    if (resp == nullptr || len <= DATA_A)
        return 0.0f;
    int row_index = find_pid_row(pid);
    if (row_index < 0)
        return 0.0f;
    const pid_entry &row = pids[row_index];
    float raw = 0.0f;
    if (!raw_value(row, resp, len, &raw))
        return 0.0f;
    // Rounded to single precision before the offset is added.
    float product = raw * row.scale;
    float value = product + row.offset;
    if (value < row.min)
        value = row.min;
    if (value > row.max)
        value = row.max;
    return value;
}

float physical_value_of_data(std::uint8_t pid, const std::uint8_t *data, std::size_t size)
{
    // In the layout of a service 01 answer: length, 41, PID, data.
    std::uint8_t as_answer[DATA_A + 2] = {static_cast<std::uint8_t>(DATA_A - 1 + size), 0x41, pid};
    const std::size_t copied = data != nullptr ? std::min<std::size_t>(size, 2) : 0;
    if (copied > 0)
        std::memcpy(as_answer + DATA_A, data, copied);
    return calculate_physical_value(pid, as_answer, DATA_A + copied);
}

void format_pid_value(char *out, std::size_t size, float value)
{
    std::snprintf(out, size, "%.2f", static_cast<double>(value));
}

std::uint8_t get_pid_from_name(const char *name)
{
    if (name == nullptr)
        return 0;
    for (int row = 0; row < num_pids; ++row) {
        if (std::strcmp(short_keys[row], name) == 0)
            return pids[row].pid;
    }
    return 0;
}

void get_live_info(int *count, char names[][64])
{
    int n = std::clamp(g_live_sensor_count, 0, MAX_LIVE_SENSORS);
    for (int i = 0; i < n; ++i)
        std::snprintf(names[i], CONFIG_NAME_SIZE, "%.*s", CONFIG_NAME_SIZE - 1, g_live_sensor_names[i]);
    *count = n;
}

int get_pid_list(int /*addr_mode*/)
{
    char names[MAX_LIVE_SENSORS][CONFIG_NAME_SIZE] = {};
    int name_count = 0;
    get_live_info(&name_count, names);

    for (supported_pid &entry : supported_pids) {
        entry.pid = 0;
        entry.name.clear();
    }
    g_supported_pid_count = 0;

    for (int i = 0; i < name_count && g_supported_pid_count < MAX_SUPPORTED_PIDS; ++i) {
        std::uint8_t pid = get_pid_from_name(names[i]);
        if (pid == 0)
            continue;
        supported_pids[g_supported_pid_count].pid = pid;
        supported_pids[g_supported_pid_count].name = names[i];
        ++g_supported_pid_count;
    }

    std::printf("Supported PIDs (%d):\n", g_supported_pid_count);
    for (int i = 0; i < g_supported_pid_count; ++i)
        std::printf("PID: 0x%02X, Name: %s\n", supported_pids[i].pid, supported_pids[i].name.c_str());
    return 1;
}
