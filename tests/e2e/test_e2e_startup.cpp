// The daemon's start-up road against the ECU simulator: detection,
// identification with the PID scan, the ECU info file, the heartbeat.
#include "e2e_rig.h"

#include "c_handles.h"
#include "obd2/pid_catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sys/wait.h>
#include <utility>

namespace {

json_ptr read_ecu_info(const e2e_rig &rig)
{
    return json_ptr(cJSON_Parse(read_text_file(rig.ecu_info_path()).c_str()));
}

std::string member_text(const cJSON *object, const char *name)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) ? item->valuestring : "<missing>";
}

int member_number(const cJSON *object, const char *name)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsNumber(item) ? item->valueint : -1;
}

// Whether the profile's ECU answers service 01 for `pid`, asked of a fresh
// engine: the truth the PID scan must have found.
bool vehicle_answers_pid(const ecu_profile &profile, std::uint8_t pid)
{
    ecu_engine engine;
    ecu_engine_reset(engine, profile);
    return ecu_engine_answer(engine, 0, byte_vector{0x01, pid}).has_value();
}

bool requests_went_to(ecu_sim &sim, canid_t id)
{
    auto records = ecu_sim_requests(sim);
    return std::any_of(records.begin(), records.end(),
                       [&](const ecu_sim_record &r) { return r.frame.can_id == id; });
}

} // namespace

TEST(E2eStartup, ReportsEveryMilestoneAndRecordsTheVehicle)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    const ecu_profile vehicle = e2e_vehicle("demo_petrol_11bit.json");
    ASSERT_TRUE(rig.plug_in(vehicle));

    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    EXPECT_NE(rig.daemon().wait_for_log("OBD2_INFO : Detected ECU with 11-bit mode.", E2E_TIMEOUT),
              std::string::npos);

    // The file is written after SAVSUC; the log says when.
    ASSERT_NE(rig.daemon().wait_for_log("OBD2_INFO : ECU info saved to", E2E_TIMEOUT,
                                        rig.daemon().log().find("SAVSUC")),
              std::string::npos);
    json_ptr info = read_ecu_info(rig);
    ASSERT_TRUE(info) << read_text_file(rig.ecu_info_path());
    const cJSON *ecu = cJSON_GetObjectItemCaseSensitive(info.get(), "ECU_INFO");
    EXPECT_EQ(member_text(ecu, "VID"), "ZZZDEM0PETR0L0001");
    EXPECT_EQ(member_text(ecu, "CID"), "DEMOCAL-0001");
    EXPECT_EQ(member_text(ecu, "CVN"), "01A1B2C3D4"); // the item count is part of the text
    EXPECT_EQ(member_text(ecu, "ECUNM"), "ECM-EngineControl");
    EXPECT_EQ(member_text(ecu, "PROTO"), "ISO15765-4 (11-bit)");
    EXPECT_EQ(member_number(ecu, "BR"), 500000);

    const cJSON *live = cJSON_GetObjectItemCaseSensitive(info.get(), "LIVE_PIDS");
    ASSERT_EQ(cJSON_GetArraySize(live), num_pids);
    for (int row = 0; row < num_pids; ++row) {
        EXPECT_EQ(member_number(live, short_keys[row]),
                  vehicle_answers_pid(vehicle, pids[row].pid) ? 1 : 0)
            << short_keys[row];
    }

    // Idle: the heartbeat is answered.
    EXPECT_TRUE(rig.skip_until(e2e_status("ECU")));
}

