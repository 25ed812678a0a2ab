#include "link_fixture.h"

#include "mqtt/status_packet.h"

#include <array>
#include <string>

namespace {

std::string packet(int typ, int cmd, int error, const char *word)
{
    std::array<char, STATUS_PACKET_SIZE> out{};
    EXPECT_EQ(create_pkt_without_data(out.data(), typ, cmd, error, word), 1);
    return out.data();
}

struct status_case {
    int cmd;
    int error;
    const char *word;
    const char *expected;
};

// Every status packet the UI understands, byte for byte.
constexpr std::array<status_case, 13> STATUS_WORDS = {{
    {0, 1, "WRNGCFG", R"({"TYP":1,"CMD":0,"ERROR":1,"DATA":{"msg":"WRNGCFG"}})"},
    {0, 1, "NOECU", R"({"TYP":1,"CMD":0,"ERROR":1,"DATA":{"msg":"NOECU"}})"},
    {0, 0, "MODEDETECTED", R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"MODEDETECTED"}})"},
    {0, 0, "GOTINFO", R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"GOTINFO"}})"},
    {0, 0, "GOTPID", R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"GOTPID"}})"},
    {0, 0, "SAVSUC", R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"SAVSUC"}})"},
    {0, 0, "ECU", R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"ECU"}})"},
    {0, 0, "GOTECU", R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"GOTECU"}})"},
    {1, 1, "COMER", R"({"TYP":1,"CMD":1,"ERROR":1,"DATA":{"msg":"COMER"}})"},
    {2, 1, "COMER", R"({"TYP":1,"CMD":2,"ERROR":1,"DATA":{"msg":"COMER"}})"},
    {2, 1, "NORES", R"({"TYP":1,"CMD":2,"ERROR":1,"DATA":{"msg":"NORES"}})"},
    {4, 1, "NORES", R"({"TYP":1,"CMD":4,"ERROR":1,"DATA":{"msg":"NORES"}})"},
    {4, 0, "DTC_CLEARED", R"({"TYP":1,"CMD":4,"ERROR":0,"DATA":{"msg":"DTC_CLEARED"}})"},
}};

} // namespace

TEST(StatusPacket, EveryStatusWordIsByteExact)
{
    for (const status_case &c : STATUS_WORDS)
        EXPECT_EQ(packet(1, c.cmd, c.error, c.word), c.expected) << c.word;
}

TEST(StatusPacket, LongestPacketHas57Characters)
{
    EXPECT_EQ(packet(1, 0, 0, "MODEDETECTED").size(), 57u);
}

TEST(StatusPacket, NullWordGivesEmptyData)
{
    EXPECT_EQ(packet(1, 0, 0, nullptr), R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{}})");
}

TEST(StatusPacket, NegativeCommandIsPrintedAsIs)
{
    EXPECT_EQ(packet(1, -1, 1, "NOECU"), R"({"TYP":1,"CMD":-1,"ERROR":1,"DATA":{"msg":"NOECU"}})");
}

TEST(StatusPacket, NullOutputIsRefusedWithMessage)
{
    stdout_capture out;
    EXPECT_EQ(create_pkt_without_data(nullptr, 1, 0, 1, "NOECU"), 0);
    EXPECT_EQ(out.text(), "OBD2_ERROR: Output buffer is NULL\n");
}

TEST(StatusPacket, ReplacesPreviousContentWithItsTerminator)
{
    std::array<char, STATUS_PACKET_SIZE> out;
    out.fill('x');
    ASSERT_EQ(create_pkt_without_data(out.data(), 1, 0, 0, "ECU"), 1);
    EXPECT_STREQ(out.data(), R"({"TYP":1,"CMD":0,"ERROR":0,"DATA":{"msg":"ECU"}})");
}
