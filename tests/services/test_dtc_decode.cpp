// Decoding trouble-code answers into JSON lists, and the stored-and-pending
// filter.
#include "c_handles.h"
#include "obd2/config_file.h"
#include "obd2/dtc_read.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Response buffer of a multi-frame answer: low length byte, then the payload.
std::vector<std::uint8_t> dtc_answer(std::uint8_t service, int count, const std::vector<std::uint8_t> &codes)
{
    std::vector<std::uint8_t> resp(3 + codes.size());
    resp[0] = static_cast<std::uint8_t>(2 + codes.size());
    resp[1] = service;
    resp[2] = static_cast<std::uint8_t>(count);
    std::copy(codes.begin(), codes.end(), resp.begin() + 3);
    return resp;
}

std::string decode(const std::vector<std::uint8_t> &resp) { return decode_dtc_array(resp.data(), resp.size()); }

// Two code bytes for P/C/B/U codes numbered 0..n-1 (P0000 is filler, so from 1).
std::vector<std::uint8_t> numbered_codes(int first, int n)
{
    std::vector<std::uint8_t> bytes;
    for (int i = first; i < first + n; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(i >> 8));
        bytes.push_back(static_cast<std::uint8_t>(i & 0xFF));
    }
    return bytes;
}

std::string json_array_text(const std::vector<std::string> &items)
{
    std::string text = "[";
    for (std::size_t i = 0; i < items.size(); ++i)
        text += (i ? ", \"" : "\"") + items[i] + "\"";
    return text + "]";
}

} // namespace

TEST(DtcDecode, ReportsPowertrainAndNetworkCodesInOrder)
{
    EXPECT_EQ(decode({0x06, 0x43, 0x02, 0x01, 0x33, 0xC1, 0x00}), "[\"P0133\", \"U0100\"]");
    EXPECT_EQ(decode({0x06, 0x47, 0x02, 0xFF, 0xFF, 0xC4, 0x20}), "[\"U3FFF\", \"U0420\"]");
}

TEST(DtcDecode, DropsChassisBodyManufacturerCodesAndFiller)
{
    std::vector<std::uint8_t> resp = dtc_answer(0x4A, 6, {0x41, 0x23, 0x81, 0x23, 0x31, 0x00, 0x00, 0x00,
                                                          0x21, 0x00, 0x04, 0x20});
    EXPECT_EQ(decode(resp), "[\"P2100\", \"P0420\"]");
}

TEST(DtcDecode, EmptyAndForeignAnswersGiveAnEmptyList)
{
    EXPECT_EQ(decode({0x02, 0x43, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55}), "[]");
    EXPECT_EQ(decode({0x03, 0x43, 0x01}), "[]");
    EXPECT_EQ(decode({0x04, 0x41, 0x01, 0x01, 0x33}), "[]");
    EXPECT_EQ(decode({0x03, 0x7F, 0x03, 0x12, 0x55, 0x55, 0x55, 0x55}), "[]");
    EXPECT_EQ(decode({0x04, 0x43, 0x01, 0x00, 0x00}), "[]");
    EXPECT_STREQ(decode_dtc_array(nullptr, 8), "[]");
}

TEST(DtcDecode, CountLargerThanTheDataStopsAtTheEnd)
{
    EXPECT_EQ(decode(dtc_answer(0x43, 9, {0x01, 0x33, 0x04})), "[\"P0133\"]");
}

TEST(DtcDecode, CountSmallerThanTheDataStopsAtTheCount)
{
    EXPECT_EQ(decode(dtc_answer(0x43, 1, {0x01, 0x33, 0x04, 0x20})), "[\"P0133\"]");
}

