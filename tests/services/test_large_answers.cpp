// Answers at the transport's limit (4095 payload bytes) and single frames
// with fill bytes, played by a scripted ECU that never loses a frame.
#include "svc_scripted_ecu.h"

#include "c_handles.h"
#include "obd2/config_file.h"
#include "obd2/dtc_read.h"
#include "obd2/live_data.h"
#include "obd2/obd2_types.h"
#include "obd2/pid_catalogue.h"
#include "obd2/vehicle_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

namespace {

// Answers by exact request payload; anything else stays unanswered.
svc_scripted_ecu::answer_fn answers(std::map<svc_bytes, svc_bytes> table)
{
    return [table = std::move(table)](const svc_bytes &request) -> std::optional<svc_bytes> {
        auto found = table.find(request);
        if (found == table.end())
            return std::nullopt;
        return found->second;
    };
}

// 43/47/4A, count byte (capped at 255 like the ECU's), `n` network codes U0001...
svc_bytes dtc_payload(std::uint8_t service, int n)
{
    svc_bytes payload = {service, static_cast<std::uint8_t>(std::min(n, 255))};
    for (int i = 1; i <= n; ++i) {
        payload.push_back(static_cast<std::uint8_t>(0xC0 | (i >> 8)));
        payload.push_back(static_cast<std::uint8_t>(i & 0xFF));
    }
    return payload;
}

void select_all_dtc_kinds()
{
    std::memset(g_dtc_names, 0, sizeof g_dtc_names);
    std::strcpy(g_dtc_names[0], "STRDTC");
    std::strcpy(g_dtc_names[1], "PNDDTC");
    std::strcpy(g_dtc_names[2], "PRMDTC");
    g_dtc_count = 3;
}

class LargeAnswers : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_can_padding = 0xAA;
        g_ecu_list[0] = {0x7E8, ADDR_MODE_11BIT};
        g_ecu_count = 1;
    }
    void TearDown() override
    {
        g_ecu_count = 0;
        g_dtc_count = 0;
        g_live_sensor_count = 0;
    }
};

} // namespace

