// config.json and ecu_info.json on the daemon's disk: killed at random
// moments while it rewrites them, the daemon leaves only whole files of a
// version it was writing, and cleans up after itself when it starts again;
// idle without an ECU, it stops writing once the content has settled.
#include "e2e_rig.h"

#include "c_handles.h"
#include "common/text_file.h"
#include "obd2/config_file.h"
#include "obd2/ecu_info_file.h"
#include "obd2/pid_catalogue.h"
#include "obd2/vehicle_info.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <set>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr int KILL_ROUNDS = 160;
const std::string SAVED = "OBD2_INFO : ECU info saved to";
const std::string BROKEN_CONFIG = R"({ "can_port": { "padding": 170, "BR": 500000 )";
const std::string REJECTED = "config.json.rejected"; // kept whenever the default replaced BROKEN_CONFIG

// A valid default large enough that copying it takes many writes: a restore
// that truncates config.json first and fills it afterwards would be caught
// with a part of it.
std::string large_default(char filler)
{
    std::string config = e2e_standard_config();
    config.insert(config.find('{') + 1, "\n    \"notes\": \"" + std::string(256 * 1024, filler) + "\",");
    return config;
}

// ecu_info.json as the start-up reset writes it, before and after the
// configuration is read: computed here by the same writer, in a folder of
// its own.
std::string placeholder_record(int bitrate)
{
    temp_dir dir("diag-placeholder-");
    scoped_env env("DIAG_GW_CONFIG_DIR", dir.path());
    g_vehicle_info_count = 0;
    g_can_bitrate = bitrate;
    testing::internal::CaptureStdout();
    reset_supported_pid();
    testing::internal::GetCapturedStdout();
    return read_text_file(dir.file("ecu_info.json"));
}

