// The relay driver against the in-memory GPIO chips: wiring, levels, and what
// a failed initialisation gives back.
#include "relay_test_helpers.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <gtest/gtest.h>

namespace {

using RelayDriver = RelayOutputs;

std::array<int, NUM_RELAYS> only_on(int relay)
{
    std::array<int, NUM_RELAYS> states{};
    states[relay] = 1;
    return states;
}

void set_states(const std::array<int, NUM_RELAYS> &states)
{
    for (int relay = 0; relay < NUM_RELAYS; ++relay)
        g_arr_do_states[relay] = states[relay];
}

void expect_nothing_held()
{
    EXPECT_EQ(gpiod_sim_open_chip_count(), 0);
    EXPECT_EQ(gpiod_sim_active_request_count(), 0);
    EXPECT_EQ(gpiod_sim_live_config_count(), 0);
    for (const relay_line &wired : relay_wiring)
        EXPECT_FALSE(gpiod_sim_line_requested(wired.chip, wired.line));
    EXPECT_FALSE(gpio_outputs_ready());
}

// Runs gpio_init and returns what it wrote to stderr.
std::string init_failure_text()
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpio_init(), 0);
    return testing::internal::GetCapturedStderr();
}

TEST_F(RelayDriver, InitClaimsAllTwelveLinesAsHighOutputsWithRelaysOff)
{
    std::fill(std::begin(g_arr_do_states), std::end(g_arr_do_states), 1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(gpio_init(), 1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "DO_INFO: GPIO initialized, all 12 relays set HIGH.\n"),
              std::string::npos);

    expect_levels({});
    for (int relay = 0; relay < NUM_RELAYS; ++relay) {
        const relay_line wired = relay_wiring[relay];
        EXPECT_EQ(g_arr_do_states[relay], 0) << "relay " << relay;
        EXPECT_TRUE(gpiod_sim_line_is_output(wired.chip, wired.line)) << "relay " << relay;
        EXPECT_EQ(gpiod_sim_line_consumer(wired.chip, wired.line), consumer_of_chip(wired.chip));
    }
    EXPECT_EQ(gpiod_sim_open_chip_count(), 3);
    EXPECT_EQ(gpiod_sim_active_request_count(), 3);
    EXPECT_EQ(gpiod_sim_live_config_count(), 0) << "settings or configs leaked";
    EXPECT_TRUE(gpio_outputs_ready());
}

TEST_F(RelayDriver, RelayThreeOnDrivesOnlyChip4Line0Low)
{
    ASSERT_EQ(gpio_init(), 1);
    g_arr_do_states[3] = 1;
    EXPECT_EQ(control_do_over_gpio(), 1);

    EXPECT_EQ(gpiod_sim_line_value(4, 0), 0);
    expect_levels(only_on(3));
    // Twelve relays, three writes: one per chip.
    EXPECT_EQ(gpiod_sim_write_count(4), 1);
    EXPECT_EQ(gpiod_sim_write_count(3), 1);
    EXPECT_EQ(gpiod_sim_write_count(0), 1);
}

TEST_F(RelayDriver, EveryRelayDrivesItsOwnLine)
{
    ASSERT_EQ(gpio_init(), 1);
    for (int relay = 0; relay < NUM_RELAYS; ++relay) {
        SCOPED_TRACE("relay " + std::to_string(relay));
        set_states(only_on(relay));
        control_do_over_gpio();
        expect_levels(only_on(relay));
    }
    set_states({});
    control_do_over_gpio();
    expect_levels({});
}

TEST_F(RelayDriver, Line13OfChip4AndChip0AreDifferentLines)
{
    ASSERT_EQ(gpio_init(), 1);
    g_arr_do_states[8] = 1;
    control_do_over_gpio();
    EXPECT_EQ(gpiod_sim_line_value(4, 13), 0);
    EXPECT_EQ(gpiod_sim_line_value(0, 13), 1);

    g_arr_do_states[8] = 0;
    g_arr_do_states[11] = 1;
    control_do_over_gpio();
    EXPECT_EQ(gpiod_sim_line_value(4, 13), 1);
    EXPECT_EQ(gpiod_sim_line_value(0, 13), 0);
}

