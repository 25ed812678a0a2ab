// The PID catalogue: every row's key, PID, width and conversion constants,
// the conversion rules, and the live poll list built from config.json names.
#include "obd2/config_file.h"
#include "obd2/pid_catalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// Response buffer as the transport delivers it: length byte, 41, PID, data.
std::vector<std::uint8_t> answer(std::uint8_t pid, std::initializer_list<std::uint8_t> data)
{
    std::vector<std::uint8_t> resp = {static_cast<std::uint8_t>(2 + data.size()), 0x41, pid};
    resp.insert(resp.end(), data);
    return resp;
}

float convert(std::uint8_t pid, std::initializer_list<std::uint8_t> data)
{
    std::vector<std::uint8_t> resp = answer(pid, data);
    return calculate_physical_value(pid, resp.data(), resp.size());
}

// Typed independently of the catalogue source: the row order, each row's
// key, PID and width, and its value for a raw count of all zeros and all ones.
struct expected_row {
    const char *key;
    std::uint8_t pid;
    int bits;
    float at_zero;
    float at_full;
};

const expected_row expected_rows[] = {
    {"ENGLD", 0x04, 8, 0, 100},          {"COLTMP", 0x05, 8, -40, 215},
    {"FULPRS", 0x0A, 8, 0, 765},         {"INTPRS", 0x0B, 8, 0, 255},
    {"ENGRPM", 0x0C, 16, 0, 16383.75f},  {"SPD", 0x0D, 8, 0, 255},
    {"TMADV", 0x0E, 8, -64, 63.5f},      {"INTTMP", 0x0F, 8, -40, 215},
    {"MSFLRT", 0x10, 16, 0, 655.35f},    {"THRTPS", 0x11, 8, 0, 100},
    {"FULRPRS", 0x22, 16, 0, 5177},      {"FLLVL", 0x2F, 8, 0, 100},
    {"THRPSB", 0x33, 8, 0, 100},         {"CNTMDVOL", 0x42, 16, 0, 65.535f},
    {"AMBTMP", 0x46, 8, -40, 215},       {"O2S1", 0x14, 8, 0, 1.275f},
    {"O2S2", 0x15, 8, 0, 1.275f},        {"O2S3", 0x16, 8, 0, 1.275f},
    {"O2S4", 0x17, 8, 0, 1.275f},        {"O2S5", 0x18, 8, 0, 1.275f},
    {"O2S6", 0x19, 8, 0, 1.275f},        {"O2S7", 0x1A, 8, 0, 1.275f},
    {"O2S8", 0x1B, 8, 0, 1.275f},        {"FRLDSL", 0x23, 16, 0, 655350},
    {"CMDEGR", 0x2C, 8, 0, 100},         {"EGRE", 0x2D, 8, -100, 99.2f},
    {"EVAPPRG", 0x2E, 8, 0, 100},        {"WRMUPC", 0x30, 8, 0, 255},
    {"DISCLR", 0x31, 16, 0, 65535},      {"CTB1S1", 0x3C, 16, -40, 6513.5f},
    {"CTB2S1", 0x3D, 16, -40, 6513.5f},  {"CTB1S2", 0x3E, 16, -40, 6513.5f},
    {"CTB2S2", 0x3F, 16, -40, 6513.5f},  {"LMBRAT", 0x44, 16, 0, 65535.0f * 2 / 65536},
    {"RELTHR", 0x45, 8, 0, 100},         {"THRPSB2", 0x47, 8, 0, 100},
    {"THRPSC", 0x48, 8, 0, 100},         {"THRPSD", 0x49, 8, 0, 100},
    {"THRPSE", 0x4A, 8, 0, 100},         {"THRPSF", 0x4B, 8, 0, 100},
    {"CMDTHR", 0x4C, 8, 0, 100},         {"TMIL", 0x4D, 16, 0, 65535},
    {"TCLR", 0x4E, 16, 0, 65535},        {"STFT1", 0x06, 8, -100, 99.2f},
    {"LTFT1", 0x07, 8, -100, 99.2f},     {"STFT2", 0x08, 8, -100, 99.2f},
    {"LTFT2", 0x09, 8, -100, 99.2f},     {"DISMIL", 0x21, 16, 0, 65535},
    {"EVPPRS", 0x32, 16, 0, -0.25f},     {"ABSLOD", 0x43, 16, 0, 25700},
    {"OILTEMP", 0x5C, 8, -40, 215},      {"INJTIM", 0x5D, 16, -210, 301.9921875f},
    {"FULRAT", 0x5E, 16, 0, 3212.75f},   {"DDTORQ", 0x61, 8, -125, 125},
    {"ACTTORQ", 0x62, 8, -125, 125},     {"REFTORQ", 0x63, 16, 0, 65535},
};

} // namespace

