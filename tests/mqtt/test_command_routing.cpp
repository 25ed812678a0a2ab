#include "link_fixture.h"

#include <atomic>
#include <set>
#include <string>
#include <thread>

namespace {

class CommandRouting : public ::testing::Test {
protected:
    void SetUp() override { reset_routing_state(); }
    void TearDown() override { reset_routing_state(); }
};

// A JSON text of exactly `length` characters: `head` padded with blanks
// before the closing brace.
std::string json_of_length(const std::string &head, std::size_t length)
{
    std::string text = head;
    text.append(length - head.size() - 1, ' ');
    text += '}';
    return text;
}

int parse_quietly(std::string *printed = nullptr)
{
    stdout_capture out;
    const int cmd = parse_received_cmd();
    if (printed)
        *printed = out.text();
    return cmd;
}

std::string queued_relay_packet()
{
    relay_packet packet{};
    if (!relay_mailbox_pop(packet))
        return "<none>";
    return packet.data();
}

} // namespace

TEST_F(CommandRouting, ObdCommandReachesMailboxAndParseCommandState)
{
    const auto generation = obd_command_generation();
    handle_incoming_packet(R"({"TYP":1,"CMD":2})");
    EXPECT_EQ(mailbox_text(), R"({"TYP":1,"CMD":2})");
    EXPECT_EQ(g_obd2_com_thrd_state.load(), PARSE_COMMAND);
    EXPECT_EQ(obd_command_generation(), generation + 1); // the OBD thread's pause is woken

    std::string printed;
    EXPECT_EQ(parse_quietly(&printed), 2);
    EXPECT_EQ(printed, "[DEBUG] TYP=1, CMD=2\n");
}

TEST_F(CommandRouting, ParseCommandReplacesAnyPreviousState)
{
    change_obd2_thrd_state(IDLE);
    handle_incoming_packet(R"({"TYP":1,"CMD":1})");
    EXPECT_EQ(g_obd2_com_thrd_state.load(), PARSE_COMMAND);
    change_obd2_thrd_state(EXECUTE_COMMAND);
    handle_incoming_packet(R"({"TYP":1,"CMD":4})");
    EXPECT_EQ(g_obd2_com_thrd_state.load(), PARSE_COMMAND);
}

TEST_F(CommandRouting, CommandNumberIsReadTextually)
{
    struct {
        const char *text;
        int cmd;
    } cases[] = {
        {R"({"TYP" : 1, "CMD" : 4})", 4},         // blanks around the colons
        {R"({"TYP":1,"CMD":"4"})", -1},           // a string is no number
        {R"({"typ":1,"cmd":2})", -1},             // routed, but the reader wants upper case
        {R"({"TYP":1})", -1},                     // no CMD at all
        {R"({"TYP":1,"CMD":-3})", -3},            // sign as %d reads it
        {R"({"TYP":1,"CMD":99999999999})", -1},   // beyond int: unreadable, not undefined
        {R"({"TYP":1,"DATA":{"CMD":7},"CMD":2})", 7}, // the first "CMD" wins
    };
    for (const auto &c : cases) {
        handle_incoming_packet(c.text);
        EXPECT_EQ(g_obd2_com_thrd_state.load(), PARSE_COMMAND) << c.text;
        EXPECT_EQ(parse_quietly(), c.cmd) << c.text;
    }
}

TEST_F(CommandRouting, DebugLinePrintsBothNumbers)
{
    handle_incoming_packet(R"({"typ":1,"CMD":5})");
    std::string printed;
    EXPECT_EQ(parse_quietly(&printed), 5);
    EXPECT_EQ(printed, "[DEBUG] TYP=-1, CMD=5\n");
}

TEST_F(CommandRouting, ShorterCommandLeavesNothingOfThePreviousOne)
{
    handle_incoming_packet(R"({"TYP":1,"CMD":2,"DATA":{"PADDING":"xxxxxxxxxxxxxxxx"}})");
    handle_incoming_packet(R"({"TYP":1,"CMD":1})");
    EXPECT_EQ(mailbox_text(), R"({"TYP":1,"CMD":1})");
    std::lock_guard lock(obd_state_mutex);
    for (std::size_t i = std::strlen(g_can_cmd); i < sizeof g_can_cmd; ++i)
        ASSERT_EQ(g_can_cmd[i], '\0') << "byte " << i;
}

TEST_F(CommandRouting, BadTypeHandsNothingOn)
{
    struct {
        const char *text;
        const char *message;
    } cases[] = {
        {R"({"TYP":"2"})", "ERROR: 'TYP' field missing or not a number.\n"},
        {R"({"CMD":1})", "ERROR: 'TYP' field missing or not a number.\n"},
        {R"([1,2])", "ERROR: 'TYP' field missing or not a number.\n"},
        {R"({"TYP":3})", "MQTT_ERROR : Unknown TYP value: 3\n"},
        {R"({"TYP":0,"CMD":1})", "MQTT_ERROR : Unknown TYP value: 0\n"},
        {R"({"TYP":1,"CMD":1)", "ERROR: Invalid JSON format.\n"},
        {"", "ERROR: Invalid JSON format.\n"},
        {"TYP=1", "ERROR: Invalid JSON format.\n"},
    };
    for (const auto &c : cases) {
        stdout_capture out;
        handle_incoming_packet(c.text);
        EXPECT_EQ(out.text(), c.message) << c.text;
    }
    EXPECT_EQ(mailbox_text(), "");
    EXPECT_EQ(g_obd2_com_thrd_state.load(), 0);
    EXPECT_EQ(g_gpio_state.load(), DO_IDLE);
    EXPECT_EQ(relay_mailbox_size(), 0u);
}

