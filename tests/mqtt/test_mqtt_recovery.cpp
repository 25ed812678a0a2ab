#include "link_fixture.h"

#include "mqtt/outbox.h"
#include "mqtt/status_packet.h"

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

using MqttRecovery = MqttLinkFixture;

// Position of `line` in `log` after `from`; npos when absent.
std::size_t after(const std::string &log, const std::string &line, std::size_t from = 0)
{
    return log.find(line, from);
}

// A UI client with the daemon's own identifier: the broker hands the
// identifier over and drops the daemon's connection, a real loss as the
// daemon sees it.
void take_over_daemon_session(const std::string &uri)
{
    mqtt_test_client thief(uri, gMqttDetails.client_name);
    ASSERT_TRUE(thief.connect());
    ASSERT_TRUE(eventually([] { return mqtt_get_state() == MQTT_RECONNECT; }));
}

bool command_reaches_mailbox(mqtt_test_client &ui, const std::string &text)
{
    const auto generation = obd_command_generation();
    return ui.publish(CMD_TOPIC, text) &&
           eventually([&] { return obd_command_generation() != generation; }) &&
           mailbox_text() == text;
}

std::string status_text(const char *word, int cmd = 0)
{
    char packet[STATUS_PACKET_SIZE] = {};
    create_pkt_without_data(packet, 1, cmd, 0, word);
    return packet;
}

} // namespace

TEST_F(MqttRecovery, RecoversAfterBrokerRestart)
{
    ASSERT_TRUE(connect_link());
    stdout_capture out;
    broker_.stop();
    ASSERT_TRUE(eventually([] { return mqtt_get_state() == MQTT_RECONNECT; }));
    ASSERT_TRUE(broker_.restart());
    ASSERT_TRUE(drive_link_until(MQTT_CONNECTED));

    mqtt_test_client ui(broker_.uri());
    ASSERT_TRUE(ui.connect());
    ASSERT_TRUE(ui.subscribe(RESP_TOPIC));
    EXPECT_TRUE(command_reaches_mailbox(ui, R"({"TYP":1,"CMD":1})")); // subscribed again
    ASSERT_EQ(MQTT_Publish_Data(0, "answer"), 1);
    EXPECT_TRUE(ui.wait_for("answer"));

    const std::string log = out.text();
    EXPECT_NE(after(log, "Client-1 -> Callback: connection lost ["), std::string::npos) << log;
    EXPECT_NE(after(log, "INTR_MQTT_INFO : Retrying to connect - [1]\n"), std::string::npos);
    EXPECT_EQ(count_of(log, "INTR_MQTT_INFO : successfully Subscribed topics\n"), 1u);
    EXPECT_EQ(log.find("MQTT Handle distroied"), std::string::npos); // same client, no reset
}

