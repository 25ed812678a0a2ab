// ecu_info.json: the written layout, the fingerprint comparison and the reset.
#include "obd2/config_file.h"
#include "obd2/ecu_info_file.h"
#include "obd2/pid_catalogue.h"
#include "obd2/pid_discovery.h"
#include "obd2/vehicle_info.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct record {
    std::uint8_t info_type;
    std::string text;
};

void set_vehicle_info(const std::vector<record> &records)
{
    std::memset(g_vehicle_info, 0, sizeof g_vehicle_info);
    for (std::size_t i = 0; i < records.size(); ++i) {
        g_vehicle_info[i].info_type = records[i].info_type;
        std::snprintf(g_vehicle_info[i].text, VEHICLE_INFO_TEXT_SIZE, "%s", records[i].text.c_str());
    }
    g_vehicle_info_count = static_cast<int>(records.size());
}

class EcuInfoFile : public ::testing::Test {
protected:
    temp_dir dir{"svc-ecu-info-"};
    scoped_env config_dir{"DIAG_GW_CONFIG_DIR", dir.path()};

    void SetUp() override
    {
        set_vehicle_info({});
        std::memset(g_can_protocol, 0, sizeof g_can_protocol);
        g_can_bitrate = 0;
        for (int &entry : g_pid_availability)
            entry = 0;
    }

    std::string saved() const { return read_text_file(dir.file("ecu_info.json")); }

    void save_file(const std::string &text) const { ASSERT_TRUE(write_text_file(dir.file("ecu_info.json"), text)); }

    // A saved file with these fingerprint members (absent when null).
    void save_fingerprint(const char *vid, const char *cid, const char *cvn) const
    {
        std::string text = "{\"ECU_INFO\":{";
        std::string sep;
        for (auto [key, value] : {std::pair{"VID", vid}, std::pair{"CID", cid}, std::pair{"CVN", cvn}}) {
            if (value != nullptr) {
                text += sep + "\"" + key + "\":\"" + value + "\"";
                sep = ",";
            }
        }
        save_file(text + ",\"ECUNM\":\"x\"}}");
    }
};

// The LIVE_PIDS block with these rows at 1, in the layout of cJSON_Print.
std::string live_pids_block(const std::vector<std::string> &available)
{
    static const char *const keys[] = {
        "ENGLD",  "COLTMP", "FULPRS", "INTPRS",  "ENGRPM",  "SPD",      "TMADV",  "INTTMP", "MSFLRT",
        "THRTPS", "FULRPRS", "FLLVL", "THRPSB",  "CNTMDVOL", "AMBTMP",  "O2S1",   "O2S2",   "O2S3",
        "O2S4",   "O2S5",   "O2S6",   "O2S7",    "O2S8",    "FRLDSL",   "CMDEGR", "EGRE",   "EVAPPRG",
        "WRMUPC", "DISCLR", "CTB1S1", "CTB2S1",  "CTB1S2",  "CTB2S2",   "LMBRAT", "RELTHR", "THRPSB2",
        "THRPSC", "THRPSD", "THRPSE", "THRPSF",  "CMDTHR",  "TMIL",     "TCLR",   "STFT1",  "LTFT1",
        "STFT2",  "LTFT2",  "DISMIL", "EVPPRS",  "ABSLOD",  "OILTEMP",  "INJTIM", "FULRAT", "DDTORQ",
        "ACTTORQ", "REFTORQ"};
    std::string text = "\t\"LIVE_PIDS\":\t{\n";
    for (std::size_t i = 0; i < std::size(keys); ++i) {
        bool on = std::find(available.begin(), available.end(), keys[i]) != available.end();
        text += std::string("\t\t\"") + keys[i] + "\":\t" + (on ? "1" : "0") + (i + 1 < std::size(keys) ? ",\n" : "\n");
    }
    return text + "\t}\n";
}

} // namespace

TEST_F(EcuInfoFile, WritesFormattedLayoutByteForByte)
{
    set_vehicle_info({{0x02, "1FTEW1EP5JFA12345"},
                      {0x04, "CAL-OLD"},
                      {0x04, ""},
                      {0x06, "A"},
                      {0x08, "IGNORED"},
                      {0x06, "B"},
                      {0x0A, "ECM-EngineControl"}});
    set_can_protocol(2);
    g_can_bitrate = 500000;
    for (int row : {0, 4, 5, 48, 55})
        g_pid_availability[row] = 1;
    g_pid_availability[56] = 1; // beyond the catalogue: never written

    EXPECT_EQ(save_ecu_info_json(), 1);

    std::string expected = "{\n"
                           "\t\"ECU_INFO\":\t{\n"
                           "\t\t\"VID\":\t\"1FTEW1EP5JFA12345\",\n"
                           "\t\t\"CID\":\t\"CAL-OLD\",\n"
                           "\t\t\"CVN\":\t\"B\",\n"
                           "\t\t\"ECUNM\":\t\"ECM-EngineControl\",\n"
                           "\t\t\"PROTO\":\t\"ISO15765-4 (29-bit)\",\n"
                           "\t\t\"BR\":\t500000\n"
                           "\t},\n" +
                           live_pids_block({"ENGLD", "ENGRPM", "SPD", "EVPPRS", "REFTORQ"}) + "}";
    EXPECT_EQ(saved(), expected);
}

