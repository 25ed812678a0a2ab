#include "link_fixture.h"

#include <string>

using namespace std::chrono_literals;

namespace {

class MqttLink : public MqttLinkFixture {
protected:
    // A UI client listening on the response topic.
    std::unique_ptr<mqtt_test_client> listening_ui()
    {
        auto ui = std::make_unique<mqtt_test_client>(broker_.uri());
        EXPECT_TRUE(ui->connect());
        EXPECT_TRUE(ui->subscribe(RESP_TOPIC));
        return ui;
    }
};

} // namespace

TEST_F(MqttLink, ReachesConnectedAndSubscribesBothTopics)
{
    stdout_capture out;
    ASSERT_TRUE(connect_link());
    const std::string &log = out.text();
    EXPECT_NE(log.find("INTR_MQTT_INFO : --------------------------------- [1] \n"), std::string::npos);
    EXPECT_NE(log.find("topic list : dt/app_to_ui/resp\ntopic list : dt/ui_to_app/cmd\n"),
              std::string::npos);
    EXPECT_NE(log.find("INTR_MQTT_INFO : successfully Subscribed topics\n"), std::string::npos);
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
}

TEST_F(MqttLink, FixedConnectionDetails)
{
    EXPECT_STREQ(gMqttDetails.client_name, "mqtt_internal_broker");
    EXPECT_STREQ(gMqttDetails.broker_host, "127.0.0.1");
    EXPECT_EQ(gMqttDetails.port, 1883);
    EXPECT_EQ(gMqttDetails.topic_count, 2);
    EXPECT_EQ(topicCount, 2);
    EXPECT_STREQ(gMqttDetails.topics[0], RESP_TOPIC);
    EXPECT_STREQ(gMqttDetails.topics[1], CMD_TOPIC);
    EXPECT_EQ(gMqttDetails.topics[2], nullptr);
    EXPECT_EQ(gMqttDetails.qos[0], 1);
    EXPECT_EQ(gMqttDetails.qos[1], 1);
    EXPECT_EQ(gMqttDetails.keep_alive, 20);
    EXPECT_EQ(gMqttDetails.clean_session, 1);
}

TEST_F(MqttLink, PublishedTextArrivesByteForByte)
{
    ASSERT_TRUE(connect_link());
    auto ui = listening_ui();
    const std::string text = R"({"TYP":1,"CMD":0,"ERROR":1,"DATA":{"msg":"NOECU"}})";
    {
        stdout_capture out;
        ASSERT_EQ(MQTT_Publish_Data(0, text.c_str()), 1);
        EXPECT_EQ(out.text(), "INTER_MQTT_INFO :::: Payload [" + text + "] Len[" + std::to_string(text.size()) + "]\n");
    }
    auto received = ui->wait_for(text);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->topic, RESP_TOPIC);
    EXPECT_EQ(received->payload.size(), text.size()); // no terminator on the wire
}

TEST_F(MqttLink, LargestTextFitsAndLargerIsRefusedNotCut)
{
    ASSERT_TRUE(connect_link());
    auto ui = listening_ui();
    const std::string largest(MQTT_PAYLOAD_SIZE - 1, 'a');
    const std::string too_large(MQTT_PAYLOAD_SIZE, 'b');
    {
        stdout_capture out;
        EXPECT_EQ(MQTT_Publish_Data(0, largest.c_str()), 1);
        EXPECT_EQ(MQTT_Publish_Data(0, too_large.c_str()), 0);
        EXPECT_NE(out.text().find("INTR_MQTT_ERROR : Text of 4000 characters does not fit the "
                                  "4000-byte payload buffer, not sent\n"),
                  std::string::npos);
    }
    ASSERT_TRUE(MQTT_Publish_Data(0, "marker") == 1);
    auto first = ui->wait_for([](const mqtt_test_message &) { return true; });
    ASSERT_TRUE(first);
    EXPECT_EQ(first->payload, largest);
    auto second = ui->wait_for([](const mqtt_test_message &) { return true; });
    ASSERT_TRUE(second);
    EXPECT_EQ(second->payload, "marker"); // nothing of the refused text went out
}

TEST_F(MqttLink, PublishToMissingTopicOrNullTextReturnsZeroSilently)
{
    ASSERT_TRUE(connect_link());
    stdout_capture out;
    EXPECT_EQ(MQTT_Publish_Data(2, "{}"), 0);
    EXPECT_EQ(MQTT_Publish_Data(-1, "{}"), 0);
    EXPECT_EQ(MQTT_Publish_Data(MQTT_MAX_TOPICS, "{}"), 0);
    EXPECT_EQ(MQTT_Publish_Data(0, nullptr), 0);
    EXPECT_EQ(out.text(), "");
}

TEST_F(MqttLink, PublishBeforeFirstConnectReturnsZeroSilently)
{
    stdout_capture out;
    EXPECT_EQ(MQTT_Publish_Data(0, "{}"), 0);
    mqtt_link_pass(); // client created, not yet connected: still no payload buffer
    EXPECT_EQ(mqtt_get_state(), MQTT_CONNECT);
    EXPECT_EQ(MQTT_Publish_Data(0, "{}"), 0);
    EXPECT_EQ(out.text().find("Fail to send"), std::string::npos);
}

TEST_F(MqttLink, CommandFromUiReachesMailbox)
{
    ASSERT_TRUE(connect_link());
    mqtt_test_client ui(broker_.uri());
    ASSERT_TRUE(ui.connect());
    const auto generation = obd_command_generation();
    ASSERT_TRUE(ui.publish(CMD_TOPIC, R"({"TYP":1,"CMD":2})"));
    ASSERT_TRUE(eventually([&] { return obd_command_generation() != generation; }));
    EXPECT_EQ(g_obd2_com_thrd_state.load(), PARSE_COMMAND);
    EXPECT_EQ(mailbox_text(), R"({"TYP":1,"CMD":2})");
    stdout_capture out;
    EXPECT_EQ(parse_received_cmd(), 2);
}