TEST_F(CommandRouting, RelayPacketIsQueuedPrintedOnceAndWakesRelayThread)
{
    const std::string text = R"({"TYP":2,"DATA":{"params":{"DO":{"DO3":1}}}})";
    stdout_capture out;
    handle_incoming_packet(text.c_str());
    EXPECT_EQ(out.text(), "DO_INFO : PACKET : " + text + "\n");
    EXPECT_EQ(g_gpio_state.load(), DO_PARSE);
    EXPECT_EQ(queued_relay_packet(), text);
    EXPECT_EQ(mailbox_text(), ""); // nothing for the OBD side
}

TEST_F(CommandRouting, RelayPacketsAreKeptInArrivalOrder)
{
    stdout_capture out;
    handle_incoming_packet(R"({"TYP":2,"DATA":{"params":{"DO":{"DO1":1}}}})");
    handle_incoming_packet(R"({"TYP":2,"DATA":{"params":{"DO":{"DO2":1}}}})");
    out.text();
    EXPECT_EQ(queued_relay_packet(), R"({"TYP":2,"DATA":{"params":{"DO":{"DO1":1}}}})");
    EXPECT_EQ(queued_relay_packet(), R"({"TYP":2,"DATA":{"params":{"DO":{"DO2":1}}}})");
}

TEST_F(CommandRouting, FullRelayQueueDropsTheNewestWithMessage)
{
    {
        stdout_capture out;
        for (std::size_t i = 0; i < RELAY_QUEUE_DEPTH; ++i)
            get_gpio_cntrl_pkt(("{\"TYP\":2,\"N\":" + std::to_string(i) + "}").c_str());
    }
    change_gpio_state(DO_IDLE);
    stdout_capture out;
    get_gpio_cntrl_pkt(R"({"TYP":2,"N":99})");
    EXPECT_EQ(out.text(), "DO_ERROR: Relay packet queue full (16 waiting), packet dropped: "
                          "{\"TYP\":2,\"N\":99}\n");
    EXPECT_EQ(g_gpio_state.load(), DO_IDLE);
    EXPECT_EQ(relay_mailbox_size(), RELAY_QUEUE_DEPTH);
    EXPECT_EQ(queued_relay_packet(), R"({"TYP":2,"N":0})"); // the oldest are kept
}

TEST_F(CommandRouting, NullRelayPacketIsRefused)
{
    stdout_capture out;
    get_gpio_cntrl_pkt(nullptr);
    EXPECT_EQ(out.text(), "DO_ERROR: Null packet received\n");
    EXPECT_EQ(relay_mailbox_size(), 0u);
}

TEST_F(CommandRouting, ObdCommandUpTo199CharactersIsAcceptedWhole)
{
    const std::string text = json_of_length(R"({"TYP":1,"CMD":2)", 199);
    handle_incoming_packet(text.c_str());
    EXPECT_EQ(mailbox_text(), text);
    EXPECT_EQ(parse_quietly(), 2);
}

TEST_F(CommandRouting, ObdCommandOf200CharactersIsRefusedNotCut)
{
    handle_incoming_packet(R"({"TYP":1,"CMD":1})");
    change_obd2_thrd_state(IDLE);
    const auto generation = obd_command_generation();

    for (std::size_t length : {200u, 500u, 1023u}) {
        const std::string text = json_of_length(R"({"TYP":1,"CMD":2)", length);
        stdout_capture out;
        handle_incoming_packet(text.c_str());
        EXPECT_EQ(out.text(), "INTR_MQTT_ERROR : Command of " + std::to_string(length) +
                                  " characters exceeds the 199-character command mailbox, "
                                  "refused\n");
    }
    EXPECT_EQ(mailbox_text(), R"({"TYP":1,"CMD":1})"); // the previous command is untouched
    EXPECT_EQ(g_obd2_com_thrd_state.load(), IDLE);
    EXPECT_EQ(obd_command_generation(), generation);
}

TEST_F(CommandRouting, RelayPacketUpTo499CharactersIsAcceptedWhole)
{
    const std::string text = json_of_length(R"({"TYP":2,"DATA":{"DO0":1})", 499);
    stdout_capture out;
    handle_incoming_packet(text.c_str());
    out.text();
    EXPECT_EQ(queued_relay_packet(), text);
}

TEST_F(CommandRouting, RelayPacketOf500CharactersIsRefusedNotCut)
{
    for (std::size_t length : {500u, 1023u}) {
        const std::string text = json_of_length(R"({"TYP":2,"DATA":{"DO0":1})", length);
        stdout_capture out;
        handle_incoming_packet(text.c_str());
        EXPECT_EQ(out.text(), "DO_ERROR: Relay packet of " + std::to_string(length) +
                                  " characters exceeds 499 characters, refused\n");
    }
    EXPECT_EQ(relay_mailbox_size(), 0u);
    EXPECT_EQ(g_gpio_state.load(), DO_IDLE);
}

// The reader must never see a mix of two commands, nor a text without its
// terminator, while the callback thread keeps writing.
TEST_F(CommandRouting, ReaderNeverSeesHalfWrittenCommand)
{
    const std::string long_text = json_of_length(R"({"TYP":1,"CMD":12)", 199);
    const std::string short_text = R"({"TYP":1,"CMD":3})";
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i)
            command_for_can(i % 2 ? short_text.c_str() : long_text.c_str());
        done = true;
    });
    std::set<int> seen;
    stdout_capture out; // the debug lines
    while (!done)
        seen.insert(parse_received_cmd());
    writer.join();
    for (int cmd : seen)
        EXPECT_TRUE(cmd == 12 || cmd == 3 || cmd == -1) << cmd; // -1: read before the first write
}
