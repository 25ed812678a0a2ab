// The simulator serving the host simulation's Unix socket, seen through bare
// wire records, and the ecu-sim program with its runtime controls.
#include "ecu_sim.h"
#include "sim_frames.h"
#include "sim_raw_client.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <linux/can/error.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace std::chrono_literals;

namespace {

constexpr auto WAIT = 10s;

std::string vehicle(const char *name) { return std::string(DIAG_SOURCE_DIR) + "/configs/vehicles/" + name; }

ecu_profile load_vehicle(const char *name)
{
    ecu_profile profile;
    std::string error;
    EXPECT_TRUE(ecu_profile_from_file(vehicle(name), profile, error)) << error;
    return profile;
}

const can_frame RPM_REQUEST = frame(0x7DF, {0x02, 0x01, 0x0C, 0x55, 0x55, 0x55, 0x55, 0x55});
const can_frame COOLANT_REQUEST = frame(0x7DF, {0x02, 0x01, 0x05, 0x55, 0x55, 0x55, 0x55, 0x55});
const can_frame VIN_REQUEST = frame(0x7DF, {0x02, 0x09, 0x02, 0x55, 0x55, 0x55, 0x55, 0x55});
const can_frame IGNORED_FRAME = frame(0x123, {0x00});

struct UnixSim : ::testing::Test {
    temp_dir dir{"ecu-sim-test-"};
    std::string path = dir.file("can.sock");
    ecu_sim_ptr sim;

    void SetUp() override
    {
        std::string error;
        sim = ecu_sim_start_unix(load_vehicle("demo_petrol_11bit.json"), path, ecu_sim_options{}, error);
        ASSERT_TRUE(sim) << error;
    }

    // A client whose filter records are known to be in force.
    std::unique_ptr<sim_raw_client> client(canid_t id, canid_t mask, can_err_mask_t err_mask = 0)
    {
        auto c = std::make_unique<sim_raw_client>(path);
        EXPECT_TRUE(c->connected());
        std::size_t before = ecu_sim_requests(*sim).size();
        c->set_filter(id, mask);
        c->set_err_mask(err_mask);
        c->send_frame(IGNORED_FRAME); // records are read in order: once this is logged, the filter holds
        EXPECT_TRUE(ecu_sim_wait_for_requests(*sim, before + 1, WAIT));
        return c;
    }
};

TEST_F(UnixSim, AnswersARawClient)
{
    auto tester = client(0x7E8, 0x7F8);
    ASSERT_TRUE(tester->send_frame(RPM_REQUEST));
    auto answer = tester->receive(WAIT);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->can_id, 0x7E8u);
    EXPECT_EQ(data_of(*answer), (bytes{0x04, 0x41, 0x0C, 0x0C, 0xD0, 0x55, 0x55, 0x55}));
}

TEST_F(UnixSim, SendsVinAfterFlowControl)
{
    auto tester = client(0x7E8, 0x7F8);
    tester->send_frame(VIN_REQUEST);
    auto first = tester->receive(WAIT);
    ASSERT_TRUE(first);
    EXPECT_EQ(data_of(*first), (bytes{0x10, 0x14, 0x49, 0x02, 0x01, 'Z', 'Z', 'Z'}));
    tester->send_frame(frame(0x7E0, {0x30, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}));
    auto second = tester->receive(WAIT);
    auto third = tester->receive(WAIT);
    ASSERT_TRUE(second && third);
    EXPECT_EQ(data_of(*second), (bytes{0x21, 'D', 'E', 'M', '0', 'P', 'E', 'T'}));
    EXPECT_EQ(data_of(*third), (bytes{0x22, 'R', '0', 'L', '0', '0', '0', '1'}));
}

TEST_F(UnixSim, DeliversByFilterAndErrorMask)
{
    auto eleven = client(0x7E8, 0x7F8, CAN_ERR_TX_TIMEOUT);
    auto twenty_nine = client(0x18DAF110, 0x1FFFFFFF);
    can_frame error_frame = frame(CAN_ERR_FLAG | CAN_ERR_TX_TIMEOUT, {0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(ecu_sim_inject_frame(*sim, error_frame));
    EXPECT_TRUE(ecu_sim_inject_frame(*sim, frame(0x7E9, {0x01, 0x44})));
    EXPECT_FALSE(ecu_sim_inject_frame(*sim, frame(0x7F0, {0x01, 0x44})));
    EXPECT_TRUE(ecu_sim_inject_frame(*sim, frame(0x18DAF110 | CAN_EFF_FLAG, {0x01, 0x44})));
    EXPECT_TRUE(ecu_sim_inject_frame(*sim, frame(0x7F0, {0x01, 0x45}), true));

    auto got = eleven->receive(WAIT);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->can_id, CAN_ERR_FLAG | CAN_ERR_TX_TIMEOUT);
    got = eleven->receive(WAIT);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->can_id, 0x7E9u);
    got = eleven->receive(WAIT); // the 29-bit frame and the filtered 0x7F0 never came
    ASSERT_TRUE(got);
    EXPECT_EQ(got->can_id, 0x7F0u);
    EXPECT_EQ(got->data[1], 0x45);

    got = twenty_nine->receive(WAIT);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->can_id, 0x18DAF110u | CAN_EFF_FLAG);
}