TEST_F(LargeAnswers, TwoThousandTroubleCodesStillGiveAValidDocument)
{
    // 4002-byte answers: 255 codes per kind (the count byte's limit) need
    // more than twice the document's room.
    svc_scripted_ecu ecu(ADDR_MODE_11BIT, answers({{{0x03}, dtc_payload(0x43, 2000)},
                                                   {{0x07}, dtc_payload(0x47, 2000)},
                                                   {{0x0A}, dtc_payload(0x4A, 2000)}}));
    select_all_dtc_kinds();

    testing::internal::CaptureStdout();
    std::string document = handle_dtc_command();
    std::string log = testing::internal::GetCapturedStdout();

    ASSERT_EQ(ecu.requests().size(), 3u);
    EXPECT_LT(document.size(), static_cast<std::size_t>(FINAL_JSON_SIZE));
    json_ptr parsed(cJSON_Parse(document.c_str()));
    ASSERT_TRUE(parsed) << document;
    EXPECT_EQ(document.rfind(R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["U0001",)", 0), 0u);
    const cJSON *data = cJSON_GetObjectItemCaseSensitive(parsed.get(), "DATA");
    int kept = 0;
    for (const char *key : {"STRDTC", "PNDDTC", "PRMDTC"}) {
        const cJSON *list = cJSON_GetObjectItemCaseSensitive(data, key);
        ASSERT_TRUE(cJSON_IsArray(list)) << key;
        int size = cJSON_GetArraySize(list);
        EXPECT_GT(size, 100) << key; // every kind keeps a fair share
        // The codes in the order the ECU sent them.
        for (int i = 0; i < std::min(size, 255); ++i) {
            char want[16];
            std::snprintf(want, sizeof want, "U%04X", i + 1);
            ASSERT_STREQ(cJSON_GetArrayItem(list, i)->valuestring, want) << key;
        }
        kept += size;
    }
    // Three kinds, 255 codes each.
    std::string warning = "OBD2 WARN: " + std::to_string(3 * 255 - kept) +
                          " trouble codes left out: the document would exceed 3071 characters\n";
    EXPECT_NE(log.find(warning), std::string::npos) << warning;
}

TEST_F(LargeAnswers, StoredCodesLeftInAShortenedDocumentAreAllPending)
{
    // Stored: the last ten pending codes, which are the first to be left out
    // of a pending list too long for the document.
    svc_bytes stored = {0x43, 10};
    for (int i = 246; i <= 255; ++i)
        stored.insert(stored.end(), {0xC0, static_cast<std::uint8_t>(i)});
    svc_scripted_ecu ecu(ADDR_MODE_11BIT, answers({{{0x03}, stored},
                                                   {{0x07}, dtc_payload(0x47, 255)},
                                                   {{0x0A}, dtc_payload(0x4A, 255)}}));
    select_all_dtc_kinds();

    testing::internal::CaptureStdout();
    std::string document = handle_dtc_command();
    testing::internal::GetCapturedStdout();

    json_ptr parsed(cJSON_Parse(document.c_str()));
    ASSERT_TRUE(parsed) << document;
    const cJSON *data = cJSON_GetObjectItemCaseSensitive(parsed.get(), "DATA");
    const cJSON *pending = cJSON_GetObjectItemCaseSensitive(data, "PNDDTC");
    ASSERT_LT(cJSON_GetArraySize(pending), 255) << "the document was not shortened";
    const cJSON *code = nullptr;
    cJSON_ArrayForEach(code, cJSON_GetObjectItemCaseSensitive(data, "STRDTC"))
    {
        bool also_pending = false;
        const cJSON *other = nullptr;
        cJSON_ArrayForEach(other, pending) { also_pending |= std::strcmp(other->valuestring, code->valuestring) == 0; }
        EXPECT_TRUE(also_pending) << code->valuestring << " is stored but no longer pending";
    }
}

TEST_F(LargeAnswers, LongestVehicleInformationIsCutToItsRecord)
{
    svc_bytes vin = {0x49, 0x02, 0x01};
    vin.insert(vin.end(), 4092, 'V');
    svc_bytes cvn = {0x49, 0x06};
    cvn.insert(cvn.end(), 4093, 0xAB);
    svc_scripted_ecu ecu(ADDR_MODE_11BIT, answers({{{0x09, 0x02}, vin},
                                                   {{0x09, 0x04}, {0x49, 0x04, 0x01, 'C', 'A', 'L'}},
                                                   {{0x09, 0x06}, cvn},
                                                   {{0x09, 0x0A}, {0x49, 0x0A, 0x01, 'E', 'C', 'M', 0x00}}}));

    EXPECT_EQ(get_vehicle_info(ECM_11BIT), 1);

    ASSERT_EQ(g_vehicle_info_count, 4);
    EXPECT_EQ(std::string(g_vehicle_info[0].text), std::string(127, 'V'));
    std::string hex;
    for (int i = 0; i < 63; ++i)
        hex += "AB";
    EXPECT_EQ(std::string(g_vehicle_info[2].text), hex);
    // Fill bytes of a single frame (0x55 here, printable) are not text.
    EXPECT_STREQ(g_vehicle_info[1].text, "CAL");
    EXPECT_STREQ(g_vehicle_info[3].text, "ECM");
}

TEST_F(LargeAnswers, ShortSingleFramesDoNotReadFillBytes)
{
    svc_scripted_ecu ecu(ADDR_MODE_11BIT, answers({{{0x09, 0x02}, {0x49, 0x02}},
                                                   {{0x09, 0x04}, {0x49, 0x04, 0x01}},
                                                   {{0x09, 0x06}, {0x49, 0x06, 0x01, 0x12, 0x34}},
                                                   {{0x09, 0x0A}, {0x49, 0x0A}},
                                                   {{0x01, 0x0C}, {0x41, 0x0C, 0x1A}},
                                                   {{0x01, 0x0D}, {0x41, 0x0D, 0x32}}}));

    testing::internal::CaptureStdout();
    EXPECT_EQ(get_vehicle_info(ECM_11BIT), 1);
    std::string log = testing::internal::GetCapturedStdout();
    ASSERT_EQ(g_vehicle_info_count, 1);
    EXPECT_STREQ(g_vehicle_info[0].text, "011234");
    EXPECT_NE(log.find("OBD2 WARN: No payload for InfoType 02\n"), std::string::npos);
    EXPECT_NE(log.find("OBD2 WARN: Payload contains only padding for InfoType 04\n"), std::string::npos);

    // An engine speed answer that carries only its first data byte.
    std::strcpy(g_live_sensor_names[0], "ENGRPM");
    std::strcpy(g_live_sensor_names[1], "SPD");
    g_live_sensor_count = 2;
    get_pid_list(ADDR_MODE_11BIT);
    EXPECT_STREQ(handle_live_mode(0, ECM_11BIT),
                 "{\n  \"TYP\": 1,\n  \"CMD\": 2,\n  \"DATA\": {\n    \"ENGRPM\": 0.00,\n    \"SPD\": 50.00\n  }\n}");
}
