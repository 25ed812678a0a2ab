// The relay packet parser: which members switch which relay, and the exact
// messages for packets it refuses.
#include "gpio/relay_driver.h"
#include "gpio/relay_thread.h"

#include <array>
#include <gtest/gtest.h>
#include <string>

namespace {

class RelayPacket : public ::testing::Test {
protected:
    void SetUp() override { set_all(0); }

    static void set_all(int state)
    {
        for (int &s : g_arr_do_states)
            s = state;
    }

    // Parses `text` and returns what the parser printed; `result` gets its return value.
    static std::string parse(std::string text, int &result)
    {
        testing::internal::CaptureStdout();
        result = parse_do_packet(text.data());
        return testing::internal::GetCapturedStdout();
    }

    static int parse(std::string text)
    {
        int result = -1;
        parse(std::move(text), result);
        return result;
    }

    static std::array<int, NUM_RELAYS> states()
    {
        std::array<int, NUM_RELAYS> copy{};
        for (int relay = 0; relay < NUM_RELAYS; ++relay)
            copy[relay] = g_arr_do_states[relay];
        return copy;
    }
};

constexpr std::array<int, NUM_RELAYS> ALL_OFF{};

std::string packet_with_do(const std::string &do_members)
{
    return R"({"TYP":2,"DATA":{"params":{"DO":{)" + do_members + "}}}}";
}

TEST_F(RelayPacket, ExampleSwitchesRelayZeroOnAndFiveOffOnly)
{
    set_all(1);
    g_arr_do_states[0] = 0;
    EXPECT_EQ(parse(R"({"TYP":2,"DATA":{"params":{"DO":{"DO0":1,"DO5":0}}}})"), 1);
    std::array<int, NUM_RELAYS> expected;
    expected.fill(1);
    expected[5] = 0;
    EXPECT_EQ(states(), expected);
}

TEST_F(RelayPacket, EmptyDoObjectIsAcceptedAndChangesNothing)
{
    g_arr_do_states[2] = 1;
    int result = 0;
    EXPECT_EQ(parse(packet_with_do(""), result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(g_arr_do_states[2], 1);
}

TEST_F(RelayPacket, MembersBeyondDo11AreIgnored)
{
    EXPECT_EQ(parse(packet_with_do(R"("DO12":1,"DO11":1,"DO-1":1,"DO99":1)")), 1);
    std::array<int, NUM_RELAYS> expected{};
    expected[11] = 1;
    EXPECT_EQ(states(), expected);
}

TEST_F(RelayPacket, AnyNonZeroIntegerSwitchesOn)
{
    EXPECT_EQ(parse(packet_with_do(R"("DO3":2,"DO4":-1,"DO6":1e300)")), 1);
    EXPECT_EQ(g_arr_do_states[3], 1);
    EXPECT_EQ(g_arr_do_states[4], 1);
    EXPECT_EQ(g_arr_do_states[6], 1);
}

TEST_F(RelayPacket, FractionIsDroppedBeforeTheComparison)
{
    set_all(1);
    EXPECT_EQ(parse(packet_with_do(R"("DO0":0.5,"DO1":-0.9,"DO2":1.5,"DO3":0)")), 1);
    EXPECT_EQ(g_arr_do_states[0], 0);
    EXPECT_EQ(g_arr_do_states[1], 0);
    EXPECT_EQ(g_arr_do_states[2], 1);
    EXPECT_EQ(g_arr_do_states[3], 0);
}

TEST_F(RelayPacket, NonNumberMembersLeaveTheirRelayUnchanged)
{
    g_arr_do_states[1] = 1;
    EXPECT_EQ(parse(packet_with_do(R"("DO0":true,"DO1":false,"DO2":"1","DO3":null,"DO4":[1],"DO5":{})")),
              1);
    std::array<int, NUM_RELAYS> expected{};
    expected[1] = 1;
    EXPECT_EQ(states(), expected);
}

TEST_F(RelayPacket, MemberNamesMatchInAnyLetterCase)
{
    EXPECT_EQ(parse(R"({"typ":2,"data":{"PARAMS":{"do":{"do3":1,"Do10":1}}}})"), 1);
    std::array<int, NUM_RELAYS> expected{};
    expected[3] = 1;
    expected[10] = 1;
    EXPECT_EQ(states(), expected);
}

TEST_F(RelayPacket, OtherMembersAreIgnored)
{
    EXPECT_EQ(parse(R"({"TYP":2,"CMD":9,"DATA":{"x":1,"params":{"y":2,"DO":{"DO8":1}}}})"), 1);
    EXPECT_EQ(g_arr_do_states[8], 1);
}

struct refused_packet {
    const char *text;
    const char *message;
};

TEST_F(RelayPacket, RefusedPacketsPrintTheirReasonAndChangeNothing)
{
    const refused_packet cases[] = {
        {R"({"TYP":2,"DATA":{"params":{"DO":{"DO1":1})", "DO_ERROR: Invalid JSON format\n"},
        {"", "DO_ERROR: Invalid JSON format\n"},
        {R"({"TYP":2})", "DO_ERROR: Missing DATA object\n"},
        {R"({"TYP":2,"DATA":5})", "DO_ERROR: Missing DATA object\n"},
        {R"([{"DATA":{"params":{"DO":{"DO1":1}}}}])", "DO_ERROR: Missing DATA object\n"},
        {R"({"TYP":2,"DATA":{}})", "DO_ERROR: Missing params object\n"},
        {R"({"TYP":2,"DATA":{"params":[]}})", "DO_ERROR: Missing params object\n"},
        {R"({"TYP":2,"DATA":{"params":{}}})", "DO_ERROR: DO object missing\n"},
        {R"({"TYP":2,"DATA":{"params":{"DO":"DO1"}}})", "DO_ERROR: DO object missing\n"},
        {R"({"TYP":2,"DO":{"DO1":1}})", "DO_ERROR: Missing DATA object\n"},
    };
    for (const refused_packet &c : cases) {
        SCOPED_TRACE(c.text);
        int result = -1;
        EXPECT_EQ(parse(c.text, result), c.message);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(states(), ALL_OFF);
    }
}

TEST_F(RelayPacket, NullTextIsRefusedAsInvalidJson)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse_do_packet(nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "DO_ERROR: Invalid JSON format\n");
}

} // namespace