TEST_F(MqttRecovery, AbsentBrokerGivesTenRetriesThenResetAndNewClient)
{
    reserved_port absent;
    auto address = std::make_unique<scoped_env>("DIAG_GW_BROKER", absent.uri());
    stdout_capture out;
    ASSERT_TRUE(drive_link_until(MQTT_DISCONNECT, 40));
    EXPECT_EQ(MQTT_Publish_Data(0, "{}"), 0); // buffer of the failed connects: client refuses
    address.reset();                          // the broker is back
    mqtt_link_pass();
    EXPECT_EQ(mqtt_get_state(), MQTT_INIT);
    EXPECT_EQ(MQTT_Publish_Data(0, "{}"), 0); // buffer released: silently
    ASSERT_TRUE(connect_link());              // a new client, at the address read anew

    // The reset cleared the counter: the next loss is retry 1 again.
    take_over_daemon_session(broker_.uri());
    ASSERT_TRUE(drive_link_until(MQTT_CONNECTED));
    mqtt_test_client ui(broker_.uri());
    ASSERT_TRUE(ui.connect());
    EXPECT_TRUE(command_reaches_mailbox(ui, R"({"TYP":1,"CMD":4})"));

    const std::string log = out.text();
    for (int retry = 1; retry <= 10; ++retry)
        EXPECT_NE(log.find("Retrying to connect - [" + std::to_string(retry) + "]\n"),
                  std::string::npos)
            << retry;
    EXPECT_EQ(log.find("Retrying to connect - [11]"), std::string::npos);
    EXPECT_EQ(count_of(log, "Retrying to connect - [1]\n"), 2u);
    EXPECT_EQ(count_of(log, "INTR_MQTT_ERROR : MQTT_CONNECT failed.\n"), 11u);
    EXPECT_EQ(count_of(log, "INTR_MQTT_ERROR : Fail to send the data [-3]\n"), 1u);

    const std::size_t failed = after(log, "INTR_MQTT_ERROR : MQTT_RECONNECT Failed.\n");
    ASSERT_NE(failed, std::string::npos) << log;
    const std::size_t not_connected =
        after(log, "INTR_MQTT_ERROR : Device not connected with Server\n", failed);
    const std::size_t destroyed = after(log, "INTR_MQTT_ERROR : MQTT Handle distroied...\n", failed);
    const std::size_t freed = after(log, "INTR_MQTT_INFO : Payload buffer free\n", failed);
    EXPECT_NE(not_connected, std::string::npos);
    EXPECT_LT(not_connected, destroyed);
    EXPECT_LT(destroyed, freed);
    EXPECT_NE(freed, std::string::npos);
}

// Retries add up over the life of the link, even when each reconnect
// succeeds at once: after ten, the next loss resets the link.
TEST_F(MqttRecovery, RetriesAddUpUntilTheReset)
{
    ASSERT_TRUE(connect_link());
    stdout_capture out;
    for (int loss = 1; loss <= 10; ++loss) {
        take_over_daemon_session(broker_.uri());
        ASSERT_TRUE(drive_link_until(MQTT_CONNECTED)) << "loss " << loss;
    }
    take_over_daemon_session(broker_.uri());
    mqtt_link_pass();
    EXPECT_EQ(mqtt_get_state(), MQTT_DISCONNECT);
    mqtt_link_pass();
    EXPECT_EQ(mqtt_get_state(), MQTT_INIT);
    ASSERT_TRUE(connect_link());

    mqtt_test_client ui(broker_.uri());
    ASSERT_TRUE(ui.connect());
    EXPECT_TRUE(command_reaches_mailbox(ui, R"({"TYP":1,"CMD":2})"));

    const std::string log = out.text();
    EXPECT_NE(log.find("Retrying to connect - [10]\n"), std::string::npos);
    EXPECT_EQ(log.find("Retrying to connect - [11]"), std::string::npos);
    EXPECT_EQ(count_of(log, "INTR_MQTT_ERROR : MQTT_RECONNECT Failed.\n"), 1u);
    EXPECT_EQ(count_of(log, "INTR_MQTT_ERROR : MQTT Handle distroied...\n"), 1u);
    EXPECT_EQ(count_of(log, "Client-1 -> Callback: connection lost"), 11u);
}