TEST_F(EcuInfoFile, UnknownValuesArePlaceholders)
{
    EXPECT_EQ(save_ecu_info_json(), 1);
    std::string expected = "{\n"
                           "\t\"ECU_INFO\":\t{\n"
                           "\t\t\"VID\":\t\"N/A\",\n"
                           "\t\t\"CID\":\t\"N/A\",\n"
                           "\t\t\"CVN\":\t\"N/A\",\n"
                           "\t\t\"ECUNM\":\t\"N/A\",\n"
                           "\t\t\"PROTO\":\t\"N/A\",\n"
                           "\t\t\"BR\":\t0\n"
                           "\t},\n" +
                           live_pids_block({}) + "}";
    EXPECT_EQ(saved(), expected);
}

TEST_F(EcuInfoFile, TextsAreEscapedAsJson)
{
    set_vehicle_info({{0x0A, "ECM \"A\\B\""}});
    save_ecu_info_json();
    EXPECT_NE(saved().find("\t\t\"ECUNM\":\t\"ECM \\\"A\\\\B\\\"\",\n"), std::string::npos);
}

TEST_F(EcuInfoFile, UnwritableFolderStillReportsABuiltDocument)
{
    scoped_env missing("DIAG_GW_CONFIG_DIR", dir.file("no/such/folder"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(save_ecu_info_json(), 1);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("OBD2_ERROR : Failed to open file: " + dir.file("no/such/folder") + "/ecu_info.json\n"),
              std::string::npos);
}

TEST_F(EcuInfoFile, ResetWritesDefaultsAndKeepsVehicleInfo)
{
    set_vehicle_info({{0x02, "VIN1"}, {0x04, "CAL1"}, {0x06, "0A0B"}});
    set_can_protocol(1);
    g_can_bitrate = 250000;
    for (int &entry : g_pid_availability)
        entry = 1;

    EXPECT_EQ(reset_supported_pid(), 1);

    for (int i = 0; i < PID_AVAILABILITY_SIZE; ++i)
        EXPECT_EQ(g_pid_availability[i], i < 5 ? 1 : 0) << i;
    EXPECT_STREQ(g_can_protocol, "UNKNOWN");
    std::string expected = "{\n"
                           "\t\"ECU_INFO\":\t{\n"
                           "\t\t\"VID\":\t\"VIN1\",\n"
                           "\t\t\"CID\":\t\"CAL1\",\n"
                           "\t\t\"CVN\":\t\"0A0B\",\n"
                           "\t\t\"ECUNM\":\t\"N/A\",\n"
                           "\t\t\"PROTO\":\t\"UNKNOWN\",\n"
                           "\t\t\"BR\":\t250000\n"
                           "\t},\n" +
                           live_pids_block({"ENGLD", "COLTMP", "FULPRS", "INTPRS", "ENGRPM"}) + "}";
    EXPECT_EQ(saved(), expected);
}

TEST_F(EcuInfoFile, SavedFingerprintMatchesTheSameVehicle)
{
    set_vehicle_info({{0x02, "VIN1"}, {0x04, "CAL1"}, {0x06, "0A0B"}, {0x0A, "ECM"}});
    save_ecu_info_json();
    EXPECT_EQ(compare_vehicle_info_with_saved(), 1);

    // ECU name, protocol and bitrate take no part.
    set_vehicle_info({{0x02, "VIN1"}, {0x04, "CAL1"}, {0x06, "0A0B"}, {0x0A, "OTHER"}});
    set_can_protocol(2);
    g_can_bitrate = 125000;
    EXPECT_EQ(compare_vehicle_info_with_saved(), 1);
}

TEST_F(EcuInfoFile, ComparisonPrintsBothFingerprints)
{
    set_vehicle_info({{0x02, "VIN1"}, {0x04, "CAL1"}, {0x06, "0A0B"}});
    save_fingerprint("VIN1", "CAL1", "0A0C");
    testing::internal::CaptureStdout();
    EXPECT_EQ(compare_vehicle_info_with_saved(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OBD2_INFO : Comparing ECU info...\n"
              "  VID : saved='VIN1'  new='VIN1'\n"
              "  CID : saved='CAL1'  new='CAL1'\n"
              "  CVN : saved='0A0C'  new='0A0B'\n"
              "OBD2_INFO : ECU info mismatch or new vehicle. Proceeding with full scan.\n");
}

TEST_F(EcuInfoFile, PlaceholdersEmptyTextsAndCaseNeverMatch)
{
    set_vehicle_info({{0x02, "VIN1"}, {0x04, "CAL1"}, {0x06, "0A0B"}});
    save_fingerprint("VIN1", "CAL1", "0A0B");
    EXPECT_EQ(compare_vehicle_info_with_saved(), 1);
    save_fingerprint("VIN1", "N/A", "0A0B");
    EXPECT_EQ(compare_vehicle_info_with_saved(), 0);
    save_fingerprint("vin1", "CAL1", "0A0B");
    EXPECT_EQ(compare_vehicle_info_with_saved(), 0);
    save_fingerprint("VIN1", "CAL1", nullptr);
    EXPECT_EQ(compare_vehicle_info_with_saved(), 0);

    // A vehicle that does not report its CID: saved "" or "N/A" never match it.
    set_vehicle_info({{0x02, "VIN1"}, {0x06, "0A0B"}});
    save_fingerprint("VIN1", "", "0A0B");
    EXPECT_EQ(compare_vehicle_info_with_saved(), 0);
    save_fingerprint("VIN1", "N/A", "0A0B");
    EXPECT_EQ(compare_vehicle_info_with_saved(), 0);
}

TEST_F(EcuInfoFile, LaterRecordsOfAnInfoTypeWin)
{
    set_vehicle_info({{0x02, "VIN1"}, {0x04, "CAL1"}, {0x06, "A"}, {0x04, "CAL2"}, {0x06, "B"}});
    save_fingerprint("VIN1", "CAL2", "B");
    EXPECT_EQ(compare_vehicle_info_with_saved(), 1);
}

TEST_F(EcuInfoFile, SavedMembersAreFoundWhateverTheirCase)
{
    set_vehicle_info({{0x02, "VIN1"}, {0x04, "CAL1"}, {0x06, "0A0B"}});
    save_file(R"({"ecu_info":{"vid":"VIN1","Cid":"CAL1","CVN":"0A0B"}})");
    EXPECT_EQ(compare_vehicle_info_with_saved(), 1);
    save_file(R"({"ECU_INFO":{"VID":"VIN1","CID":7,"CVN":"0A0B"}})");
    EXPECT_EQ(compare_vehicle_info_with_saved(), 0);
}

TEST_F(EcuInfoFile, MissingOrBrokenFilesForceAFullScan)
{
    set_vehicle_info({{0x02, "VIN1"}, {0x04, "CAL1"}, {0x06, "0A0B"}});
    testing::internal::CaptureStdout();
    EXPECT_EQ(compare_vehicle_info_with_saved(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OBD2_INFO : No existing ecu_info.json found. Forcing full scan.\n");

    save_file(R"({"ECU_INFO":{"VID":"VIN1",)");
    testing::internal::CaptureStdout();
    EXPECT_EQ(compare_vehicle_info_with_saved(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OBD2_ERROR : Failed to parse ecu_info.json. Forcing full scan.\n");

    save_file(R"({"LIVE_PIDS":{}})");
    testing::internal::CaptureStdout();
    EXPECT_EQ(compare_vehicle_info_with_saved(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OBD2_ERROR : ECU_INFO key missing in ecu_info.json. Forcing full scan.\n");

    save_file("");
    EXPECT_EQ(compare_vehicle_info_with_saved(), 0);
}

TEST_F(EcuInfoFile, RecordTextsFillingTheirFieldAreCut)
{
    std::string vin(200, 'V');
    set_vehicle_info({{0x02, ""}, {0x04, "CAL1"}, {0x06, "0A0B"}});
    std::memset(g_vehicle_info[0].text, 'V', VEHICLE_INFO_TEXT_SIZE); // no terminator
    save_ecu_info_json();
    EXPECT_NE(saved().find("\"VID\":\t\"" + vin.substr(0, 127) + "\""), std::string::npos);
    // The comparison takes at most 127 characters of the record.
    save_fingerprint(vin.substr(0, 127).c_str(), "CAL1", "0A0B");
    EXPECT_EQ(compare_vehicle_info_with_saved(), 1);
}