TEST(E2eStartup, IdentifiesA29BitVehicle)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_29bit.json")));

    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    EXPECT_NE(rig.daemon().wait_for_log("OBD2_INFO : Detected ECU with 29-bit mode.", E2E_TIMEOUT),
              std::string::npos);
    EXPECT_TRUE(requests_went_to(rig.sim(), 0x18DB33F1u | CAN_EFF_FLAG));
    EXPECT_TRUE(requests_went_to(rig.sim(), 0x18DA10F1u | CAN_EFF_FLAG)) << "no flow control";

    ASSERT_NE(rig.daemon().wait_for_log("OBD2_INFO : ECU info saved to", E2E_TIMEOUT,
                                        rig.daemon().log().find("SAVSUC")),
              std::string::npos);
    json_ptr info = read_ecu_info(rig);
    const cJSON *ecu = cJSON_GetObjectItemCaseSensitive(info.get(), "ECU_INFO");
    EXPECT_EQ(member_text(ecu, "VID"), "ZZZDEM029BT000003");
    EXPECT_EQ(member_text(ecu, "PROTO"), "ISO15765-4 (29-bit)");

    // Commands address the 29-bit ECU too.
    ASSERT_TRUE(rig.send_command(1));
    EXPECT_TRUE(rig.skip_until(
        R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0301"],"PNDDTC":["P0301"],"PRMDTC":[]}})"));
}

// ---- a command in the middle of the bring-up --------------------------------------
// The command runs first; the bring-up then goes on where it stopped, so the
// vehicle is still identified and the heartbeat and commands work.

namespace {

constexpr const char *DEMO_CODES =
    R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0420"],"PNDDTC":["P0420","U0100"],"PRMDTC":["P0420"]}})";

// The identification's words come in order, whatever else (the command's
// own answer, heartbeats) comes between them; then a heartbeat is answered
// and CMD 1 returns the ECU's codes.
void expect_bring_up_completed(e2e_rig &rig)
{
    std::vector<std::string> before;
    ASSERT_TRUE(rig.skip_until(e2e_status("SAVSUC"), &before));
    std::vector<std::string> words;
    for (const auto &m : before) {
        const std::string word = e2e_status_word(m);
        if (word == "MODEDETECTED" || word == "GOTINFO" || word == "GOTPID")
            words.push_back(word);
    }
    EXPECT_EQ(words, (std::vector<std::string>{"MODEDETECTED", "GOTINFO", "GOTPID"}));
    ASSERT_TRUE(rig.skip_until(e2e_status("ECU")));
    ASSERT_TRUE(rig.send_command(1));
    EXPECT_TRUE(rig.skip_until(DEMO_CODES));
}

} // namespace

TEST(E2eStartup, CommandWaitingOnTheBrokerAtStartDoesNotStopTheBringUp)
{
    e2e_rig rig;
    // Delivered the moment the daemon subscribes, before its sockets exist.
    ASSERT_TRUE(rig.ui().publish("dt/ui_to_app/cmd", R"({"TYP":1,"CMD":1})", 1, true));
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.ui().publish("dt/ui_to_app/cmd", "", 1, true)); // clears the retained command
    ASSERT_NE(rig.daemon().wait_for_log("[DEBUG] TYP=1, CMD=1", E2E_TIMEOUT), std::string::npos);
    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
    expect_bring_up_completed(rig);
}

TEST(E2eStartup, CommandWhileTheSocketsFailDoesNotStopTheBringUp)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config())); // no simulator: CAN_INIT keeps failing
    ASSERT_NE(rig.daemon().wait_for_log("OBD2_ERROR : INIT CAN SOCKET FAILED -> RETRYING[1]", E2E_TIMEOUT),
              std::string::npos);
    ASSERT_TRUE(rig.send_command(1));
    ASSERT_TRUE(rig.skip_until(e2e_status("COMER", 1, 1)));
    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
    expect_bring_up_completed(rig);
}

namespace {

// A command sent once the ECU has been asked `service` `parameter`, which it
// answers `delay_ms` late so that the pass is still open when the command comes.
void expect_command_during_request_keeps_the_bring_up(std::uint8_t service, std::uint8_t parameter,
                                                      int delay_ms)
{
    ecu_profile vehicle = e2e_vehicle("demo_petrol_11bit.json");
    vehicle.ecus[0].delays.push_back({{service, parameter}, delay_ms});
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    ASSERT_TRUE(rig.plug_in(vehicle));
    ASSERT_TRUE(ecu_sim_wait_for(
        rig.sim(),
        [&](const std::vector<ecu_sim_record> &requests) {
            return std::any_of(requests.begin(), requests.end(), [&](const ecu_sim_record &r) {
                return r.frame.data[1] == service && r.frame.data[2] == parameter;
            });
        },
        E2E_TIMEOUT));
    ASSERT_TRUE(rig.send_command(1));
    expect_bring_up_completed(rig);
}

} // namespace