TEST_F(MqttLink, RelayPacketFromUiReachesRelayQueue)
{
    ASSERT_TRUE(connect_link());
    mqtt_test_client ui(broker_.uri());
    ASSERT_TRUE(ui.connect());
    stdout_capture out;
    ASSERT_TRUE(ui.publish(CMD_TOPIC, R"({"TYP":2,"DATA":{"params":{"DO":{"DO5":1}}}})"));
    ASSERT_TRUE(eventually([] { return relay_mailbox_size() == 1; }));
    EXPECT_EQ(g_gpio_state.load(), DO_PARSE);
    EXPECT_EQ(count_of(out.text(), "DO_INFO : PACKET : {\"TYP\":2,\"DATA\":{\"params\":{\"DO\":{\"DO5\":1}}}}\n"), 1u);
}

// The daemon hears its own answers through its subscription; they must not
// be taken for commands. Both publishes come from the one daemon client, so
// the broker hands them back in order: once the command has arrived, the
// answer before it has been seen and dropped.
TEST_F(MqttLink, OwnAnswersAreIgnored)
{
    ASSERT_TRUE(connect_link());
    const auto generation = obd_command_generation();
    stdout_capture out;
    ASSERT_EQ(MQTT_Publish_Data(0, R"({"TYP":1,"CMD":7})"), 1);
    ASSERT_EQ(MQTT_Publish_Data(1, R"({"TYP":1,"CMD":2})"), 1);
    ASSERT_TRUE(eventually([&] { return obd_command_generation() != generation; }));
    EXPECT_EQ(obd_command_generation(), generation + 1);
    EXPECT_EQ(mailbox_text(), R"({"TYP":1,"CMD":2})");
    const std::string &log = out.text();
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
}

// One publisher's messages arrive in order, so once the closing command is
// in the mailbox the oversized ones before it have been handled.
TEST_F(MqttLink, OversizedCommandsAreDroppedWithMessage)
{
    ASSERT_TRUE(connect_link());
    mqtt_test_client ui(broker_.uri());
    ASSERT_TRUE(ui.connect());
    const auto generation = obd_command_generation();

    std::string huge = R"({"TYP":1,"CMD":2})";
    huge.append(1024 - huge.size(), ' '); // valid JSON, longer than the arrival buffer
    const std::string largest = huge.substr(0, 1023);
    stdout_capture out;
    ASSERT_TRUE(ui.publish(CMD_TOPIC, huge));
    ASSERT_TRUE(ui.publish(CMD_TOPIC, largest));
    ASSERT_TRUE(ui.publish(CMD_TOPIC, R"({"TYP":1,"CMD":9})"));
    ASSERT_TRUE(eventually([&] { return obd_command_generation() != generation; }));
    EXPECT_EQ(obd_command_generation(), generation + 1);
    EXPECT_EQ(mailbox_text(), R"({"TYP":1,"CMD":9})");
    const std::string log = out.text();
    EXPECT_NE(log.find("INTR_MQTT_ERROR : Command of 1024 bytes exceeds 1023 bytes, dropped\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("INTR_MQTT_ERROR : Command of 1023 characters exceeds the 199-character "
                       "command mailbox, refused\n"),
              std::string::npos)
        << log;
}

// A broker that refuses the response topic (the daemon only hears its own
// answers there) leaves the link up: one line says so, and a retained
// command runs once instead of at every renewed subscription. A refused
// command topic still fails the subscription, which is retried.
TEST_F(MqttLink, OnlyARefusedCommandTopicFailsTheSubscription)
{
    const std::string retained = R"({"TYP":1,"CMD":1})";
    {
        test_broker refusing(false, {RESP_TOPIC});
        scoped_env address("DIAG_GW_BROKER", refusing.uri());
        mqtt_test_client ui(refusing.uri());
        ASSERT_TRUE(ui.connect());
        ASSERT_TRUE(ui.publish(CMD_TOPIC, retained, 1, true));
        const auto generation = obd_command_generation();
        stdout_capture out;
        const bool connected = connect_link();
        const bool arrived = eventually([&] { return obd_command_generation() != generation; });
        std::this_thread::sleep_for(500ms); // room for a second delivery, had there been one
        const std::string &log = out.text();
        ASSERT_TRUE(connected) << log;
        ASSERT_TRUE(arrived);
        EXPECT_EQ(obd_command_generation(), generation + 1);
        EXPECT_EQ(mailbox_text(), retained);
        EXPECT_EQ(count_of(log, "topic list : dt/ui_to_app/cmd\n"), 1u) << log;
        EXPECT_EQ(count_of(log, "INTR_MQTT_ERROR : Broker refused the subscription to "
                                "dt/app_to_ui/resp, going on without it\n"),
                  1u)
            << log;
        EXPECT_NE(log.find("INTR_MQTT_INFO : successfully Subscribed topics\n"), std::string::npos);
        reset_link();
    }
    test_broker refusing(false, {CMD_TOPIC});
    scoped_env address("DIAG_GW_BROKER", refusing.uri());
    stdout_capture out;
    ASSERT_TRUE(drive_link_until(MQTT_SUBSCRIBE));
    mqtt_link_pass();
    EXPECT_EQ(mqtt_get_state(), MQTT_SUBSCRIBE);
    const std::string &log = out.text();
    EXPECT_NE(log.find("INTR_MQTT_ERROR : Fail to Subscribe with topics\n"
                       "INTR_MQTT_ERROR : MQTT_SUBSCRIBE failed.\n"),
              std::string::npos)
        << log;
}
