// The daemon keeps its CAN interface up: an interface set down under it, or a
// controller reporting bus-off, gets the bring-up sequence again, paced, and
// the heartbeat is answered afterwards. A bring-up that keeps failing is
// tried less and less often, and logged once per reason.
//
// The daemon's MQTT and OBD threads run in this process (not as a child, as
// in the other end-to-end tests), so that the host simulation's seam hooks
// reach them: the simulated can0 is set down as another tool would, and the
// shell commands the daemon runs are observed with their times.
#include "e2e_rig.h"

#include "handover/thread_handover.h"
#include "mqtt/mqtt_link.h"
#include "obd2/session.h"
#include "platform/hostsim_hooks.h"

#include <gtest/gtest.h>

#include <linux/can/error.h>

#include <chrono>
#include <functional>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

const std::vector<std::string> BRING_UP = {"sudo ip link set can0 down",
                                           "sudo ip link set can0 up type can bitrate 500000",
                                           "sudo ip link set can0 up"};

struct shell_command {
    steady::time_point at;
    std::string text;
};

// Every shell command the daemon runs, with its time.
class shell_log {
public:
    shell_log()
    {
        hostsim_set_shell_observer([this](const char *command) {
            std::lock_guard lock(mutex_);
            commands_.push_back({steady::now(), command});
            if (keep_down_ > 0 && command == BRING_UP.back()) {
                --keep_down_;
                hostsim_set_interface_up(false); // this bring-up did not take
            }
        });
    }
    ~shell_log() { hostsim_set_shell_observer(nullptr); }
    shell_log(const shell_log &) = delete;
    shell_log &operator=(const shell_log &) = delete;