TEST(E2eStartup, CommandDuringDetectionDoesNotStopTheBringUp)
{
    expect_command_during_request_keeps_the_bring_up(0x01, 0x00, 60); // PID 00
}

TEST(E2eStartup, CommandDuringIdentificationDoesNotStopTheBringUp)
{
    expect_command_during_request_keeps_the_bring_up(0x09, 0x02, 300); // the VIN
}

// Commands with nothing to do before the car is there ("clear codes" pressed
// first, a code without action, a text without "CMD"): each ends at once and
// detection goes on, so the car is found when it is plugged in.
TEST(E2eStartup, CommandsWithNothingToDoBeforeTheCarDoNotStopDetection)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
    rig.set_unplugged(true);
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    const std::string noecu = e2e_status("NOECU", 0, 1);
    ASSERT_TRUE(rig.skip_until(noecu));

    const std::pair<const char *, const char *> commands[] = {
        {R"({"TYP":1,"CMD":4})", "[DEBUG] TYP=1, CMD=4"},
        {R"({"TYP":1,"CMD":5})", "[DEBUG] TYP=1, CMD=5"},
        {R"({"TYP":1})", "[DEBUG] TYP=1, CMD=-1"},
    };
    for (const auto &[command, parsed] : commands) {
        const std::size_t mark = rig.daemon().log_mark();
        ASSERT_TRUE(rig.send(command));
        ASSERT_NE(rig.daemon().wait_for_log(parsed, E2E_TIMEOUT, mark), std::string::npos) << command;
    }
    rig.ui().take_all();
    ASSERT_TRUE(rig.skip_until(noecu)) << "detection stopped";

    rig.set_unplugged(false);
    ASSERT_TRUE(rig.expect_words({"MODEDETECTED", "GOTINFO", "GOTPID", "SAVSUC"}));
    EXPECT_TRUE(rig.skip_until(e2e_status("ECU")));
}

// A thread that cannot be started: the process says which one and leaves
// with status 1 at once, without running its static destructors under the
// threads already started (the hook library reports it if they ran).
TEST(E2eStartup, ThreadThatCannotBeStartedEndsTheProcessWithStatusOne)
{
    const std::pair<int, const char *> refusals[] = {
        {2, "MAIN_ERROR : Failed to create obd2 communication thread: Resource temporarily unavailable"},
        {3, "MAIN_ERROR : Failed to create gpio controlling thread: Resource temporarily unavailable"},
    };
    for (const auto &[refused, message] : refusals) {
        SCOPED_TRACE(message);
        temp_dir dir("diag-e2e-");
        e2e_daemon_options options = e2e_daemon_layout(dir.path(), "tcp://127.0.0.1:1");
        ASSERT_TRUE(e2e_write_config(options.config_dir, e2e_standard_config(), e2e_standard_config()));
        const char *asan_options = std::getenv("ASAN_OPTIONS");
        options.environment = {
            std::string("LD_PRELOAD=") + THREAD_CREATE_FAILURE_LIB,
            "DIAG_TEST_REFUSE_THREAD=" + std::to_string(refused),
            // The hook library is loaded before the sanitizer runtime.
            std::string("ASAN_OPTIONS=") + (asan_options ? asan_options : "") + ":verify_asan_link_order=0",
        };
        e2e_daemon daemon;
        std::string error;
        ASSERT_TRUE(daemon.start(options, error)) << error;
        const std::optional<int> status = daemon.wait_exit(E2E_TIMEOUT);
        ASSERT_TRUE(status) << "still running";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << "wait status " << *status;
        const std::string log = daemon.log();
        EXPECT_NE(log.find(message), std::string::npos) << log;
        EXPECT_NE(log.find("MAIN_ERROR : Error while creating threads --> EXITING FROM MAIN."), std::string::npos)
            << log;
        EXPECT_EQ(log.find("TEST_HOOK : exit handlers ran"), std::string::npos) << log;
    }
}