TEST_F(RelayDriver, CloseReleasesLinesAndKeepsTheirLevels)
{
    ASSERT_EQ(gpio_init(), 1);
    g_arr_do_states[5] = 1;
    control_do_over_gpio();
    gpio_close();

    expect_nothing_held();
    expect_levels(only_on(5));
    gpio_close(); // a second close finds nothing to give back
    expect_nothing_held();
}

TEST_F(RelayDriver, WritingBeforeInitTouchesNoLine)
{
    g_arr_do_states[0] = 1;
    EXPECT_EQ(control_do_over_gpio(), 1);
    for (int chip : {0, 3, 4})
        EXPECT_EQ(gpiod_sim_write_count(chip), 0);
    EXPECT_EQ(relay_level(0), 0); // never driven: power-on low
}

TEST_F(RelayDriver, SecondInitStartsAfreshWithoutLeaking)
{
    ASSERT_EQ(gpio_init(), 1);
    g_arr_do_states[1] = 1;
    control_do_over_gpio();
    ASSERT_EQ(gpio_init(), 1);

    EXPECT_EQ(gpiod_sim_open_chip_count(), 3);
    EXPECT_EQ(gpiod_sim_active_request_count(), 3);
    EXPECT_EQ(g_arr_do_states[1], 0);
    expect_levels({});
}

struct init_failure {
    bool at_open; // else at the line request
    int chip;
    int error;
    const char *message;
};

// Whatever step fails, the attempt gives back every chip and request it made.
TEST_F(RelayDriver, FailedInitReportsTheStepAndLeavesNothingHeld)
{
    const init_failure cases[] = {
        {true, 4, ENOENT, "DO_ERROR: Failed to open gpiochip4: No such file or directory\n"},
        {true, 3, ENOENT, "DO_ERROR: Failed to open gpiochip3: No such file or directory\n"},
        {true, 0, EACCES, "DO_ERROR: Failed to open gpiochip0: Permission denied\n"},
        {false, 4, EBUSY, "DO_ERROR: Failed to request lines on chip4: Device or resource busy\n"},
        {false, 3, EBUSY, "DO_ERROR: Failed to request lines on chip3: Device or resource busy\n"},
        {false, 0, EBUSY, "DO_ERROR: Failed to request lines on chip0: Device or resource busy\n"},
    };
    for (const init_failure &c : cases) {
        SCOPED_TRACE(c.message);
        reset_relay_outputs();
        if (c.at_open)
            gpiod_sim_fail_open(c.chip, c.error);
        else
            gpiod_sim_fail_request(c.chip, c.error);
        EXPECT_EQ(init_failure_text(), c.message);
        expect_nothing_held();
    }
}

TEST_F(RelayDriver, LineHeldByAnotherConsumerFailsTheRequestAndRetrySucceedsOnceFree)
{
    // Another program holds relay 7's line (gpiochip3 line 25).
    gpiod_chip *chip = gpiod_chip_open("/dev/gpiochip3");
    ASSERT_NE(chip, nullptr);
    gpiod_line_config *line_cfg = gpiod_line_config_new();
    const unsigned int offset = 25;
    gpiod_line_config_add_line_settings(line_cfg, &offset, 1, nullptr);
    gpiod_line_request *foreign = gpiod_chip_request_lines(chip, nullptr, line_cfg);
    gpiod_line_config_free(line_cfg);
    gpiod_chip_close(chip);
    ASSERT_NE(foreign, nullptr);

    EXPECT_EQ(init_failure_text(),
              "DO_ERROR: Failed to request lines on chip3: Device or resource busy\n");
    EXPECT_EQ(gpiod_sim_active_request_count(), 1); // only the other program's
    EXPECT_FALSE(gpiod_sim_line_requested(4, 10));

    gpiod_line_request_release(foreign);
    ASSERT_EQ(gpio_init(), 1);
    EXPECT_EQ(gpiod_sim_line_consumer(3, 25), "do_ctrl_chip3");
}

} // namespace