TEST_F(UnixSim, PassesHostileRecordsThrough)
{
    auto tester = client(0, 0);
    can_frame oversized = frame(0x7E8, {0x02, 0x41, 0x00, 0, 0, 0, 0, 0});
    oversized.len = 15;
    EXPECT_TRUE(ecu_sim_inject_frame(*sim, oversized));
    const std::uint8_t odd[5] = {1, 2, 3, 4, 5};
    EXPECT_TRUE(ecu_sim_inject_record(*sim, odd, sizeof(odd)));
    auto got = tester->receive(WAIT);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->len, 15);
    EXPECT_FALSE(tester->receive(WAIT));
    EXPECT_EQ(tester->last_record_size(), 5u);
}

TEST_F(UnixSim, UnpluggedStaysSilentButLogs)
{
    auto tester = client(0x7E8, 0x7F8);
    ecu_sim_set_connected(*sim, false);
    EXPECT_FALSE(ecu_sim_is_connected(*sim));
    tester->send_frame(RPM_REQUEST);
    ASSERT_TRUE(ecu_sim_wait_for(*sim, [](const std::vector<ecu_sim_record> &log) {
        return !log.empty() && log.back().frame.data[2] == 0x0C;
    }, WAIT));
    ecu_sim_set_connected(*sim, true);
    tester->send_frame(COOLANT_REQUEST);
    auto answer = tester->receive(WAIT);
    ASSERT_TRUE(answer); // the first answer is the one to the second request
    EXPECT_EQ(answer->data[2], 0x05);
}

TEST_F(UnixSim, ClearThroughTheSocketEmptiesStoredCodes)
{
    auto tester = client(0x7E8, 0x7F8);
    const can_frame clear = frame(0x7DF, {0x01, 0x04, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55});
    for (std::uint8_t expected : {0x7F, 0x7F, 0x44}) {
        tester->send_frame(clear);
        auto answer = tester->receive(WAIT);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->data[1], expected);
    }
    EXPECT_TRUE(ecu_sim_profile(*sim).ecus[0].stored_dtcs.empty());
    EXPECT_FALSE(ecu_sim_profile(*sim).ecus[0].permanent_dtcs.empty());
}

TEST_F(UnixSim, AnotherVehicleTakesOverAtOnce)
{
    auto tester = client(0x7E8, 0x7F8);
    ecu_sim_set_profile(*sim, load_vehicle("demo_second_car_11bit.json"));
    EXPECT_EQ(ecu_sim_profile(*sim).name, "Demo second car");
    tester->send_frame(RPM_REQUEST);
    auto answer = tester->receive(WAIT);
    ASSERT_TRUE(answer);
    EXPECT_EQ(data_of(*answer), (bytes{0x04, 0x41, 0x0C, 0x0B, 0xB8, 0xAA, 0xAA, 0xAA}));
}

TEST_F(UnixSim, LogsEveryTesterFrameInOrder)
{
    auto tester = client(0x7E8, 0x7F8);
    ecu_sim_clear_log(*sim);
    tester->send_frame(RPM_REQUEST);
    tester->send_frame(COOLANT_REQUEST);
    ASSERT_TRUE(ecu_sim_wait_for_requests(*sim, 2, WAIT));
    auto requests = ecu_sim_requests(*sim);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].frame.data[2], 0x0C);
    EXPECT_EQ(requests[1].frame.data[2], 0x05);
    EXPECT_LE(requests[0].time, requests[1].time);
    ASSERT_TRUE(tester->receive(WAIT) && tester->receive(WAIT));
    auto bus = ecu_sim_bus_log(*sim);
    EXPECT_EQ(std::count_if(bus.begin(), bus.end(), [](const ecu_sim_record &r) { return !r.from_tester; }), 2);
}

TEST_F(UnixSim, SlowClientDoesNotHoldUpTheBus)
{
    sim_raw_client sleepy(path); // default filter: everything; never reads
    ASSERT_TRUE(sleepy.connected());
    ASSERT_TRUE(ecu_sim_wait_for_clients(*sim, 1, WAIT));
    auto tester = client(0x7E8, 0x7FF);
    int dropped = 0;
    for (int i = 0; i < 20000; ++i)
        if (!ecu_sim_inject_frame(*sim, frame(0x100, {0x00})))
            ++dropped;
    EXPECT_GT(dropped, 0);
    tester->send_frame(RPM_REQUEST);
    EXPECT_TRUE(tester->receive(WAIT));
}

TEST_F(UnixSim, ClientsComeAndGo)
{
    {
        sim_raw_client first(path);
        sim_raw_client second(path);
        ASSERT_TRUE(ecu_sim_wait_for_clients(*sim, 2, WAIT));
    }
    auto tester = client(0x7E8, 0x7F8);
    tester->send_frame(RPM_REQUEST);
    EXPECT_TRUE(tester->receive(WAIT));
    EXPECT_EQ(ecu_sim_client_count(*sim), 1u);
}