TEST(PidCatalogue, RowsMatchAnIndependentList)
{
    ASSERT_EQ(std::size(expected_rows), static_cast<std::size_t>(num_pids));
    for (int row = 0; row < num_pids; ++row) {
        const expected_row &want = expected_rows[row];
        SCOPED_TRACE(want.key);
        EXPECT_STREQ(short_keys[row], want.key);
        EXPECT_EQ(pids[row].pid, want.pid);
        EXPECT_EQ(pids[row].data_bits, want.bits);
        EXPECT_EQ(find_pid_row(want.pid), row);
        if (want.bits == 8) {
            EXPECT_FLOAT_EQ(convert(want.pid, {0x00}), want.at_zero);
            EXPECT_FLOAT_EQ(convert(want.pid, {0xFF}), want.at_full);
        } else {
            EXPECT_FLOAT_EQ(convert(want.pid, {0x00, 0x00}), want.at_zero);
            EXPECT_FLOAT_EQ(convert(want.pid, {0xFF, 0xFF}), want.at_full);
        }
    }
}

TEST(PidCatalogue, ShortKeysAndPidsAreDistinct)
{
    std::set<std::string> keys(short_keys.begin(), short_keys.end());
    std::set<int> numbers;
    for (const pid_entry &row : pids)
        numbers.insert(row.pid);
    EXPECT_EQ(keys.size(), static_cast<std::size_t>(num_pids));
    EXPECT_EQ(numbers.size(), static_cast<std::size_t>(num_pids));
}

TEST(PidCatalogue, StoresSinglePrecisionConstants)
{
    EXPECT_EQ(pids[0].scale, 100.0f / 255.0f);
    EXPECT_EQ(pids[0].scale, 0.39215687f);
    EXPECT_EQ(pids[43].max, 99.2f);
    EXPECT_EQ(pids[33].scale, 0.000030517578125f);
}

TEST(PidConversion, EngineSpeedIsBigEndianQuarterRpm)
{
    EXPECT_FLOAT_EQ(convert(0x0C, {0x1A, 0xF8}), 1726.0f);
}

TEST(PidConversion, CoolantTemperatureSpansMinusFortyTo215)
{
    EXPECT_EQ(convert(0x05, {0x00}), -40.0f);
    EXPECT_EQ(convert(0x05, {0xFF}), 215.0f);
}

TEST(PidConversion, FuelTrimIsClampedToRowMaximum)
{
    EXPECT_EQ(convert(0x06, {0x80}), 0.0f);
    EXPECT_EQ(convert(0x06, {0x00}), -100.0f);
    // 99.21875 computed, clamped to the single-precision 99.2.
    EXPECT_EQ(convert(0x06, {0xFF}), 99.2f);
    EXPECT_EQ(convert(0x0A, {0xFF}), 765.0f);
}

// The product is rounded to single precision before the offset is added.
// A fused multiply-add (arm64) skips that rounding: for the catalyst
// temperature, 1,909 of the 65,536 raw values differ in the last bit, such as
// 84 (-31.6000004f, 0xC1FCCCCD, instead of 0xC1FCCCCC).
TEST(PidConversion, ProductIsRoundedBeforeTheOffsetIsAdded)
{
    const float value = convert(0x3C, {0x00, 84});
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    EXPECT_EQ(bits, 0xC1FCCCCCu) << value;
}

TEST(PidConversion, ShortAnswersAndUnknownPidsGiveZero)
{
    const std::uint8_t rpm[] = {0x03, 0x41, 0x0C, 0x1A};
    EXPECT_EQ(calculate_physical_value(0x0C, rpm, 4), 0.0f);
    const std::uint8_t speed[] = {0x03, 0x41, 0x0D, 0x32};
    EXPECT_EQ(calculate_physical_value(0x0D, speed, 4), 50.0f);
    EXPECT_EQ(calculate_physical_value(0x0D, speed, 3), 0.0f);
    EXPECT_EQ(calculate_physical_value(0x05, speed, 3), 0.0f);
    EXPECT_EQ(convert(0x01, {0x12, 0x34}), 0.0f);
    EXPECT_EQ(convert(0xA6, {0x12, 0x34, 0x56, 0x78}), 0.0f);
    EXPECT_EQ(calculate_physical_value(0x0C, nullptr, 8), 0.0f);
}

