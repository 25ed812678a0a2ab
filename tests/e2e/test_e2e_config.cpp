// An unusable config.json: restored from the default, or reported (paced)
// until it is mended.
#include "e2e_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

using namespace std::chrono_literals;

const std::string WRNGCFG = e2e_status("WRNGCFG", 0, 1);

std::string config_with_bitrate(int bitrate)
{
    return R"({ "can_port": { "padding": 170, "BR": )" + std::to_string(bitrate) +
           R"( }, "live_page": { "sensors": [ { "name": "ENGRPM", "show": 1 } ] },
              "show_dtc": { "STRDTC": 1 } })";
}

} // namespace

TEST(E2eConfig, UnparseableConfigIsReplacedByTheDefault)
{
    e2e_rig rig;
    const std::string default_json = e2e_standard_config();
    const std::string first_mistake = "{ \"can_port\": { \"BR\": 500000 ";
    ASSERT_TRUE(rig.start_daemon(first_mistake, default_json));
    const std::string config_path = rig.config_dir() + "/config.json";
    const std::string rejected_path = config_path + ".rejected";
    const auto &d = rig.daemon();
    ASSERT_NE(d.wait_for_log("Default config restored successfully. The rejected file is kept as " +
                                 rejected_path + ".",
                             E2E_TIMEOUT),
              std::string::npos);
    EXPECT_NE(d.wait_for_log("OBD2_ERROR : Error while parsing json.", 1s), std::string::npos);
    EXPECT_EQ(read_text_file(config_path), default_json);
    EXPECT_EQ(read_text_file(rejected_path), first_mistake);

    // Spoil it again and have it reloaded, now that the UI is certainly
    // listening: one WRNGCFG, then the normal road from the restored file.
    // A user's careful edit with one typo: kept byte for byte.
    const std::string second_mistake = "{\r\n  \"can_port\": { \"padding\": 170, \"BR\": 250000, },\r\n  \"\xc3\xa4\": 1 }\n";
    ASSERT_TRUE(write_text_file(config_path, second_mistake));
    const std::size_t mark = d.log_mark();
    ASSERT_TRUE(rig.send_command(10));
    ASSERT_NE(d.wait_for_log("Default config restored successfully.", E2E_TIMEOUT, mark), std::string::npos);
    EXPECT_EQ(read_text_file(config_path), default_json);
    EXPECT_EQ(read_text_file(rejected_path), second_mistake);

    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
    std::vector<std::string> before;
    ASSERT_TRUE(rig.skip_until(e2e_status("MODEDETECTED"), &before));
    EXPECT_TRUE(rig.expect_words({"GOTINFO", "GOTPID", "SAVSUC"}));
    // The start-up's WRNGCFG (kept until the link was up) and the reload's.
    EXPECT_EQ(before, (std::vector<std::string>{WRNGCFG, WRNGCFG}));
}

TEST(E2eConfig, ZeroBitrateIsReportedPacedUntilMended)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(config_with_bitrate(0)));
    ASSERT_TRUE(rig.skip_until(WRNGCFG)); // repeated, so the first one seen may be any

    // Paced instead of flooding the broker; counted only loosely.
    rig.ui().take_all();
    std::this_thread::sleep_for(3s);
    std::size_t reports = 0;
    for (const auto &m : rig.ui().take_all())
        reports += m.payload == WRNGCFG;
    EXPECT_GE(reports, 1u);
    EXPECT_LT(reports, 20u);

    const auto &d = rig.daemon();
    EXPECT_NE(d.wait_for_log("OBD2_ERROR : Incorrect bitrate", 1s), std::string::npos);
    EXPECT_EQ(d.count_in_log("Default config restored successfully."), 0u) << "a bad bitrate is not restored";
    EXPECT_EQ(d.count_in_log("SIM_SHELL : sudo ip link"), 0u) << "the interface was brought up at 0 bit/s";

    // Mended without a command: the paced re-read picks it up.
    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
    ASSERT_TRUE(write_text_file(rig.config_dir() + "/config.json", config_with_bitrate(500000)));
    ASSERT_TRUE(rig.skip_until(e2e_status("MODEDETECTED")));
    EXPECT_TRUE(rig.expect_words({"GOTINFO", "GOTPID", "SAVSUC"}));
}