    std::vector<shell_command> commands() const
    {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    // The next `n` bring-ups leave the interface down.
    void refuse_bring_ups(int n)
    {
        std::lock_guard lock(mutex_);
        keep_down_ = n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<shell_command> commands_;
    int keep_down_ = 0;
};

template <class Condition>
bool eventually(Condition condition)
{
    const auto deadline = steady::now() + E2E_TIMEOUT;
    while (!condition()) {
        if (steady::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::size_t count_of(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The start times of the bring-ups among `commands` from index `from` on; a
// failure when anything else was run or a sequence is incomplete.
testing::AssertionResult bring_ups(const std::vector<shell_command> &commands, std::size_t from,
                                   std::vector<steady::time_point> &starts)
{
    starts.clear();
    for (std::size_t i = from; i < commands.size(); i += BRING_UP.size()) {
        for (std::size_t k = 0; k < BRING_UP.size(); ++k) {
            if (i + k >= commands.size())
                return testing::AssertionFailure() << "incomplete bring-up at command " << i;
            if (commands[i + k].text != BRING_UP[k])
                return testing::AssertionFailure() << "command " << i + k << ": " << commands[i + k].text;
        }
        starts.push_back(commands[i].at);
    }
    return testing::AssertionSuccess();
}

// The daemon's log (this process's stdout) while it runs. Failure messages
// printed meanwhile land in it too: a failed test prints it whole.
class captured_log {
public:
    captured_log() { testing::internal::CaptureStdout(); }
    ~captured_log()
    {
        if (active_ && testing::Test::HasFailure()) {
            const std::string log = testing::internal::GetCapturedStdout();
            std::fwrite(log.data(), 1, log.size(), stderr); // whole, even past a stray NUL
        }
        else if (active_)
            testing::internal::GetCapturedStdout();
    }
    captured_log(const captured_log &) = delete;
    captured_log &operator=(const captured_log &) = delete;

    std::string take()
    {
        active_ = false;
        std::string log = testing::internal::GetCapturedStdout();
        if (testing::Test::HasFailure())
            std::fwrite(log.data(), 1, log.size(), stderr);
        return log;
    }

private:
    bool active_ = true;
};

// The daemon's link and OBD threads in this process, on a private broker,
// config folder and simulator socket.
class in_process_daemon {
public:
    in_process_daemon()
        : config_env_("DIAG_GW_CONFIG_DIR", dir_.file("configs")),
          socket_env_("DIAG_GW_CAN_SOCKET", dir_.file("can.sock")),
          broker_env_("DIAG_GW_BROKER", broker_.uri())
    {
    }
    ~in_process_daemon() { stop(); }

    bool start(const ecu_profile &vehicle)
    {
        std::string error;
        sim_ = ecu_sim_start_unix(vehicle, dir_.file("can.sock"), {}, error);
        if (!sim_ || !e2e_write_config(dir_.file("configs"), e2e_standard_config(), e2e_standard_config()) ||
            !ui_.connect() || !ui_.subscribe("dt/app_to_ui/resp"))
            return false;
        link_ = std::thread([] { proto_intrnl_mqtt_main(nullptr); });
        obd_ = std::thread([] { obd2_com_thrd_main(nullptr); });
        return true;
    }

    void stop()
    {
        if (!obd_.joinable())
            return;
        request_shutdown();
        obd_.join();
        mqtt_link_wake();
        link_.join();
    }

    ecu_sim &sim() { return *sim_; }
    void take_messages() { ui_.take_all(); }
    bool send_command(int cmd) { return ui_.publish("dt/ui_to_app/cmd", "{\"TYP\":1,\"CMD\":" + std::to_string(cmd) + "}"); }

    // Takes messages in arrival order up to the first whose status word is
    // one of `words` and returns that word; "" when none comes.
    std::string next_word(std::initializer_list<const char *> words)
    {
        const auto deadline = steady::now() + E2E_TIMEOUT;
        while (steady::now() < deadline) {
            auto message = ui_.wait_for([](const mqtt_test_message &) { return true; },
                                        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()));
            if (!message)
                break;
            const std::string word = e2e_status_word(message->payload);
            for (const char *w : words)
                if (word == w)
                    return word;
        }
        return "";
    }

private:
    temp_dir dir_{"diag-canlink-e2e-"};
    test_broker broker_;
    scoped_env config_env_, socket_env_, broker_env_;
    mqtt_test_client ui_{broker_.uri()};
    ecu_sim_ptr sim_;
    std::thread link_, obd_;
};

TEST(E2eCanLink, InterfaceDownOrBusOffIsBroughtUpAgainPaced)
{
    shell_log shell;
    captured_log daemon_log;
    in_process_daemon daemon;
    ASSERT_TRUE(daemon.start(e2e_vehicle("demo_petrol_11bit.json")));
    ASSERT_EQ(daemon.next_word({"SAVSUC"}), "SAVSUC");
    ASSERT_EQ(daemon.next_word({"ECU", "NOECU"}), "ECU");
    std::vector<steady::time_point> starts;
    ASSERT_TRUE(bring_ups(shell.commands(), 0, starts));
    ASSERT_EQ(starts.size(), 1u); // the start-up's

    // can0 set down under the daemon; it does not come up at the first two
    // tries, the third one takes.
    std::size_t mark = shell.commands().size();
    shell.refuse_bring_ups(2);
    hostsim_set_interface_up(false);
    ASSERT_TRUE(eventually([&] { return shell.commands().size() >= mark + 3 * BRING_UP.size(); }));
    std::this_thread::sleep_for(500ms); // what was published before it has arrived
    daemon.take_messages();
    EXPECT_EQ(daemon.next_word({"ECU", "NOECU"}), "ECU");
    ASSERT_TRUE(bring_ups(shell.commands(), mark, starts));
    ASSERT_EQ(starts.size(), 3u) << "no further bring-up once it is up";
    for (std::size_t i = 1; i < starts.size(); ++i)
        EXPECT_GE(starts[i] - starts[i - 1], 2s) << "bring-up " << i;

    // A controller gone bus-off: one bring-up, and the heartbeat goes on.
    mark = shell.commands().size();
    can_frame bus_off{};
    bus_off.can_id = CAN_ERR_FLAG | CAN_ERR_BUSOFF;
    bus_off.len = CAN_ERR_DLC;
    ASSERT_TRUE(ecu_sim_inject_frame(daemon.sim(), bus_off)) << "the error mask must pass bus-off";
    EXPECT_EQ(daemon.next_word({"ECU", "NOECU"}), "ECU"); // the bus-off is read by this exchange
    EXPECT_EQ(daemon.next_word({"ECU", "NOECU"}), "ECU");
    EXPECT_EQ(daemon.next_word({"ECU", "NOECU"}), "ECU");
    ASSERT_TRUE(bring_ups(shell.commands(), mark, starts));
    EXPECT_EQ(starts.size(), 1u);

    daemon.stop();
    const std::string log = daemon_log.take();
    EXPECT_EQ(count_of(log, "OBD2_INFO : CAN link lost"), 2u) << "one line per loss, not per bring-up";
    EXPECT_NE(log.find("OBD2_INFO : CAN link lost (interface down): bringing can0 up again at 500000 bit/s"),
              std::string::npos);
    EXPECT_NE(log.find("OBD2_INFO : CAN link lost (controller bus-off)"), std::string::npos);
    EXPECT_EQ(count_of(log, "OBD2_ERROR : CAN link bring-up failed: can0 still down after the bring-up;"), 1u)
        << "the same reason twice is logged once";
    EXPECT_EQ(count_of(log, "OBD2_INFO : CAN link can0 up again at 500000 bit/s"), 2u);
}

// A shell whose commands fail, one bring-up after another, as `refusal`
// says (a status as system() returns it, 0 to let the command through).
class refusing_shell {
public:
    explicit refusing_shell(std::function<int(int bring_up, const char *command)> refusal)
    {
        hostsim_set_shell_status([this, refusal](const char *command) {
            if (command == BRING_UP[0])
                ++bring_ups_;
            return refusal(bring_ups_, command);
        });
    }
    ~refusing_shell() { hostsim_set_shell_status(nullptr); }
    refusing_shell(const refusing_shell &) = delete;
    refusing_shell &operator=(const refusing_shell &) = delete;

private:
    int bring_ups_ = 0; // under the shell seam's own lock
};

// sudo refuses the start-up's bring-up (a missing sudoers drop-in), then the
// controller refuses the bitrate and the plain "up", then all goes through. The tries back off
// (at 0, 2, 6 and 14 s; in 60 s there would be five: 0, 2, 6, 14, 30), a
// command meanwhile is answered as with no ECU, the UI hears NOECU, and the
// log has one line per reason and one when the link is up.
TEST(E2eCanLink, RefusedBringUpBacksOffUntilItGoesThrough)
{
    refusing_shell refusing([](int bring_up, const char *command) {
        if (bring_up <= 2)
            return 256; // sudo: exit status 1
        return bring_up == 3 && command != BRING_UP[0] ? 512 : 0; // the bitrate and the plain "up"
    });
    shell_log shell;
    captured_log daemon_log;
    in_process_daemon daemon;
    ASSERT_TRUE(daemon.start(e2e_vehicle("demo_petrol_11bit.json")));
    ASSERT_EQ(daemon.next_word({"NOECU", "SAVSUC"}), "NOECU");
    ASSERT_TRUE(daemon.send_command(1));
    EXPECT_EQ(daemon.next_word({"COMER", "SAVSUC"}), "COMER");
    ASSERT_EQ(daemon.next_word({"SAVSUC"}), "SAVSUC");

    const std::vector<shell_command> commands = shell.commands();
    std::vector<std::string> texts;
    std::vector<steady::time_point> starts;
    for (const shell_command &c : commands) {
        texts.push_back(c.text);
        if (c.text == BRING_UP[0])
            starts.push_back(c.at);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{BRING_UP[0], BRING_UP[0], BRING_UP[0], BRING_UP[1], BRING_UP[2],
                                               BRING_UP[0], BRING_UP[1], BRING_UP[2]}));
    ASSERT_EQ(starts.size(), 4u); // the pause counts from the end of a try
    EXPECT_GE(starts[1] - starts[0], 2s);
    EXPECT_GE(starts[2] - starts[1], 4s);
    EXPECT_GE(starts[3] - starts[2], 8s);

    daemon.stop();
    const std::string log = daemon_log.take();
    EXPECT_EQ(count_of(log, "OBD2_ERROR : CAN link bring-up failed:"), 2u);
    EXPECT_NE(log.find("OBD2_ERROR : CAN link bring-up failed: \"sudo ip link set can0 down\" exited with 1; "
                       "next try in 2 s"),
              std::string::npos);
    EXPECT_NE(log.find("OBD2_ERROR : CAN link bring-up failed: \"sudo ip link set can0 up type can bitrate "
                       "500000\" exited with 2; next try in 8 s"),
              std::string::npos);
    EXPECT_EQ(count_of(log, "OBD2_INFO : CAN link can0 up again at 500000 bit/s after 3 failed bring-up(s)"), 1u);
    EXPECT_EQ(count_of(log, "OBD2_INFO : CAN link lost"), 0u);
}

} // namespace
