// Vehicle profiles: the JSON format, its defaults and its error messages.
#include "ecu_sim.h"

#include <gtest/gtest.h>

#include <dirent.h>

using bytes = std::vector<std::uint8_t>;

namespace {

std::string load_error(const std::string &json)
{
    ecu_profile profile;
    std::string error;
    EXPECT_FALSE(ecu_profile_from_json(json, profile, error));
    return error;
}

ecu_profile load(const std::string &json)
{
    ecu_profile profile;
    std::string error;
    EXPECT_TRUE(ecu_profile_from_json(json, profile, error)) << error;
    return profile;
}

TEST(EcuProfile, ShippedVehiclesLoad)
{
    std::string folder = std::string(DIAG_SOURCE_DIR) + "/configs/vehicles";
    DIR *dir = opendir(folder.c_str());
    ASSERT_NE(dir, nullptr);
    int loaded = 0;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() < 5 || name.substr(name.size() - 5) != ".json")
            continue;
        ecu_profile profile;
        std::string error;
        EXPECT_TRUE(ecu_profile_from_file(folder + "/" + name, profile, error)) << error;
        EXPECT_FALSE(profile.ecus.empty()) << name;
        ++loaded;
    }
    closedir(dir);
    EXPECT_GE(loaded, 3);
}

TEST(EcuProfile, DemoCarHasWhatTheDemoShows)
{
    ecu_profile profile;
    std::string error;
    ASSERT_TRUE(ecu_profile_from_file(std::string(DIAG_SOURCE_DIR) + "/configs/vehicles/demo_petrol_11bit.json",
                                      profile, error))
        << error;
    const ecu_node_profile &ecm = profile.ecus.at(0);
    EXPECT_EQ(ecm.info.at(0x02).size(), 18u); // item count + 17 characters
    EXPECT_EQ(ecm.clear_pending_answers, 2);
    EXPECT_FALSE(ecm.stored_dtcs.empty());
    for (std::uint8_t pid : {0x04, 0x05, 0x0A, 0x0B, 0x0C, 0x0D})
        EXPECT_TRUE(ecm.pids.count(pid)) << int(pid);
    for (const byte_vector &rpm : ecm.pids.at(0x0C)) {
        double value = (rpm.at(0) * 256 + rpm.at(1)) / 4.0;
        EXPECT_GE(value, 700);
        EXPECT_LE(value, 3200);
    }
}

TEST(EcuProfile, DefaultsFollowTheAddressing)
{
    ecu_profile eleven = load(R"({"ecus": [{}, {}]})");
    EXPECT_EQ(eleven.functional_id, 0x7DFu);
    EXPECT_EQ(eleven.ecus[1].response_id, 0x7E9u);
    EXPECT_EQ(eleven.ecus[1].physical_id, 0x7E1u);
    EXPECT_EQ(eleven.fill_byte, 0x55);
    EXPECT_TRUE(eleven.padding);
    ecu_profile twenty_nine = load(R"({"addressing": "29bit", "ecus": [{}, {}]})");
    EXPECT_EQ(twenty_nine.functional_id, 0x18DB33F1u);
    EXPECT_EQ(twenty_nine.ecus[0].response_id, 0x18DAF110u);
    EXPECT_EQ(twenty_nine.ecus[0].physical_id, 0x18DA10F1u);
    EXPECT_EQ(twenty_nine.ecus[1].response_id, 0x18DAF111u);
    EXPECT_EQ(twenty_nine.ecus[1].physical_id, 0x18DA11F1u);
}