TEST(DtcDecode, RepeatsAreReportedOnceAmongTheFirstTwentyCodes)
{
    EXPECT_EQ(decode(dtc_answer(0x43, 3, {0x01, 0x33, 0x01, 0x33, 0x04, 0x20})), "[\"P0133\", \"P0420\"]");

    // 20 distinct codes fill the memory; the 21st is then reported each time.
    std::vector<std::uint8_t> codes = numbered_codes(1, 21);
    codes.push_back(0x00);
    codes.push_back(0x15); // P0015 again: not remembered
    codes.push_back(0x00);
    codes.push_back(0x01); // P0001 again: remembered
    std::vector<std::string> want;
    for (int i = 1; i <= 21; ++i) {
        char text[8];
        std::snprintf(text, sizeof text, "P%04X", i);
        want.push_back(text);
    }
    want.push_back("P0015");
    EXPECT_EQ(decode(dtc_answer(0x43, 23, codes)), json_array_text(want));
}

TEST(DtcDecode, LargestAnswerFitsTheListBuffer)
{
    // 255 codes in a 4095-byte transfer (the count byte stops the rest).
    std::vector<std::uint8_t> codes = numbered_codes(0xC000, 2046);
    std::vector<std::uint8_t> resp = dtc_answer(0x43, 255, codes);
    resp[0] = 0xFF;
    std::string text = decode(resp);
    json_ptr list(cJSON_Parse(text.c_str()));
    ASSERT_TRUE(list);
    EXPECT_EQ(cJSON_GetArraySize(list.get()), 255);
    EXPECT_STREQ(cJSON_GetArrayItem(list.get(), 254)->valuestring, "U00FE");
    EXPECT_LT(text.size(), 3072u);
}

namespace {

json_ptr parse(const char *text) { return json_ptr(cJSON_Parse(text)); }

std::string print(const cJSON *item)
{
    json_text_ptr text(cJSON_PrintUnformatted(item));
    return text ? text.get() : "";
}

} // namespace

TEST(DtcFilter, KeepsOnlyStoredCodesThatArePending)
{
    json_ptr stored = parse(R"(["P0133","P0420","U0100"])");
    json_ptr pending = parse(R"(["U0100","P0420"])");
    keep_only_pending_in_stored(stored.get(), pending.get());
    EXPECT_EQ(print(stored.get()), R"(["P0420","U0100"])");
    EXPECT_EQ(print(pending.get()), R"(["U0100","P0420"])");
}

TEST(DtcFilter, EmptyPendingEmptiesStoredAndNonTextsGo)
{
    json_ptr stored = parse(R"(["P0133",7,null,"P0420"])");
    json_ptr pending = parse(R"([])");
    keep_only_pending_in_stored(stored.get(), pending.get());
    EXPECT_EQ(print(stored.get()), "[]");

    json_ptr stored2 = parse(R"([1,"P0420",{"a":1}])");
    json_ptr pending2 = parse(R"([42,"P0420"])");
    keep_only_pending_in_stored(stored2.get(), pending2.get());
    EXPECT_EQ(print(stored2.get()), R"(["P0420"])");
}

TEST(DtcFilter, MissingListsAreLeftAlone)
{
    json_ptr stored = parse(R"(["P0133"])");
    keep_only_pending_in_stored(stored.get(), nullptr);
    keep_only_pending_in_stored(nullptr, stored.get());
    EXPECT_EQ(print(stored.get()), R"(["P0133"])");
}

TEST(DtcConfiguration, KindNamesAreCopiedCutAndTerminated)
{
    std::memset(g_dtc_names, 0, sizeof g_dtc_names);
    std::snprintf(g_dtc_names[0], CONFIG_NAME_SIZE, "STRDTC");
    std::memset(g_dtc_names[1], 'B', CONFIG_NAME_SIZE);
    g_dtc_count = 2;
    char names[MAX_DTC_KINDS][CONFIG_NAME_SIZE];
    std::memset(names, 'x', sizeof names);
    int count = -1;
    get_dtc_info(&count, names);
    EXPECT_EQ(count, 2);
    EXPECT_STREQ(names[0], "STRDTC");
    EXPECT_EQ(std::strlen(names[1]), 63u);

    g_dtc_count = 12;
    get_dtc_info(&count, names);
    EXPECT_EQ(count, MAX_DTC_KINDS);
    g_dtc_count = 0;
}