std::set<std::string> folder_entries(const std::string &folder)
{
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// A vehicle that answers every catalogue PID, so that its identification
// spends no time waiting on unanswered ones.
ecu_profile quick_vehicle(const char *file_name)
{
    ecu_profile profile = e2e_vehicle(file_name);
    for (const pid_entry &row : pids)
        profile.ecus.at(0).pids.try_emplace(row.pid, std::vector<byte_vector>{{0x12, 0x34}});
    return profile;
}

bool parses(const std::string &text) { return json_ptr(cJSON_Parse(text.c_str())) != nullptr; }

// Which version of ecu_info.json a text is: its ECU_INFO and the names of
// its LIVE_PIDS members ("" when it is no whole document). The supported
// flags are left out: a PID whose answer comes late on a loaded machine
// changes them, not the version.
std::string record_version(const std::string &text)
{
    json_ptr doc(cJSON_Parse(text.c_str()));
    const cJSON *info = cJSON_GetObjectItemCaseSensitive(doc.get(), "ECU_INFO");
    const cJSON *live = cJSON_GetObjectItemCaseSensitive(doc.get(), "LIVE_PIDS");
    if (!cJSON_IsObject(info) || !cJSON_IsObject(live))
        return "";
    json_text_ptr printed(cJSON_PrintUnformatted(info));
    std::string version = printed ? printed.get() : "";
    const cJSON *member = nullptr;
    cJSON_ArrayForEach(member, live)
    {
        if (!cJSON_IsNumber(member))
            return "";
        version += std::string(" ") + member->string;
    }
    return version;
}

// The daemon, the ECU simulator and a broker, for a daemon that is started
// and killed over and over on the same folder.
class crash_rig {
public:
    crash_rig()
    {
        std::filesystem::create_directories(config_dir() + "/default_config");
        std::string error;
        sim_ = ecu_sim_start_unix(e2e_vehicle("demo_petrol_11bit.json"), dir_.file("can.sock"),
                                  ecu_sim_options{}, error);
        EXPECT_TRUE(sim_) << error;
        watch_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        EXPECT_GE(inotify_add_watch(watch_.get(), config_dir().c_str(), IN_MODIFY | IN_MOVED_TO), 0);
    }

    std::string config_dir() const { return dir_.file("configs"); }
    std::string config_path() const { return config_dir() + "/config.json"; }
    std::string ecu_info_path() const { return config_dir() + "/ecu_info.json"; }
    e2e_daemon &daemon() { return daemon_; }
    void set_vehicle(const ecu_profile &profile) { ecu_sim_set_profile(*sim_, profile); }

    bool prepare(const std::string &config, const std::string &default_config)
    {
        return write_text_file(config_path(), config) &&
               write_text_file(config_dir() + "/default_config/default_config.json", default_config);
    }

    bool start()
    {
        discard_file_events();
        std::string error;
        EXPECT_TRUE(daemon_.start(e2e_daemon_layout(dir_.path(), broker_.uri()), error)) << error;
        return daemon_.running();
    }

    void kill_now()
    {
        kill(daemon_.pid(), SIGKILL);
        daemon_.stop(); // reaps it
    }

    // Waits until the daemon has written to a file of the folder or renamed
    // one into it `count` times, and returns at once after the last one.
    void wait_for_file_events(int count, std::chrono::microseconds timeout)
    {
        const auto deadline = steady::now() + timeout;
        while (count > 0 && steady::now() < deadline) {
            pollfd p{watch_.get(), POLLIN, 0};
            if (poll(&p, 1, 10) <= 0)
                continue;
            alignas(inotify_event) char buffer[4096];
            const ssize_t n = read(watch_.get(), buffer, sizeof buffer);
            for (ssize_t at = 0; at < n && count > 0;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                count -= (event->mask & (IN_MODIFY | IN_MOVED_TO)) != 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    // Runs the daemon until the vehicle is recorded. Returns the file it
    // wrote and how long that took.
    std::pair<std::string, steady::duration> record_vehicle()
    {
        const auto start_time = steady::now();
        if (!start())
            return {};
        const std::size_t identified = daemon_.wait_for_log("\"msg\":\"SAVSUC\"", E2E_TIMEOUT);
        const bool saved = identified != std::string::npos &&
                           daemon_.wait_for_log(SAVED, E2E_TIMEOUT, identified) != std::string::npos;
        const auto took = steady::now() - start_time;
        EXPECT_TRUE(saved) << daemon_.log();
        return {read_text_file(ecu_info_path()), took};
    }

private:
    void discard_file_events()
    {
        alignas(inotify_event) char buffer[4096];
        while (read(watch_.get(), buffer, sizeof buffer) > 0) {
        }
    }

    temp_dir dir_{"diag-crash-"};
    test_broker broker_;
    ecu_sim_ptr sim_;
    e2e_daemon daemon_;
    unique_fd watch_;
};

} // namespace

TEST(E2eFiles, KilledDaemonLeavesWholeFilesAndCleansUpAtRestart)
{
    crash_rig rig;
    const ecu_profile vehicles[2] = {quick_vehicle("demo_petrol_11bit.json"),
                                     quick_vehicle("demo_second_car_11bit.json")};
    const std::string good_config = e2e_standard_config();
    const std::string defaults[2] = {large_default('a'), large_default('b')};

    // What each vehicle's identification writes, and how long it takes.
    std::set<std::string> versions = {record_version(placeholder_record(0)),
                                      record_version(placeholder_record(500000))};
    steady::duration longest{};
    for (const ecu_profile &vehicle : vehicles) {
        rig.set_vehicle(vehicle);
        ASSERT_TRUE(rig.prepare(good_config, defaults[0]));
        auto [record, took] = rig.record_vehicle();
        rig.kill_now();
        ASSERT_TRUE(parses(record));
        versions.insert(record_version(record));
        longest = std::max(longest, took);
    }
    ASSERT_EQ(versions.size(), 4u) << "the vehicles must leave different records";
    std::printf("identification takes up to %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(longest * 5 / 4);
    int temporaries_left = 0;
    for (int round = 0; round < KILL_ROUNDS; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Broken and good configurations alternate; each vehicle gets both.
        const bool broken = round % 2 == 0;
        const std::string &default_config = defaults[(round / 2) % 2];
        const std::string &config = broken ? BROKEN_CONFIG : good_config;
        rig.set_vehicle(vehicles[(round / 2) % 2]);
        ASSERT_TRUE(rig.prepare(config, default_config));
        ASSERT_TRUE(rig.start());
        // Half the kills fall at any moment of the start-up, half right
        // after a write to one of the files (a round may write less often
        // than that: skipped writes).
        if (random() % 2 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(random() % span.count()));
        else
            rig.wait_for_file_events(1 + static_cast<int>(random() % 4), span);
        rig.kill_now();

        const std::string config_left = read_text_file(rig.config_path());
        if (broken)
            EXPECT_TRUE(config_left == config || config_left == default_config)
                << "config.json left with " << config_left.size() << " bytes";
        else
            EXPECT_EQ(config_left, config);
        const std::string record_left = read_text_file(rig.ecu_info_path());
        EXPECT_EQ(versions.count(record_version(record_left)), 1u)
            << "ecu_info.json left as:\n" << record_left;
        const std::set<std::string> entries = folder_entries(rig.config_dir());
        if (entries.count(REJECTED) != 0) {
            EXPECT_EQ(read_text_file(rig.config_dir() + "/" + REJECTED), BROKEN_CONFIG);
        }
        temporaries_left += static_cast<int>(entries.size() - entries.count(REJECTED)) - 3;
        if (testing::Test::HasFailure())
            break;
    }
    std::printf("%d temporary files were left by the kills\n", temporaries_left);

    // Interrupted writes of all three files: their temporary files go at the
    // next start, whatever the daemon then writes.
    std::set<std::string> expected{"config.json", "default_config", "ecu_info.json"};
    if (folder_entries(rig.config_dir()).count(REJECTED) != 0)
        expected.insert(REJECTED);
    ASSERT_TRUE(write_text_file(replacement_temp_path(rig.config_path().c_str()), "{ \"can_p"));
    ASSERT_TRUE(write_text_file(replacement_temp_path((rig.config_dir() + "/" + REJECTED).c_str()), "{ \"can"));
    ASSERT_TRUE(write_text_file(replacement_temp_path(rig.ecu_info_path().c_str()), "{\n\t\"ECU_INFO\""));
    rig.set_vehicle(vehicles[0]);
    ASSERT_TRUE(rig.prepare(good_config, defaults[0]));
    auto [record, took] = rig.record_vehicle();
    EXPECT_EQ(versions.count(record_version(record)), 1u);
    EXPECT_EQ(folder_entries(rig.config_dir()), expected);
    rig.daemon().stop();
}

TEST(E2eFiles, IdleDaemonWithoutEcuStopsWritingOnceSettled)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.plug_in(e2e_vehicle("demo_petrol_11bit.json")));
    rig.set_unplugged(true);
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    const e2e_daemon &d = rig.daemon();
    // Written at the thread's start without a bitrate, then on every
    // unanswered detection with the configured one: settled from the first
    // of those on.
    std::size_t at = d.wait_for_log("=== CAN Config ===", E2E_TIMEOUT);
    ASSERT_NE(at, std::string::npos);
    at = d.wait_for_log(SAVED, E2E_TIMEOUT, at);
    ASSERT_NE(at, std::string::npos);
    const std::string settled = read_text_file(rig.ecu_info_path());
    EXPECT_EQ(settled, placeholder_record(500000));

    // Times far in the past: any write would move them.
    const timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, rig.ecu_info_path().c_str(), old_times, 0), 0);
    struct stat before {};
    ASSERT_EQ(stat(rig.ecu_info_path().c_str(), &before), 0);
    for (int pass = 0; pass < 3; ++pass) {
        at = d.wait_for_log(SAVED, E2E_TIMEOUT, at);
        ASSERT_NE(at, std::string::npos) << "detection pass " << pass;
    }
    struct stat after {};
    ASSERT_EQ(stat(rig.ecu_info_path().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << "rewritten with the same content";
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(read_text_file(rig.ecu_info_path()), settled);
}
