// Relay packets over a real mosquitto: published by a UI client on the
// command topic, routed by the daemon's MQTT link to the relay thread, and
// seen on the simulated GPIO lines. First in this process (the lines read
// directly), then through the host-simulation daemon (the lines read from its
// log, as the demo shows them).
#include "broker.h"
#include "e2e_rig.h"
#include "mqtt_test_client.h"
#include "relay_test_helpers.h"
#include "temp_dir.h"

#include "mqtt/mqtt_link.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>

namespace {

constexpr const char *COMMAND_TOPIC = "dt/ui_to_app/cmd";

// The daemon's MQTT link in this process, connected to a private broker.
class RelayOverMqtt : public RelayOutputs {
protected:
    void SetUp() override
    {
        RelayOutputs::SetUp();
        ASSERT_TRUE(broker_.running());
        reset_link();
    }

    void TearDown() override
    {
        reset_link();
        RelayOutputs::TearDown();
    }

    static void reset_link()
    {
        MQTT_Disconnect();
        mqtt_link_begin();
    }

    // Link passes until connected and subscribed. Stops before a connected
    // pass, which would only sleep; the library's own thread delivers messages.
    static bool connect_link()
    {
        for (int pass = 0; pass < 30; ++pass) {
            if (mqtt_get_state() == MQTT_CONNECTED)
                return true;
            mqtt_link_pass();
        }
        return mqtt_get_state() == MQTT_CONNECTED;
    }

    test_broker broker_;
    scoped_env broker_env_{"DIAG_GW_BROKER", broker_.uri()};
};

TEST_F(RelayOverMqtt, PacketPublishedByTheUiSwitchesTheLines)
{
    ASSERT_TRUE(connect_link());
    relay_thread_runner relay_thread;
    ASSERT_TRUE(wait_initialised());
    mqtt_test_client ui(broker_.uri());
    ASSERT_TRUE(ui.connect());

    ASSERT_TRUE(ui.publish(COMMAND_TOPIC, relay_packet_text(R"("DO3":1,"DO9":1)")));
    ASSERT_TRUE(wait_relay(3, 1));
    ASSERT_TRUE(wait_relay(9, 1));
    std::array<int, NUM_RELAYS> expected{};
    expected[3] = expected[9] = 1;
    expect_levels(expected);

    // Partial updates back to back: the second must not swallow the first.
    ASSERT_TRUE(ui.publish(COMMAND_TOPIC, relay_packet_text(R"("DO3":0)")));
    ASSERT_TRUE(ui.publish(COMMAND_TOPIC, relay_packet_text(R"("DO4":1)")));
    ASSERT_TRUE(wait_relay(4, 1));
    ASSERT_TRUE(wait_relay(3, 0));
    relay_thread.stop();
    expected[3] = 0;
    expected[4] = 1;
    expect_levels(expected);
}

TEST_F(RelayOverMqtt, PacketPublishedBeforeInitWaitsForTheLines)
{
    gpiod_sim_fail_request(3, EBUSY);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(connect_link());
    relay_thread_runner relay_thread;
    mqtt_test_client ui(broker_.uri());
    ASSERT_TRUE(ui.connect());

    ASSERT_TRUE(ui.publish(COMMAND_TOPIC, relay_packet_text(R"("DO7":1)")));
    ASSERT_TRUE(wait_for([] { return relay_mailbox_size() == 1; }));
    EXPECT_EQ(gpiod_sim_write_count(3), 0);
    gpiod_sim_fail_request(3, 0);

    ASSERT_TRUE(wait_for([] { return gpiod_sim_write_count(3) == 1; }));
    relay_thread.stop();
    testing::internal::GetCapturedStderr();
    std::array<int, NUM_RELAYS> expected{};
    expected[7] = 1;
    expect_levels(expected);
}

// The host-simulation daemon, as in the demo: its log shows each relay and
// line change.
TEST(RelayDaemon, RelayPacketSwitchesTheSimulatedLinesOfTheDaemon)
{
    e2e_rig rig;
    ASSERT_TRUE(rig.start_daemon(e2e_standard_config()));
    e2e_daemon &daemon = rig.daemon();
    ASSERT_NE(daemon.wait_for_log("DO_INFO: GPIO initialized, all 12 relays set HIGH.", E2E_TIMEOUT),
              std::string::npos);

    std::size_t mark = daemon.log_mark();
    ASSERT_TRUE(rig.send(relay_packet_text(R"("DO3":1,"DO11":1)")));
    EXPECT_NE(daemon.wait_for_log("DO_INFO : relay 3 ON", E2E_TIMEOUT, mark), std::string::npos);
    EXPECT_NE(daemon.wait_for_log("SIM_GPIO : gpiochip4 line 0 -> low", E2E_TIMEOUT, mark),
              std::string::npos);
    EXPECT_NE(daemon.wait_for_log("SIM_GPIO : gpiochip0 line 13 -> low", E2E_TIMEOUT, mark),
              std::string::npos);
    EXPECT_EQ(daemon.count_in_log("SIM_GPIO : gpiochip4 line 13", mark), 0u);

    mark = daemon.log_mark();
    ASSERT_TRUE(rig.send(relay_packet_text(R"("DO3":0)")));
    EXPECT_NE(daemon.wait_for_log("SIM_GPIO : gpiochip4 line 0 -> high", E2E_TIMEOUT, mark),
              std::string::npos);
    EXPECT_NE(daemon.wait_for_log("DO_INFO : relay 3 OFF", E2E_TIMEOUT, mark), std::string::npos);
}

} // namespace