// A publish from the OBD thread must not wait out a connect that hangs (up
// to the library's 30 s time-out): it fails at once like a publish to a
// disconnected client.
TEST_F(MqttRecovery, PublishWhileConnectingFailsAtOnce)
{
    reserved_port hanging;
    scoped_env address("DIAG_GW_BROKER", hanging.uri());
    {
        stdout_capture quiet;
        ASSERT_TRUE(drive_link_until(MQTT_RECONNECT)); // refused: a payload buffer exists now
        mqtt_link_pass();
        ASSERT_EQ(mqtt_get_state(), MQTT_CONNECT);
    }
    ASSERT_TRUE(hanging.listen());
    std::atomic<bool> connect_done{false};
    std::thread link([&] {
        mqtt_link_pass();
        connect_done = true;
    });
    const bool in_handshake = hanging.wait_for_connection(MQTT_TEST_TIMEOUT);
    if (in_handshake) {
        stdout_capture out;
        EXPECT_EQ(MQTT_Publish_Data(0, R"({"TYP":1})"), 0);
        EXPECT_FALSE(connect_done.load()); // the publish did not wait for the connect
        EXPECT_EQ(out.text(), "INTER_MQTT_INFO :::: Payload [{\"TYP\":1}] Len[9]\n"
                              "INTR_MQTT_ERROR : Fail to send the data [-3]\n");
    }
    hanging.close(); // the queued connection is reset, the connect fails
    link.join();
    ASSERT_TRUE(in_handshake);
    EXPECT_EQ(mqtt_get_state(), MQTT_RECONNECT);
}

TEST_F(MqttRecovery, UnusableAddressKeepsInitFailing)
{
    {
        scoped_env address("DIAG_GW_BROKER", "bogus://127.0.0.1:1");
        stdout_capture out;
        mqtt_link_pass();
        mqtt_link_pass();
        EXPECT_EQ(mqtt_get_state(), MQTT_INIT);
        const std::string log = out.text();
        EXPECT_EQ(count_of(log, "INTR_MQTT_ERROR : Failed to create MQTT Client [-14] \n"), 2u) << log;
        EXPECT_EQ(count_of(log, "INTR_MQTT_INFO : --------------------------------- [0] \n"), 2u);
        EXPECT_EQ(count_of(log, "INTR_MQTT_ERROR : MQTT_INIT failed.\n"), 2u);
    }
    stdout_capture quiet;
    EXPECT_TRUE(connect_link());
}

TEST_F(MqttRecovery, DisconnectReleasesClientAndBufferWhetherConnectedOrNot)
{
    ASSERT_TRUE(connect_link());
    {
        stdout_capture out;
        EXPECT_EQ(MQTT_Disconnect(), 1);
        EXPECT_EQ(out.text(), "INTR_MQTT_ERROR : MQTT Handle distroied...\n"
                              "INTR_MQTT_INFO : Payload buffer free\n");
    }
    EXPECT_EQ(MQTT_Publish_Data(0, "{}"), 0);

    reserved_port absent;
    scoped_env address("DIAG_GW_BROKER", absent.uri());
    mqtt_link_begin();
    stdout_capture out;
    ASSERT_TRUE(drive_link_until(MQTT_RECONNECT)); // client and buffer, never connected
    EXPECT_EQ(MQTT_Disconnect(), 1);
    const std::string log = out.text();
    EXPECT_NE(log.find("INTR_MQTT_ERROR : Device not connected with Server\n"
                       "INTR_MQTT_ERROR : MQTT Handle distroied...\n"
                       "INTR_MQTT_INFO : Payload buffer free\n"),
              std::string::npos)
        << log;
}

// A lost connection reported while a pass is inside the library must not be
// overwritten by that pass's own success: here the subscription succeeds
// after the loss was reported, and the link still goes to reconnect.
TEST_F(MqttRecovery, LossReportedDuringSubscribeIsKept)
{
    stdout_capture out;
    ASSERT_TRUE(drive_link_until(MQTT_SUBSCRIBE));
    broker_.pause();
    std::thread link([] { mqtt_link_pass(); });
    const bool subscribing = eventually([&] { return broker_.unread_bytes() > 0; });
    if (subscribing)
        mqtt_change_state(MQTT_RECONNECT); // as the lost-connection callback does
    broker_.resume();
    link.join();
    ASSERT_TRUE(subscribing);
    EXPECT_EQ(mqtt_get_state(), MQTT_RECONNECT);
    EXPECT_NE(out.text().find("INTR_MQTT_INFO : successfully Subscribed topics\n"),
              std::string::npos);
}

