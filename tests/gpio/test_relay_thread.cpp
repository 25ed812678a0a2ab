// The relay thread: packets taken from the mailbox in arrival order, kept
// while the outputs cannot be initialised, and written to the lines.
#include "gpio/relay_thread.h"
#include "relay_test_helpers.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

using RelayThread = RelayOutputs;

// What the MQTT router does with a "TYP" 2 text.
void hand_over(const std::string &text)
{
    ASSERT_TRUE(relay_mailbox_push(text));
    change_gpio_state(DO_PARSE);
}

int total_writes()
{
    return gpiod_sim_write_count(4) + gpiod_sim_write_count(3) + gpiod_sim_write_count(0);
}

TEST_F(RelayThread, PacketBeforeInitIsKeptAndAppliedOnceInitSucceeds)
{
    gpiod_sim_fail_open(4, ENOENT);
    change_gpio_state(DO_INIT);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(gpio_state_machine_pass());
    EXPECT_EQ(g_gpio_state.load(), DO_INIT);

    hand_over(relay_packet_text(R"("DO3":1)"));
    EXPECT_TRUE(gpio_state_machine_pass()); // DO_PARSE without lines: back to DO_INIT
    EXPECT_EQ(g_gpio_state.load(), DO_INIT);
    EXPECT_EQ(relay_mailbox_size(), 1u);
    EXPECT_TRUE(gpio_state_machine_pass()); // init fails again; the packet still waits
    EXPECT_EQ(relay_mailbox_size(), 1u);
    EXPECT_EQ(total_writes(), 0);
    EXPECT_FALSE(gpiod_sim_line_requested(4, 0));
    testing::internal::GetCapturedStderr();

    gpiod_sim_fail_open(4, 0);
    gpio_state_machine_pass();
    EXPECT_EQ(g_gpio_state.load(), DO_IDLE);
    gpio_state_machine_pass();
    EXPECT_EQ(g_gpio_state.load(), DO_PARSE);
    gpio_state_machine_pass();
    EXPECT_EQ(g_gpio_state.load(), DO_APPLY);
    gpio_state_machine_pass();
    EXPECT_EQ(g_gpio_state.load(), DO_IDLE);

    EXPECT_EQ(relay_mailbox_size(), 0u);
    std::array<int, NUM_RELAYS> expected{};
    expected[3] = 1;
    expect_levels(expected);
}

TEST_F(RelayThread, ParseWithEmptyMailboxReturnsToIdleWithoutWriting)
{
    ASSERT_EQ(gpio_init(), 1);
    change_gpio_state(DO_PARSE);
    EXPECT_TRUE(gpio_state_machine_pass());
    EXPECT_EQ(g_gpio_state.load(), DO_IDLE);
    EXPECT_EQ(total_writes(), 0);
}

TEST_F(RelayThread, MalformedPacketGoesBackToIdleAndWritesNothing)
{
    ASSERT_EQ(gpio_init(), 1);
    hand_over(R"({"TYP":2,"DATA":{"params":{}}})");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(gpio_state_machine_pass());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "DO_ERROR: DO object missing\nDO_ERROR: Failed to parse packet\n");
    EXPECT_EQ(g_gpio_state.load(), DO_IDLE);
    EXPECT_EQ(total_writes(), 0);
}

// The log names each relay a packet switched, once the lines are set: a log
// write must not hold up the switch.
TEST_F(RelayThread, LogsEachSwitchedRelayAfterTheLines)
{
    ASSERT_EQ(gpio_init(), 1);
    g_arr_do_states[7] = 1;
    hand_over(relay_packet_text(R"("DO3":1,"DO7":0,"DO9":0)"));
    testing::internal::CaptureStdout();
    EXPECT_TRUE(gpio_state_machine_pass());
    EXPECT_TRUE(gpio_state_machine_pass());
    EXPECT_EQ(g_gpio_state.load(), DO_IDLE);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string logged = "DO_INFO : relay 3 ON\nDO_INFO : relay 7 OFF\n"; // relay 9 was off already
    ASSERT_GE(out.size(), logged.size()) << out;
    EXPECT_EQ(out.substr(out.size() - logged.size()), logged) << out;
    EXPECT_NE(out.find("SIM_GPIO : gpiochip4 line 0 -> low\n"), std::string::npos) << out;
}

TEST_F(RelayThread, UnknownStateValueActsLikeIdle)
{
    ASSERT_EQ(gpio_init(), 1);
    ASSERT_TRUE(relay_mailbox_push(relay_packet_text(R"("DO0":1)")));
    change_gpio_state(9);
    EXPECT_TRUE(gpio_state_machine_pass());
    EXPECT_EQ(g_gpio_state.load(), DO_PARSE);
}

