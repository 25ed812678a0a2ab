// config.json: reading, the default restore, the summary. Real files in a
// private temporary folder, found through the config-dir seam.
#include "temp_dir.h"

#include "obd2/config_file.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

class ConfigFile : public testing::Test {
protected:
    temp_dir dir{"diag-config-"};
    scoped_env config_dir{"DIAG_GW_CONFIG_DIR", dir.path()};

    void SetUp() override
    {
        g_can_padding = 0;
        g_can_bitrate = 0;
        g_live_sensor_count = 0;
        g_dtc_count = 0;
        std::memset(g_live_sensor_names, 0, sizeof(g_live_sensor_names));
        std::memset(g_dtc_names, 0, sizeof(g_dtc_names));
    }

    // Writes config.json and reads it back through parse_config_json.
    int parse(const std::string &text)
    {
        EXPECT_TRUE(write_text_file(config_json_path(), text));
        return parse_config_json(config_json_path().c_str());
    }

    static std::vector<std::string> sensors()
    {
        return {g_live_sensor_names, g_live_sensor_names + g_live_sensor_count};
    }
    static std::vector<std::string> dtc_kinds() { return {g_dtc_names, g_dtc_names + g_dtc_count}; }
};

using names = std::vector<std::string>;

// A file replaced by renaming gets a new inode.
ino_t inode_of(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(ConfigFile, PathsFollowTheConfigDirectory)
{
    EXPECT_EQ(config_json_path(), dir.path() + "/config.json");
    EXPECT_EQ(default_config_json_path(), dir.path() + "/default_config/default_config.json");
}

TEST_F(ConfigFile, ReadsPaddingAndBitrate)
{
    EXPECT_EQ(parse(R"({"can_port": {"padding": 170, "BR": 500000}})"), 1);
    EXPECT_EQ(g_can_padding, 170);
    EXPECT_EQ(g_can_bitrate, 500000);
}

TEST_F(ConfigFile, KeepsCanSettingsTheFileDoesNotSupply)
{
    ASSERT_EQ(parse(R"({"can_port": {"padding": 85, "BR": 250000}})"), 1);
    EXPECT_EQ(parse(R"({"live_page": {"sensors": []}})"), 1); // no can_port at all
    EXPECT_EQ(g_can_padding, 85);
    EXPECT_EQ(g_can_bitrate, 250000);
    EXPECT_EQ(parse(R"({"can_port": {"padding": 170}})"), 1); // BR removed
    EXPECT_EQ(g_can_padding, 170);
    EXPECT_EQ(g_can_bitrate, 250000);
    EXPECT_EQ(parse(R"({"can_port": {"padding": "0xAA", "BR": [500000]}})"), 1); // wrong types
    EXPECT_EQ(g_can_padding, 170);
    EXPECT_EQ(g_can_bitrate, 250000);
    EXPECT_EQ(parse(R"({"can_port": 500000})"), 1);
    EXPECT_EQ(g_can_bitrate, 250000);
}

TEST_F(ConfigFile, KeysIgnoreLetterCase)
{
    EXPECT_EQ(parse(R"({"CAN_PORT": {"Padding": 85, "br": 250000},
                        "Live_Page": {"SENSORS": [{"Name": "SPD", "SHOW": 1}]},
                        "SHOW_DTC": {"strdtc": 1}})"),
              1);
    EXPECT_EQ(g_can_padding, 85);
    EXPECT_EQ(g_can_bitrate, 250000);
    EXPECT_EQ(sensors(), names{"SPD"});
    EXPECT_EQ(dtc_kinds(), names{"strdtc"}); // the member's name as written
}

TEST_F(ConfigFile, KeepsAtMostSixteenSensors)
{
    std::string list;
    for (int i = 1; i <= 17; ++i)
        list += std::string(i > 1 ? "," : "") + R"({"name": "S)" + std::to_string(i) + R"(", "show": 1})";
    EXPECT_EQ(parse(R"({"live_page": {"sensors": [)" + list + "]}}"), 1);
    ASSERT_EQ(g_live_sensor_count, 16);
    EXPECT_STREQ(g_live_sensor_names[0], "S1");
    EXPECT_STREQ(g_live_sensor_names[15], "S16");
}

TEST_F(ConfigFile, TakesOnlySensorsWithNameAndShowOne)
{
    EXPECT_EQ(parse(R"({"live_page": {"sensors": [
        {"name": "ENGRPM", "show": 1},
        {"name": "SPD", "show": 0},
        {"name": "COLTMP", "show": "1"},
        {"show": 1},
        {"name": 5, "show": 1},
        {"name": "ENGLD", "show": 1.7},
        {"name": "THRTPS", "show": 2},
        {"name": "INTTMP"},
        "FLLVL",
        {"name": "CNTMDVOL", "show": 1.0}
    ]}})"),
              1);
    EXPECT_EQ(sensors(), (names{"ENGRPM", "ENGLD", "CNTMDVOL"}));
}

