// Shared by the relay tests: the board wiring written out independently of
// the driver's tables, and a reset to power-on between tests.
#pragma once

#include "gpio/relay_driver.h"
#include "handover/relay_mailbox.h"
#include "handover/thread_handover.h"
#include "gpio/relay_thread.h"
#include "platform/gpiod_sim.h"

#include <array>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>

struct relay_line {
    int chip;
    unsigned int line;
};

// Relay number -> GPIO chip and line.
constexpr std::array<relay_line, NUM_RELAYS> relay_wiring{{
    {4, 10}, {4, 11}, {3, 31}, {4, 0}, {3, 27}, {3, 26},
    {4, 14}, {3, 25}, {4, 13}, {0, 20}, {0, 21}, {0, 13},
}};

constexpr auto EVENT_TIMEOUT = std::chrono::seconds(10);

// Polls `done` until it holds or EVENT_TIMEOUT passes; true when it held.
template <class Predicate>
bool wait_for(Predicate done)
{
    const auto deadline = std::chrono::steady_clock::now() + EVENT_TIMEOUT;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// {"TYP":2,"DATA":{"params":{"DO":{<do_members>}}}}
inline std::string relay_packet_text(const std::string &do_members)
{
    return R"({"TYP":2,"DATA":{"params":{"DO":{)" + do_members + "}}}}";
}

inline std::string consumer_of_chip(int chip)
{
    return "do_ctrl_chip" + std::to_string(chip);
}

inline int relay_level(int relay)
{
    return gpiod_sim_line_value(relay_wiring[relay].chip, relay_wiring[relay].line);
}

// Level expected on a relay's line: low-active, so on (1) is low.
inline int level_for_state(int state) { return state ? 0 : 1; }

// Waits until the relay's line shows `state` (1 on = low).
inline bool wait_relay(int relay, int state)
{
    return gpiod_sim_wait_line_value(relay_wiring[relay].chip, relay_wiring[relay].line,
                                     level_for_state(state), EVENT_TIMEOUT);
}

inline void expect_levels(const std::array<int, NUM_RELAYS> &states)
{
    for (int relay = 0; relay < NUM_RELAYS; ++relay)
        EXPECT_EQ(relay_level(relay), level_for_state(states[relay])) << "relay " << relay;
}

inline void reset_relay_outputs()
{
    gpio_close();
    gpiod_sim_reset();
    relay_mailbox_clear();
    for (int &state : g_arr_do_states)
        state = 0;
    change_gpio_state(DO_INIT);
}

// Runs gpio_state_machine on its own thread; stops it with DO_CLOSE.
class relay_thread_runner {
public:
    relay_thread_runner()
    {
        // A DO_CLOSE stored before the thread's own start-up store of DO_INIT
        // would be lost; wait until the thread has made that store.
        change_gpio_state(-1);
        thread_ = std::thread([] { gpio_state_machine(nullptr); });
        EXPECT_TRUE(wait_for([] { return g_gpio_state.load() != -1; }));
    }
    ~relay_thread_runner() { stop(); }
    relay_thread_runner(const relay_thread_runner &) = delete;
    relay_thread_runner &operator=(const relay_thread_runner &) = delete;

    void stop()
    {
        if (!thread_.joinable())
            return;
        change_gpio_state(DO_CLOSE);
        thread_.join();
    }

private:
    std::thread thread_;
};

inline bool wait_initialised()
{
    return wait_for([] { return gpiod_sim_active_request_count() == 3; }) &&
           wait_for([] { return g_gpio_state.load() == DO_IDLE; });
}

class RelayOutputs : public ::testing::Test {
protected:
    void SetUp() override { reset_relay_outputs(); }
    void TearDown() override { reset_relay_outputs(); }
};