TEST(UnixSimSocketFile, ReplacesStaleSocketAndRemovesItOnStop)
{
    temp_dir dir{"ecu-sim-test-"};
    std::string path = dir.file("can.sock");
    {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
        close(fd); // leaves the file behind, as a crashed run would
    }
    std::string error;
    ecu_sim_ptr sim = ecu_sim_start_unix(load_vehicle("demo_29bit.json"), path, {}, error);
    ASSERT_TRUE(sim) << error;
    EXPECT_FALSE(ecu_sim_start_unix(load_vehicle("demo_29bit.json"), path, {}, error));
    EXPECT_NE(error.find("another simulator"), std::string::npos) << error;
    sim.reset();
    EXPECT_FALSE(file_exists(path));

    ASSERT_TRUE(write_text_file(path, "not a socket"));
    EXPECT_FALSE(ecu_sim_start_unix(load_vehicle("demo_29bit.json"), path, {}, error));
    EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
    EXPECT_TRUE(file_exists(path));
}

// ---- the ecu-sim program -----------------------------------------------------------------

struct sim_process {
    pid_t pid = -1;
    int out = -1;  // its standard output
    int in = -1;   // its standard input
    std::string seen;

    bool start(const std::vector<std::string> &args)
    {
        int out_pipe[2], in_pipe[2];
        if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
        std::vector<char *> argv{const_cast<char *>(ECU_SIM_BIN)};
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid, ECU_SIM_BIN, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out_pipe[1]);
        close(in_pipe[0]);
        out = out_pipe[0];
        in = in_pipe[1];
        return rc == 0;
    }

    // Reads its output until `text` appears (anywhere after what was seen).
    bool wait_for(const std::string &text)
    {
        auto deadline = std::chrono::steady_clock::now() + WAIT;
        while (seen.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd pfd{out, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char buffer[512];
            ssize_t n = read(out, buffer, sizeof(buffer));
            if (n <= 0)
                return false;
            seen.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }

    int finish()
    {
        int status = -1;
        if (pid > 0 && waitpid(pid, &status, 0) == pid)
            pid = -1;
        return status;
    }

    ~sim_process()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
        if (in >= 0)
            close(in);
    }
};

TEST(EcuSimProgram, ServesLogsAndObeysSignalsAndCommands)
{
    temp_dir dir{"ecu-sim-test-"};
    std::string path = dir.file("can.sock");
    sim_process process;
    ASSERT_TRUE(process.start({"--profile", vehicle("demo_petrol_11bit.json"), "--unix", path}));
    ASSERT_TRUE(process.wait_for("serving \"Demo petrol car\"")) << process.seen;

    sim_raw_client tester(path);
    ASSERT_TRUE(tester.connected());
    tester.set_filter(0x7E8, 0x7F8);
    tester.send_frame(RPM_REQUEST);
    ASSERT_TRUE(tester.receive(WAIT));
    EXPECT_TRUE(process.wait_for("ecu-sim: rx 7DF [8] 02 01 0C 55 55 55 55 55 -> 01 0C ENGRPM\n")) << process.seen;

    kill(process.pid, SIGUSR1);
    ASSERT_TRUE(process.wait_for("ecu-sim: unplugged\n")) << process.seen;
    tester.send_frame(COOLANT_REQUEST);
    ASSERT_TRUE(process.wait_for("01 05 COLTMP (unplugged)\n")) << process.seen;
    kill(process.pid, SIGUSR2);
    ASSERT_TRUE(process.wait_for("ecu-sim: plugged in\n")) << process.seen;

    std::string command = "profile " + vehicle("demo_second_car_11bit.json") + "\n";
    ASSERT_EQ(write(process.in, command.data(), command.size()), static_cast<ssize_t>(command.size()));
    ASSERT_TRUE(process.wait_for("profile \"Demo second car\" in use")) << process.seen;
    tester.send_frame(RPM_REQUEST);
    auto answer = tester.receive(WAIT);
    ASSERT_TRUE(answer); // the answer to the unplugged request never came
    EXPECT_EQ(data_of(*answer), (bytes{0x04, 0x41, 0x0C, 0x0B, 0xB8, 0xAA, 0xAA, 0xAA}));

    kill(process.pid, SIGTERM);
    int status = process.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(file_exists(path));
}

TEST(EcuSimProgram, RejectsBadArgumentsAndProfiles)
{
    temp_dir dir{"ecu-sim-test-"};
    sim_process help;
    ASSERT_TRUE(help.start({"--help"}));
    EXPECT_TRUE(help.wait_for("Usage:"));
    int status = help.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    sim_process missing;
    ASSERT_TRUE(missing.start({"--profile", vehicle("demo_29bit.json")}));
    status = missing.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);

    ASSERT_TRUE(write_text_file(dir.file("bad.json"), R"({"pids": {"0C": "xyz"}})"));
    sim_process bad;
    ASSERT_TRUE(bad.start({"--profile", dir.file("bad.json"), "--unix", dir.file("can.sock")}));
    status = bad.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_FALSE(file_exists(dir.file("can.sock")));
}

} // namespace