TEST_F(ConfigFile, CutsNamesToSixtyThreeCharacters)
{
    std::string long_name(80, 'N');
    EXPECT_EQ(parse(R"({"live_page": {"sensors": [{"name": ")" + long_name + R"(", "show": 1}]},
                        "show_dtc": {")" + long_name + R"(": 1}})"),
              1);
    EXPECT_EQ(std::string(g_live_sensor_names[0]), std::string(63, 'N'));
    EXPECT_EQ(std::string(g_dtc_names[0]), std::string(63, 'N'));
}

TEST_F(ConfigFile, TakesSelectedTroubleCodeKindsInFileOrder)
{
    EXPECT_EQ(parse(R"({"show_dtc": {"STRDTC": 1, "PNDDTC": 0, "PRMDTC": 1}})"), 1);
    EXPECT_EQ(dtc_kinds(), (names{"STRDTC", "PRMDTC"}));
    EXPECT_EQ(parse(R"({"show_dtc": {"PRMDTC": 1, "X": "1", "STRDTC": 1, "PNDDTC": 1, "EXTRA": 1}})"), 1);
    EXPECT_EQ(dtc_kinds(), (names{"PRMDTC", "STRDTC", "PNDDTC"}));
}

TEST_F(ConfigFile, EveryReadReplacesTheLists)
{
    ASSERT_EQ(parse(R"({"live_page": {"sensors": [{"name": "SPD", "show": 1}]},
                        "show_dtc": {"STRDTC": 1}})"),
              1);
    EXPECT_EQ(parse(R"({"can_port": {"BR": 500000}})"), 1);
    EXPECT_EQ(g_live_sensor_count, 0);
    EXPECT_EQ(g_dtc_count, 0);
}

TEST_F(ConfigFile, NumbersSaturateLikeTheJsonLibrary)
{
    EXPECT_EQ(parse(R"({"can_port": {"padding": -1, "BR": 1e12}})"), 1);
    EXPECT_EQ(g_can_padding, -1);
    EXPECT_EQ(g_can_bitrate, INT_MAX);
}

TEST_F(ConfigFile, FailsOnTextThatIsNotJson)
{
    ASSERT_EQ(parse(R"({"live_page": {"sensors": [{"name": "SPD", "show": 1}]}})"), 1);
    CaptureStdout();
    EXPECT_EQ(parse(R"({"can_port": {"BR": 500000)"), 0);
    EXPECT_EQ(parse(""), 0);
    EXPECT_EQ(GetCapturedStdout(), "Error: JSON parse failed\nError: JSON parse failed\n");
    EXPECT_EQ(sensors(), names{"SPD"}); // a failed read changes nothing
    EXPECT_EQ(g_can_bitrate, 0);
}

TEST_F(ConfigFile, FailsOnMissingFile)
{
    CaptureStderr();
    EXPECT_EQ(parse_config_json(dir.file("nothing.json").c_str()), 0);
    EXPECT_EQ(GetCapturedStderr(), "File open failed: No such file or directory\n");
}

// A reload must not take another writer's half-written config.json.tmp;
// only the start removes what an interrupted restore left.
TEST_F(ConfigFile, ReadingLeavesATemporaryFileBesideItAlone)
{
    const std::string temp = config_json_path() + ".tmp";
    ASSERT_TRUE(write_text_file(temp, R"({"can_port": {"padd)"));
    EXPECT_EQ(parse(R"({"can_port": {"padding": 170, "BR": 500000}})"), 1);
    EXPECT_TRUE(file_exists(temp));
    remove_interrupted_config_restore();
    EXPECT_FALSE(file_exists(temp));
    EXPECT_TRUE(file_exists(config_json_path()));
}

TEST_F(ConfigFile, PrintsTheSummary)
{
    ASSERT_EQ(parse(R"({"can_port": {"padding": 170, "BR": 500000},
                        "live_page": {"sensors": [{"name": "ENGRPM", "show": 1}, {"name": "SPD", "show": 1}]},
                        "show_dtc": {"STRDTC": 1, "PRMDTC": 1}})"),
              1);
    CaptureStdout();
    print_config_summary();
    EXPECT_EQ(GetCapturedStdout(), "=== CAN Config ===\n"
                                   "Padding: 170\n"
                                   "Bitrate: 500000\n"
                                   "\n=== Live Sensors ===\n"
                                   "Sensor 1: ENGRPM\n"
                                   "Sensor 2: SPD\n"
                                   "\n=== DTC Names ===\n"
                                   "DTC 1: STRDTC\n"
                                   "DTC 2: PRMDTC\n");
}

// ---- default restore ------------------------------------------------------------