// Publishing never waits for an earlier message's acknowledgement: with the
// broker frozen, back-to-back publications both return at once. (One message
// in flight would leave the second waiting for a PUBACK that never comes.)
TEST_F(MqttRecovery, PublicationsDoNotWaitForAFrozenBroker)
{
    ASSERT_TRUE(connect_link());
    stdout_capture quiet;
    broker_.pause();
    auto both = std::async(std::launch::async, [] {
        return MQTT_Publish_Data(0, "first") + MQTT_Publish_Data(0, "second");
    });
    const bool returned = both.wait_for(10s) == std::future_status::ready;
    broker_.resume(); // lets a blocked publication go on, so the test can end
    ASSERT_TRUE(returned) << "a publication waited for the frozen broker";
    EXPECT_EQ(both.get(), 2);
}

// The library takes up to ten messages while the broker is frozen; when the
// stall watchdog drops the connection (clean session) it forgets them. The
// bring-up words and the result are kept until the broker acknowledged them
// and reach the UI on the next connection, in order; the heartbeat word, now
// or never, does not come back.
TEST_F(MqttRecovery, MessagesTakenWhileTheBrokerWasFrozenArriveAfterTheDrop)
{
    ASSERT_TRUE(connect_link());
    outbox_clear();
    const std::vector<std::string> owed = {status_text("MODEDETECTED"), status_text("GOTINFO"),
                                           status_text("GOTPID"), status_text("DTC_CLEARED", 4),
                                           status_text("SAVSUC")};
    stdout_capture out;
    broker_.pause();
    for (const std::string &text : owed) {
        const bool result = text.find("\"CMD\":4") != std::string::npos;
        const delivery how = result ? delivery::latest_of_command : delivery::in_order;
        EXPECT_EQ(outbox_send(text.c_str(), how, result ? 4 : 0), outbox_result::sent); // the library takes it
    }
    EXPECT_EQ(outbox_send(status_text("ECU").c_str(), delivery::now_or_never), outbox_result::sent);
    ASSERT_TRUE(eventually(
        [] {
            mqtt_link_pass(); // connected passes: the stall watchdog
            return mqtt_get_state() != MQTT_CONNECTED;
        },
        40s));
    broker_.resume();
    broker_.stop();
    ASSERT_TRUE(broker_.restart());
    ASSERT_TRUE(drive_link_until(MQTT_CONNECTED));
    mqtt_test_client ui(broker_.uri());
    ASSERT_TRUE(ui.connect());
    ASSERT_TRUE(ui.subscribe(RESP_TOPIC));
    outbox_flush(); // the OBD thread's next pass

    std::vector<std::string> arrived;
    while (auto message = ui.wait_for([](const mqtt_test_message &) { return true; },
                                      arrived.size() < owed.size() ? MQTT_TEST_TIMEOUT : 500ms))
        arrived.push_back(message->payload);
    EXPECT_EQ(arrived, owed);
    EXPECT_TRUE(eventually([] { return outbox_size() == 0; })); // acknowledged, forgotten
    EXPECT_NE(out.text().find("INTR_MQTT_ERROR : Broker has not acknowledged for 20 s, dropping the "
                              "connection\n"),
              std::string::npos);
    outbox_clear();
}