TEST_F(RelayThread, CloseReleasesTheOutputsAndEndsTheThread)
{
    ASSERT_EQ(gpio_init(), 1);
    change_gpio_state(DO_CLOSE);
    EXPECT_FALSE(gpio_state_machine_pass());
    EXPECT_EQ(gpiod_sim_open_chip_count(), 0);
    EXPECT_EQ(gpiod_sim_active_request_count(), 0);
}

TEST_F(RelayThread, ThreadInitialisesAllRelaysOff)
{
    relay_thread_runner runner;
    ASSERT_TRUE(wait_initialised());
    expect_levels({});
    runner.stop();
    EXPECT_EQ(gpiod_sim_open_chip_count(), 0);
    EXPECT_EQ(gpiod_sim_active_request_count(), 0);
}

TEST_F(RelayThread, ThreadKeepsEarlyPacketUntilTheChipsOpen)
{
    gpiod_sim_fail_open(0, ENOENT);
    testing::internal::CaptureStderr();
    relay_thread_runner runner;
    hand_over(relay_packet_text(R"("DO3":1,"DO11":1)"));

    // The chip must have refused the thread before it is let in.
    ASSERT_TRUE(wait_for([] { return gpiod_sim_refused_open_count(0) > 0; }));
    EXPECT_EQ(total_writes(), 0);
    EXPECT_EQ(gpiod_sim_active_request_count(), 0);
    EXPECT_EQ(relay_mailbox_size(), 1u);
    gpiod_sim_fail_open(0, 0);

    // Lines are low before they are first driven: wait for the packet's write.
    ASSERT_TRUE(wait_for([] { return gpiod_sim_write_count(0) == 1; }));
    runner.stop();
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "DO_ERROR: Failed to open gpiochip0: No such file or directory\n"),
              std::string::npos);
    std::array<int, NUM_RELAYS> expected{};
    expected[3] = expected[11] = 1;
    expect_levels(expected);
}

TEST_F(RelayThread, TwoPacketsBackToBackAreBothApplied)
{
    relay_thread_runner runner;
    ASSERT_TRUE(wait_initialised());
    hand_over(relay_packet_text(R"("DO3":1)"));
    hand_over(relay_packet_text(R"("DO5":1)"));

    ASSERT_TRUE(wait_relay(3, 1));
    ASSERT_TRUE(wait_relay(5, 1));
    runner.stop();
    std::array<int, NUM_RELAYS> expected{};
    expected[3] = expected[5] = 1;
    expect_levels(expected);
}

TEST_F(RelayThread, PacketsAreAppliedInArrivalOrder)
{
    relay_thread_runner runner;
    ASSERT_TRUE(wait_initialised());
    hand_over(relay_packet_text(R"("DO3":1)"));
    hand_over(relay_packet_text(R"("DO3":0,"DO5":1)"));
    hand_over(R"({"TYP":2,"DATA":{}})"); // refused, does not stop the ones after it
    hand_over(relay_packet_text(R"("DO6":1)"));

    ASSERT_TRUE(wait_relay(6, 1));
    runner.stop();
    std::array<int, NUM_RELAYS> expected{};
    expected[5] = expected[6] = 1;
    expect_levels(expected);
    EXPECT_EQ(gpiod_sim_write_count(4), 3); // one write per applied packet
}

TEST_F(RelayThread, EveryPacketFromABusyProducerIsApplied)
{
    gpiod_sim_set_verbose(false);
    relay_thread_runner runner;
    ASSERT_TRUE(wait_initialised());

    constexpr int PACKETS = 200;
    std::thread producer([] {
        for (int n = 0; n < PACKETS; ++n) {
            const int relay = n % NUM_RELAYS;
            const std::string text = relay_packet_text("\"DO" + std::to_string(relay) +
                                                       "\":" + std::to_string((n / NUM_RELAYS) % 2 == 0));
            // A full mailbox refuses the packet; the producer offers it again.
            while (!relay_mailbox_push(text))
                std::this_thread::yield();
            change_gpio_state(DO_PARSE);
        }
    });
    producer.join();

    EXPECT_TRUE(wait_for([] { return gpiod_sim_write_count(0) == PACKETS; }));
    runner.stop();
    gpiod_sim_set_verbose(true);
    EXPECT_EQ(gpiod_sim_write_count(4), PACKETS);
    // Packet n sets relay n % 12 on in even rounds of twelve, off in odd ones;
    // packets 192..199 (round 16) leave relays 0..7 on, 8..11 keep round 15's off.
    std::array<int, NUM_RELAYS> expected{};
    for (int relay = 0; relay < 8; ++relay)
        expected[relay] = 1;
    expect_levels(expected);
}

} // namespace