TEST(PidConversion, EvapPressureIsSignedQuarterPascal)
{
    EXPECT_EQ(convert(0x32, {0x00, 0x00}), 0.0f);
    EXPECT_EQ(convert(0x32, {0x00, 0x04}), 1.0f);
    EXPECT_EQ(convert(0x32, {0x7F, 0xFF}), 8191.75f);
    EXPECT_EQ(convert(0x32, {0x80, 0x00}), -8192.0f);
    EXPECT_EQ(convert(0x32, {0xFF, 0xFC}), -1.0f);
}

TEST(PidConversion, FillBytesBehindTheDataAreIgnored)
{
    const std::uint8_t padded[] = {0x04, 0x41, 0x0C, 0x1A, 0xF8, 0x55, 0x55, 0x55};
    EXPECT_EQ(calculate_physical_value(0x0C, padded, sizeof padded), 1726.0f);
}

TEST(PidNames, LookUpIsExactAndCaseSensitive)
{
    EXPECT_EQ(get_pid_from_name("ENGRPM"), 0x0C);
    EXPECT_EQ(get_pid_from_name("THRPSB"), 0x33);
    EXPECT_EQ(get_pid_from_name("THRPSB2"), 0x47);
    EXPECT_EQ(get_pid_from_name("engrpm"), 0);
    EXPECT_EQ(get_pid_from_name("ENGRPM "), 0);
    EXPECT_EQ(get_pid_from_name(""), 0);
    EXPECT_EQ(get_pid_from_name(nullptr), 0);
}

namespace {

void configure_sensors(const std::vector<std::string> &names)
{
    std::memset(g_live_sensor_names, 0, sizeof g_live_sensor_names);
    for (std::size_t i = 0; i < names.size(); ++i)
        std::snprintf(g_live_sensor_names[i], CONFIG_NAME_SIZE, "%s", names[i].c_str());
    g_live_sensor_count = static_cast<int>(names.size());
}

std::vector<std::pair<int, std::string>> poll_list()
{
    std::vector<std::pair<int, std::string>> list;
    for (int i = 0; i < g_supported_pid_count; ++i)
        list.emplace_back(supported_pids[i].pid, supported_pids[i].name);
    return list;
}

} // namespace

TEST(LivePollList, KeepsConfiguredOrderAndDropsUnknownNames)
{
    configure_sensors({"SPD", "engrpm", "ENGRPM", "NOPE", "SPD", "REFTORQ"});
    EXPECT_EQ(get_pid_list(1), 1);
    std::vector<std::pair<int, std::string>> want = {{0x0D, "SPD"}, {0x0C, "ENGRPM"}, {0x0D, "SPD"}, {0x63, "REFTORQ"}};
    EXPECT_EQ(poll_list(), want);
}

TEST(LivePollList, RebuildReplacesThePreviousList)
{
    configure_sensors({"SPD", "ENGRPM", "COLTMP"});
    get_pid_list(1);
    configure_sensors({"COLTMP"});
    get_pid_list(2);
    EXPECT_EQ(poll_list(), (std::vector<std::pair<int, std::string>>{{0x05, "COLTMP"}}));
    EXPECT_TRUE(supported_pids[1].name.empty());

    configure_sensors({});
    EXPECT_EQ(get_pid_list(1), 1);
    EXPECT_EQ(g_supported_pid_count, 0);
}

TEST(LivePollList, ConfiguredNamesAreCopiedCutAndTerminated)
{
    configure_sensors({"SPD"});
    // A name that fills its whole slot without a terminator.
    std::memset(g_live_sensor_names[1], 'A', CONFIG_NAME_SIZE);
    g_live_sensor_count = 2;
    char names[MAX_LIVE_SENSORS][CONFIG_NAME_SIZE];
    std::memset(names, 'x', sizeof names);
    int count = -1;
    get_live_info(&count, names);
    EXPECT_EQ(count, 2);
    EXPECT_STREQ(names[0], "SPD");
    EXPECT_EQ(std::strlen(names[1]), 63u);

    g_live_sensor_count = 99; // never more than the table holds
    get_live_info(&count, names);
    EXPECT_EQ(count, MAX_LIVE_SENSORS);
}