// Eight ignition cycles while the broker is away: each bring-up replaces the
// words of the one before, so the UI gets the latest bring-up once, in
// order, after the result it was owed, which no status word evicted; the
// live documents of the outage are gone. The log says once that sending
// stopped and once that it works again, not at every message.
TEST_F(MqttRecovery, BringUpsDuringAnOutageReachTheUiOnceAsTheLatest)
{
    ASSERT_TRUE(connect_link());
    outbox_clear();
    stdout_capture out;
    broker_.stop();
    ASSERT_TRUE(eventually([] { return mqtt_get_state() != MQTT_CONNECTED; }));
    const std::string result = status_text("DTC_CLEARED", 4);
    EXPECT_EQ(outbox_send(result.c_str(), delivery::latest_of_command, 4), outbox_result::kept);
    const std::vector<std::string> bring_up = {status_text("MODEDETECTED"), status_text("GOTINFO"),
                                               status_text("GOTPID"), status_text("SAVSUC")};
    const std::string live = R"({"TYP":1,"CMD":2,"DATA":{"ENGRPM":"800"}})";
    for (int cycle = 0; cycle < 8; ++cycle) {
        EXPECT_EQ(outbox_send(status_text("NOECU").c_str(), delivery::now_or_never), outbox_result::dropped);
        outbox_begin_bringup();
        for (const std::string &word : bring_up)
            EXPECT_EQ(outbox_send(word.c_str(), delivery::in_order), outbox_result::kept);
        EXPECT_EQ(outbox_send(live.c_str(), delivery::now_or_never, 2), outbox_result::dropped);
        outbox_flush();
    }
    ASSERT_TRUE(broker_.restart());
    ASSERT_TRUE(drive_link_until(MQTT_CONNECTED, 100));
    mqtt_test_client ui(broker_.uri());
    ASSERT_TRUE(ui.connect());
    ASSERT_TRUE(ui.subscribe(RESP_TOPIC));
    outbox_flush(); // the OBD thread's next pass

    std::vector<std::string> owed = {result};
    owed.insert(owed.end(), bring_up.begin(), bring_up.end());
    std::vector<std::string> arrived;
    while (auto message = ui.wait_for([](const mqtt_test_message &) { return true; },
                                      arrived.size() < owed.size() ? MQTT_TEST_TIMEOUT : 500ms))
        arrived.push_back(message->payload);
    const std::string &log = out.text(); // failures below are seen
    EXPECT_EQ(arrived, owed);
    EXPECT_EQ(count_of(log, "INTR_MQTT_ERROR : Sending to the UI stopped working, 1 message(s) kept"), 1u) << log;
    EXPECT_EQ(count_of(log, "INTR_MQTT_INFO : Sending to the UI works again, 5 kept message(s) going out"), 1u);
    EXPECT_EQ(count_of(log, "Fail to send the data"), 0u);
    EXPECT_EQ(count_of(log, "Payload ["), owed.size()) << "only what went out";
    outbox_clear();
}

// A word repeated while the link was down (WRNGCFG every second) is kept
// once and goes out late with the next flush; the repeat handed in right
// after that flush is the same news, not a second message on the same
// connection, even when the broker acknowledged the late copy in between.
// The repeat after that goes out again.
TEST_F(MqttRecovery, WordKeptWhileDownGoesOutOnceWhenTheLinkComesUp)
{
    outbox_clear();
    mqtt_test_client ui(broker_.uri());
    ASSERT_TRUE(ui.connect());
    ASSERT_TRUE(ui.subscribe(RESP_TOPIC));
    stdout_capture quiet;
    const std::string wrong_config = status_text("WRNGCFG");
    EXPECT_EQ(outbox_send(wrong_config.c_str(), delivery::in_order), outbox_result::kept); // no link yet
    EXPECT_EQ(outbox_send(wrong_config.c_str(), delivery::in_order), outbox_result::kept);
    ASSERT_TRUE(connect_link());
    outbox_flush(); // the next pass starts
    ASSERT_TRUE(eventually([] { return outbox_size() == 0; })) << "acknowledged";
    outbox_send(wrong_config.c_str(), delivery::in_order); // and repeats the word
    quiet.text();                                          // failures below are seen
    ASSERT_TRUE(ui.wait_for(wrong_config));
    EXPECT_FALSE(ui.wait_for(wrong_config, 500ms)) << "twice on one connection";
    EXPECT_EQ(outbox_send(wrong_config.c_str(), delivery::in_order), outbox_result::sent); // a second later
    EXPECT_TRUE(ui.wait_for(wrong_config));
    outbox_clear();
}