TEST(EcuProfile, ReadsNumbersBytesAndVehicleInformation)
{
    ecu_profile profile = load(R"({
        "fill_byte": 170, "fc_timeout_ms": "250",
        "response_id": "0x7EA", "physical_id": 2018,
        "pids": {"0c": ["1A F8", [26, 249]], "05": "82"},
        "vin": "ZZZDEM0PETR0L0001", "calibration_id": "CAL1", "cvn": "a1b2c3d4", "ecu_name": "ECM",
        "info": {"0B": "01 02"}
    })");
    EXPECT_EQ(profile.fill_byte, 0xAA);
    EXPECT_EQ(profile.fc_timeout_ms, 250);
    const ecu_node_profile &ecu = profile.ecus.at(0);
    EXPECT_EQ(ecu.response_id, 0x7EAu);
    EXPECT_EQ(ecu.physical_id, 0x7E2u);
    EXPECT_EQ(ecu.pids.at(0x0C), (std::vector<byte_vector>{{0x1A, 0xF8}, {0x1A, 0xF9}}));
    EXPECT_EQ(ecu.info.at(0x06), (bytes{0x01, 0xA1, 0xB2, 0xC3, 0xD4}));
    EXPECT_EQ(ecu.info.at(0x04).size(), 17u); // count + 16 bytes, zero padded
    EXPECT_EQ(ecu.info.at(0x04)[5], 0x00);
    EXPECT_EQ(ecu.info.at(0x0A).size(), 21u); // count + 20 bytes
    EXPECT_EQ(ecu.info.at(0x0B), (bytes{0x01, 0x02}));
}

TEST(EcuProfile, TroubleCodeTexts)
{
    dtc_bytes code{};
    ASSERT_TRUE(ecu_dtc_from_text("P0133", code));
    EXPECT_EQ(code, (dtc_bytes{0x01, 0x33}));
    ASSERT_TRUE(ecu_dtc_from_text("U0100", code));
    EXPECT_EQ(code, (dtc_bytes{0xC1, 0x00}));
    ASSERT_TRUE(ecu_dtc_from_text("C0123", code));
    EXPECT_EQ(code, (dtc_bytes{0x41, 0x23}));
    ASSERT_TRUE(ecu_dtc_from_text("B3FFF", code));
    EXPECT_EQ(code, (dtc_bytes{0xBF, 0xFF}));
    for (const char *bad : {"P4000", "X0100", "P013", "P01333", "P01G3", ""})
        EXPECT_FALSE(ecu_dtc_from_text(bad, code)) << bad;
    ecu_profile profile = load(R"({"dtcs": {"stored": ["P0133", [0, 0], "41 23"]}})");
    EXPECT_EQ(profile.ecus[0].stored_dtcs,
              (std::vector<dtc_bytes>{{0x01, 0x33}, {0x00, 0x00}, {0x41, 0x23}}));
}

TEST(EcuProfile, ErrorsNameTheMemberAtFault)
{
    EXPECT_EQ(load_error("{"), "not valid JSON");
    EXPECT_NE(load_error(R"({"addressing": "12bit"})").find("addressing"), std::string::npos);
    EXPECT_NE(load_error(R"({"pids": {"0C": "1G"}})").find("pids.0C"), std::string::npos);
    EXPECT_NE(load_error(R"({"pids": {"0C": "1A F"}})").find("odd number"), std::string::npos);
    EXPECT_NE(load_error(R"({"pids": {"0C0D": "00"}})").find("one hexadecimal byte"), std::string::npos);
    EXPECT_NE(load_error(R"({"fill_byte": 256})").find("fill_byte"), std::string::npos);
    EXPECT_NE(load_error(R"({"response_id": "0x800"})").find("response_id"), std::string::npos);
    EXPECT_NE(load_error(R"({"dtcs": {"stored": ["P9999"]}})").find("dtcs.stored"), std::string::npos);
    EXPECT_NE(load_error(R"({"rules": [{"request": "01 0C"}]})").find("rules[0]"), std::string::npos);
    EXPECT_NE(load_error(R"({"clear": {"result": "maybe"}})").find("clear.result"), std::string::npos);
    EXPECT_NE(load_error(R"({"ecus": []})").find("ecus"), std::string::npos);
    EXPECT_NE(load_error(R"({"ecus": [{}, {}, {}, {}, {}, {}, {}, {}, {}]})").find("at most 8"), std::string::npos);
    EXPECT_NE(load_error(R"({"ecus": [{"pids": {"05": 5}}]})").find("ecus[0].pids.05"), std::string::npos);
    ecu_profile profile;
    std::string error;
    EXPECT_FALSE(ecu_profile_from_file("/nonexistent/profile.json", profile, error));
    EXPECT_NE(error.find("/nonexistent/profile.json"), std::string::npos);
}

TEST(EcuProfile, RejectsOversizedAnswers)
{
    std::string long_vin(4094, 'A');
    EXPECT_NE(load_error(R"({"vin": ")" + long_vin + R"("})").find("4095"), std::string::npos);
}

} // namespace