TEST_F(ConfigFile, RestoreCopiesTheDefaultByteForByte)
{
    // Longer than a page, with bytes a text copy would mangle.
    constexpr int page = 4096;
    std::string payload = R"({"can_port": {"padding": 85, "BR": 250000}, "pad": ")";
    for (int i = 0; i < 3 * page; ++i)
        payload += static_cast<char>('a' + i % 26);
    payload += "\"}\r\n";
    payload += std::string("\0\x01\xff", 3);
    ASSERT_TRUE(write_text_file(default_config_json_path(), payload));
    ASSERT_TRUE(write_text_file(config_json_path(), std::string(5 * page, 'x')));
    CaptureStdout();
    EXPECT_EQ(restore_default_config(), 1);
    EXPECT_EQ(GetCapturedStdout(), "OBD2_ERROR : Error while parsing json.\n"
                                   "Default config restored successfully. The rejected file is kept as " +
                                       rejected_config_json_path() + ".\n");
    EXPECT_EQ(read_text_file(config_json_path()), payload);
    EXPECT_EQ(read_text_file(rejected_config_json_path()), std::string(5 * page, 'x'));
    EXPECT_EQ(parse_config_json(config_json_path().c_str()), 1);
    EXPECT_EQ(g_can_bitrate, 250000);
}

// The rejected file is kept whole, rewritten only when it differs, and never
// replaced by a rejected copy of a broken default.
TEST_F(ConfigFile, RestoreKeepsTheRejectedFileOnce)
{
    const std::string broken = R"({"can_port": {"BR": 5)";
    const std::string defaults = "{ broken default";
    ASSERT_TRUE(write_text_file(default_config_json_path(), defaults));
    ASSERT_TRUE(write_text_file(config_json_path(), broken));
    ASSERT_EQ(restore_default_config(), 1);
    ASSERT_EQ(read_text_file(rejected_config_json_path()), broken);
    const ino_t inode = inode_of(rejected_config_json_path());

    // The restored default does not parse either: the next restore must not
    // keep it over the user's file.
    ASSERT_EQ(restore_default_config(), 1);
    ASSERT_TRUE(write_text_file(config_json_path(), broken)); // the same mistake again
    ASSERT_EQ(restore_default_config(), 1);
    EXPECT_EQ(read_text_file(rejected_config_json_path()), broken);
    EXPECT_EQ(inode_of(rejected_config_json_path()), inode) << "rewritten with the same content";
}

// Without a place for the rejected file, the user's file stays where it is.
TEST_F(ConfigFile, RestoreThatCannotKeepTheRejectedFileLeavesConfigUntouched)
{
    const std::string broken = R"({"can_port": {"BR": 5)";
    ASSERT_TRUE(write_text_file(default_config_json_path(), "{}"));
    ASSERT_TRUE(write_text_file(config_json_path(), broken));
    std::filesystem::create_directories(rejected_config_json_path() + "/in-the-way");
    CaptureStdout();
    EXPECT_EQ(restore_default_config(), 0);
    EXPECT_EQ(GetCapturedStdout(), "OBD2_ERROR : Error while parsing json.\n"
                                   "OBD2_ERROR : Failed to keep the rejected config as " +
                                       rejected_config_json_path() + ".\n"
                                   "OBD2_ERROR : Failed to restore default config file!\n");
    EXPECT_EQ(read_text_file(config_json_path()), broken);
}

TEST_F(ConfigFile, RestoreWithoutDefaultLeavesConfigUntouched)
{
    const std::string broken = R"({"can_port": {"BR": 5)";
    ASSERT_TRUE(write_text_file(config_json_path(), broken));
    CaptureStdout();
    EXPECT_EQ(restore_default_config(), 0);
    EXPECT_EQ(GetCapturedStdout(), "OBD2_ERROR : Error while parsing json.\n"
                                   "OBD2_ERROR : Failed to restore default config file!\n");
    EXPECT_EQ(read_text_file(config_json_path()), broken);
}

TEST_F(ConfigFile, RestoreReportsConfigThatCannotBeWritten)
{
    ASSERT_TRUE(write_text_file(default_config_json_path(), "{}"));
    std::filesystem::create_directories(config_json_path()); // a folder where the file belongs
    CaptureStdout();
    EXPECT_EQ(restore_default_config(), 0);
    EXPECT_EQ(GetCapturedStdout(), "OBD2_ERROR : Error while parsing json.\n"
                                   "OBD2_ERROR : Failed to restore default config file!\n");
}

// ---- the shipped files ------------------------------------------------------------

TEST(ShippedConfig, ConfigAndDefaultAreUsable)
{
    for (const char *file : {"/configs/config.json", "/configs/default_config/default_config.json"}) {
        SCOPED_TRACE(file);
        std::string path = std::string(DIAG_SOURCE_DIR) + file;
        ASSERT_EQ(parse_config_json(path.c_str()), 1);
        EXPECT_EQ(g_can_padding & 0xFF, 0xAA);
        EXPECT_EQ(g_can_bitrate, 500000);
        EXPECT_GE(g_live_sensor_count, 5);
        EXPECT_STREQ(g_live_sensor_names[0], "ENGRPM");
        ASSERT_EQ(g_dtc_count, 3);
        EXPECT_STREQ(g_dtc_names[0], "STRDTC");
        EXPECT_STREQ(g_dtc_names[1], "PNDDTC");
        EXPECT_STREQ(g_dtc_names[2], "PRMDTC");
    }
}

} // namespace
