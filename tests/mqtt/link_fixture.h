// Shared by the MQTT link tests: a private broker per test, the link driven
// pass by pass from the test thread, stdout capture, and a clean slate for
// the process-wide link, mailbox and state cells before and after each test.
#pragma once

#include "broker.h"
#include "mqtt_test_client.h"
#include "temp_dir.h"

#include "handover/relay_mailbox.h"
#include "handover/thread_handover.h"
#include "mqtt/command_routing.h"
#include "mqtt/mqtt_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

inline constexpr const char *RESP_TOPIC = "dt/app_to_ui/resp";
inline constexpr const char *CMD_TOPIC = "dt/ui_to_app/cmd";

// Polls `condition` until it holds or `timeout` passes.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = MQTT_TEST_TIMEOUT)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Captures everything written to stdout (any thread) until text() is called.
class stdout_capture {
public:
    stdout_capture() { testing::internal::CaptureStdout(); }
    ~stdout_capture() { text(); }
    stdout_capture(const stdout_capture &) = delete;
    stdout_capture &operator=(const stdout_capture &) = delete;

    const std::string &text()
    {
        if (active_) {
            text_ = testing::internal::GetCapturedStdout();
            active_ = false;
        }
        return text_;
    }

private:
    bool active_ = true;
    std::string text_;
};

inline std::size_t count_of(const std::string &haystack, const std::string &needle)
{
    std::size_t n = 0;
    for (auto pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size()))
        ++n;
    return n;
}

inline std::string mailbox_text()
{
    std::lock_guard lock(obd_state_mutex);
    return std::string(g_can_cmd);
}

inline void reset_routing_state()
{
    {
        std::lock_guard lock(obd_state_mutex);
        std::memset(g_can_cmd, 0, sizeof g_can_cmd);
    }
    change_obd2_thrd_state(0);
    change_gpio_state(DO_IDLE);
    relay_mailbox_clear();
}

// Runs link passes until the state is `target`; never runs a connected pass
// (it would sleep). False when `target` was not reached in `max_passes`.
inline bool drive_link_until(int target, int max_passes = 30)
{
    for (int i = 0; i < max_passes; ++i) {
        const int state = mqtt_get_state();
        if (state == target)
            return true;
        if (state == MQTT_CONNECTED)
            return false;
        mqtt_link_pass();
    }
    return mqtt_get_state() == target;
}

class MqttLinkFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(broker_.running());
        env_ = std::make_unique<scoped_env>("DIAG_GW_BROKER", broker_.uri());
        reset_link();
        reset_routing_state();
    }

    void TearDown() override
    {
        reset_link();
        reset_routing_state();
    }

    static void reset_link()
    {
        stdout_capture quiet; // the tear-down chatter is not the test's business
        MQTT_Disconnect();
        mqtt_link_begin();
    }

    // Brings the link from its start to MQTT_CONNECTED.
    static bool connect_link() { return drive_link_until(MQTT_CONNECTED); }

    test_broker broker_;
    std::unique_ptr<scoped_env> env_;
};
