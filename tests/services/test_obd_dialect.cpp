// The two dialects byte for byte: the requests each question puts on the bus,
// which frames answer them, and what the OBD-on-UDS answers decode to.
#include "svc_scripted_ecu.h"

#include "obd2/config_file.h"
#include "obd2/dialect/obd_dialect.h"
#include "obd2/dialect/vehicle_detection.h"
#include "obd2/dtc_read.h"
#include "obd2/freeze_frame.h"
#include "obd2/isotp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

bytes request(obd_dialect dialect, obd_question question, const bytes &args)
{
    bytes req(OBD2_REQUEST_SIZE, 0);
    if (!build_obd_request(dialect, question, args.data(), args.size(), 0xAA, req.data()))
        return {};
    return req;
}

can_frame frame_of(const bytes &data)
{
    can_frame f{};
    f.can_id = 0x7E8;
    f.len = static_cast<std::uint8_t>(data.size());
    std::memcpy(f.data, data.data(), data.size());
    return f;
}

// A response buffer as the exchange delivers a multi-frame answer: the low
// length byte, then the payload.
bytes answer(const bytes &payload)
{
    bytes resp(payload.size() + 1);
    resp[0] = static_cast<std::uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), resp.begin() + 1);
    return resp;
}

std::size_t snapshot_length(std::uint16_t did)
{
    switch (did) {
    case 0xF40C:
        return 2;
    case 0xF40D:
    case 0xF405:
        return 1;
    default:
        return 0;
    }
}

} // namespace

TEST(ObdDialect, BuildsEachQuestionsRequestInBothDialects)
{
    const obd_dialect C = obd_dialect::classic, U = obd_dialect::uds;
    struct row {
        obd_dialect dialect;
        obd_question question;
        bytes args;
        bytes expected; // empty: the dialect has no such question
    };
    const row rows[] = {
        // Classic: exactly the bytes of today.
        {C, obd_question::pid_value, {0x0C}, {0x02, 0x01, 0x0C, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {C, obd_question::vehicle_info, {0x02}, {0x02, 0x09, 0x02, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {C, obd_question::stored_codes, {}, {0x01, 0x03, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {C, obd_question::pending_codes, {}, {0x01, 0x07, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {C, obd_question::permanent_codes, {}, {0x01, 0x0A, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {C, obd_question::clear_codes, {}, {0x01, 0x04, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {C, obd_question::frame_pid, {0x02, 0x00}, {0x03, 0x02, 0x02, 0x00, 0xAA, 0xAA, 0xAA, 0xAA}},
        {C, obd_question::codes_by_status, {0x0C, 0xFF}, {}},
        // OBD on UDS.
        {U, obd_question::pid_value, {0x00}, {0x03, 0x22, 0xF4, 0x00, 0xAA, 0xAA, 0xAA, 0xAA}},
        {U, obd_question::vehicle_info, {0x0A}, {0x03, 0x22, 0xF8, 0x0A, 0xAA, 0xAA, 0xAA, 0xAA}},
        {U, obd_question::codes_by_status, {0x0C, 0xFF}, {0x05, 0x19, 0x42, 0x33, 0x0C, 0xFF, 0xAA, 0xAA}},
        {U, obd_question::permanent_codes, {}, {0x03, 0x19, 0x55, 0x33, 0xAA, 0xAA, 0xAA, 0xAA}},
        {U, obd_question::clear_codes, {}, {0x04, 0x14, 0xFF, 0xFF, 0x33, 0xAA, 0xAA, 0xAA}},
        {U, obd_question::snapshot_list, {}, {0x02, 0x19, 0x03, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {U, obd_question::snapshot, {0x04, 0x20, 0x00, 0x00}, {0x06, 0x19, 0x04, 0x04, 0x20, 0x00, 0x00, 0xAA}},
        {U, obd_question::stored_codes, {}, {}},
        {U, obd_question::pid_value, {}, {}}, // an argument missing
    };
    for (const row &r : rows)
        EXPECT_EQ(request(r.dialect, r.question, r.args), r.expected) << "question " << static_cast<int>(r.question);

    // Prepared by hand today: the classic builder writes the same bytes.
    std::uint8_t today[OBD2_REQUEST_SIZE];
    prepare_request(today, 2, 1, 0x0C);
    EXPECT_EQ(bytes(today, today + 3), bytes({0x02, 0x01, 0x0C}));
}

TEST(ObdDialect, AnswerCountsOnlyWhenItEchoesWhatWasAsked)
{
    const bytes did_f40d = {0x03, 0x22, 0xF4, 0x0D, 0, 0, 0, 0};
    const bytes codes = {0x05, 0x19, 0x42, 0x33, 0x0C, 0xFF, 0, 0};
    const bytes snapshot = {0x06, 0x19, 0x04, 0x04, 0x20, 0x00, 0x00, 0};
    const bytes clear = {0x04, 0x14, 0xFF, 0xFF, 0x33, 0, 0, 0};
    struct row {
        const bytes &req;
        bytes frame;
        bool answers;
    };
    const row rows[] = {
        {did_f40d, {0x04, 0x62, 0xF4, 0x0D, 0x28}, true},
        {did_f40d, {0x04, 0x62, 0xF4, 0x0C, 0x28}, false},         // another DID
        {did_f40d, {0x04, 0x62, 0xF8, 0x0D, 0x28}, false},         // another DID range
        {did_f40d, {0x03, 0x7F, 0x22, 0x31}, true},                // refusal of 22
        {did_f40d, {0x03, 0x41, 0x0D, 0x28}, false},               // a classic answer
        {codes, {0x10, 0x11, 0x59, 0x42, 0x33, 0xFF, 0xFF, 0x01}, true}, // first frame
        {codes, {0x06, 0x59, 0x42, 0x34, 0xFF, 0xFF, 0x01}, false},      // another group
        {codes, {0x06, 0x59, 0x55, 0x33, 0xFF, 0x01, 0xAA}, false},      // another sub-function
        {snapshot, {0x10, 0x0C, 0x59, 0x04, 0x04, 0x20, 0x00, 0x08}, true},
        {snapshot, {0x10, 0x0C, 0x59, 0x04, 0x04, 0x21, 0x00, 0x08}, false}, // another code
        {clear, {0x01, 0x54, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, true},
        {clear, {0x03, 0x7F, 0x14, 0x78}, true},
        {clear, {0x01, 0x44}, false},
    };
    for (const row &r : rows)
        EXPECT_EQ(isotp_answers_request(frame_of(r.frame), r.req.data(), r.req.size()), r.answers)
            << "frame byte 1..3: " << int(r.frame[1]) << " " << int(r.frame[2]) << " " << int(r.frame[3]);
}

TEST(ObdDialect, PidAndInfoAnswersGiveTheSameDataAsClassic)
{
    obd_item classic{}, uds{};
    const bytes c = {0x04, 0x41, 0x0C, 0x1A, 0xF8, 0x55, 0x55, 0x55}; // padded single frame
    const bytes u = {0x05, 0x62, 0xF4, 0x0C, 0x1A, 0xF8};              // unpadded
    ASSERT_TRUE(decode_pid_answer(obd_dialect::classic, c.data(), c.size(), 0x0C, classic));
    ASSERT_TRUE(decode_pid_answer(obd_dialect::uds, u.data(), u.size(), 0x0C, uds));
    EXPECT_EQ(bytes(uds.data, uds.data + uds.size), bytes(classic.data, classic.data + classic.size));
    EXPECT_EQ(uds.size, 2u);
    EXPECT_FALSE(decode_pid_answer(obd_dialect::uds, u.data(), u.size(), 0x0D, uds));
    EXPECT_FALSE(decode_pid_answer(obd_dialect::uds, c.data(), c.size(), 0x0C, uds));

    const bytes vin = answer({0x62, 0xF8, 0x02, 0x01, 'V', 'I', 'N'});
    ASSERT_TRUE(decode_info_answer(obd_dialect::uds, vin.data(), vin.size(), 0x02, uds));
    EXPECT_EQ(bytes(uds.data, uds.data + uds.size), bytes({0x01, 'V', 'I', 'N'}));
}

TEST(ObdDialect, CodeRecordsKeepEveryFailureTypeAndStatus)
{
    // P0301 with two failure types (confirmed, then pending only), U0100.
    const bytes resp = answer({0x59, 0x42, 0x33, 0xFF, 0xFF, 0x01,          // header
                               0x20, 0x03, 0x01, 0x1F, 0x08,                // P0301-1F confirmed
                               0x20, 0x03, 0x01, 0x00, 0x04,                // P0301-00 pending
                               0x20, 0xC1, 0x00, 0x00, 0x0C});              // U0100 both
    dtc_records records;
    ASSERT_TRUE(decode_codes_by_status(resp.data(), resp.size(), records));
    ASSERT_EQ(records.count, 3);
    EXPECT_EQ(records.items[0].high, 0x03);
    EXPECT_EQ(records.items[0].low, 0x01);
    EXPECT_EQ(records.items[0].failure_type, 0x1F);
    EXPECT_EQ(records.items[0].status, 0x08);
    EXPECT_EQ(records.items[1].status, 0x04);
    EXPECT_EQ(records.items[2].high, 0xC1);
    EXPECT_EQ(records.items[2].status, 0x0C);

    const bytes none = answer({0x59, 0x42, 0x33, 0xFF, 0xFF, 0x01});
    ASSERT_TRUE(decode_codes_by_status(none.data(), none.size(), records));
    EXPECT_EQ(records.count, 0);
}

TEST(ObdDialect, PermanentCodesAreFourByteRecords)
{
    const bytes resp = answer({0x59, 0x55, 0x33, 0xFF, 0x01, 0x04, 0x20, 0x00, 0x08, 0x01, 0x33, 0x11, 0x08});
    dtc_records records;
    ASSERT_TRUE(decode_permanent_codes(resp.data(), resp.size(), records));
    ASSERT_EQ(records.count, 2);
    EXPECT_EQ(records.items[0].high, 0x04);
    EXPECT_EQ(records.items[0].low, 0x20);
    EXPECT_EQ(records.items[1].low, 0x33);
    EXPECT_EQ(records.items[1].failure_type, 0x11);
    // Five-byte records of 19 42 are not a permanent-code answer.
    EXPECT_FALSE(decode_codes_by_status(resp.data(), resp.size(), records));
}

TEST(ObdDialect, TruncatedRecordListIsMalformedAndYieldsNothing)
{
    dtc_records records;
    const bytes by_status = answer({0x59, 0x42, 0x33, 0xFF, 0xFF, 0x01, 0x20, 0x03, 0x01, 0x1F, 0x08, 0x20, 0x04});
    EXPECT_FALSE(decode_codes_by_status(by_status.data(), by_status.size(), records));
    EXPECT_EQ(records.count, 0);
    const bytes permanent = answer({0x59, 0x55, 0x33, 0xFF, 0x01, 0x04, 0x20, 0x00});
    EXPECT_FALSE(decode_permanent_codes(permanent.data(), permanent.size(), records));
    EXPECT_EQ(records.count, 0);
    snapshot_id id{};
    bool found = true;
    const bytes list = answer({0x59, 0x03, 0x04, 0x20, 0x00, 0x01, 0x01, 0x33});
    EXPECT_FALSE(decode_snapshot_list(list.data(), list.size(), id, found));
    EXPECT_FALSE(found);
}

TEST(ObdDialect, SnapshotRecordZeroIsChosenAndReadingStopsAtAnUnknownDid)
{
    snapshot_id chosen{};
    bool found = false;
    const bytes list = answer({0x59, 0x03, 0x01, 0x33, 0x00, 0x02, 0x04, 0x20, 0x00, 0x00});
    ASSERT_TRUE(decode_snapshot_list(list.data(), list.size(), chosen, found));
    ASSERT_TRUE(found);
    EXPECT_EQ(chosen.code[0], 0x04);
    EXPECT_EQ(chosen.record, 0x00);
    const bytes empty = answer({0x59, 0x03});
    ASSERT_TRUE(decode_snapshot_list(empty.data(), empty.size(), chosen, found));
    EXPECT_FALSE(found);

    // RPM, speed, then F4FE (unknown), then coolant: coolant is not read.
    const bytes snap = answer({0x59, 0x04, 0x04, 0x20, 0x00, 0x2F, 0x00, 0x04, 0xF4, 0x0C, 0x0D, 0x48, 0xF4, 0x0D,
                               0x32, 0xF4, 0xFE, 0x01, 0xF4, 0x05, 0x5A});
    snapshot_values values;
    const snapshot_id asked{{0x04, 0x20, 0x00}, 0x00};
    ASSERT_TRUE(decode_snapshot(snap.data(), snap.size(), asked, snapshot_length, values));
    ASSERT_EQ(values.count, 2);
    EXPECT_EQ(values.items[0].id, 0x0C);
    EXPECT_EQ(bytes(values.items[0].data, values.items[0].data + 2), bytes({0x0D, 0x48}));
    EXPECT_EQ(values.items[1].id, 0x0D);
    EXPECT_EQ(values.items[1].size, 1u);
    // A snapshot of another code does not count; one cut inside a DID keeps the whole DIDs before.
    const snapshot_id other{{0x03, 0x01, 0x00}, 0x00};
    EXPECT_FALSE(decode_snapshot(snap.data(), snap.size(), other, snapshot_length, values));
    const bytes cut = answer({0x59, 0x04, 0x04, 0x20, 0x00, 0x2F, 0x00, 0x02, 0xF4, 0x0D, 0x32, 0xF4, 0x0C, 0x0D});
    ASSERT_TRUE(decode_snapshot(cut.data(), cut.size(), asked, snapshot_length, values));
    EXPECT_EQ(values.count, 1);
}

namespace {

// Requests of both modes in the order they reached the scripted ECUs.
struct bus_log {
    std::mutex mutex;
    std::vector<std::pair<int, bytes>> requests; // guarded by mutex
};

// An ECU on `mode` that answers only `probe` (with `answer`), logging every request.
svc_scripted_ecu::answer_fn logging_ecu(bus_log &log, int mode, bytes probe, bytes answer)
{
    return [&log, mode, probe, answer](const bytes &req) -> std::optional<bytes> {
        std::lock_guard lock(log.mutex);
        log.requests.emplace_back(mode, req);
        if (!probe.empty() && req == probe)
            return answer;
        return std::nullopt;
    };
}

struct detection_case {
    const char *name;
    int answering_mode;
    bytes probe; // the request the car answers
    bytes answer;
    std::vector<std::pair<int, bytes>> expected_requests;
    obd_dialect dialect;
};

} // namespace

TEST(VehicleDetection, ClassicProbesGoFirstAndTheFirstAnswerFixesModeAndDialect)
{
    g_can_padding = 0xAA;
    const bytes classic = {0x01, 0x00}, uds = {0x22, 0xF4, 0x00};
    const bytes classic_answer = {0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13};
    const bytes uds_answer = {0x62, 0xF4, 0x00, 0xBE, 0x3F, 0xA8, 0x13};
    const detection_case cases[] = {
        // A classic car: exactly the requests of today.
        {"classic 11-bit", 1, classic, classic_answer, {{1, classic}}, obd_dialect::classic},
        {"classic 29-bit", 2, classic, classic_answer, {{1, classic}, {2, classic}}, obd_dialect::classic},
        {"uds 11-bit", 1, uds, uds_answer, {{1, classic}, {2, classic}, {1, uds}}, obd_dialect::uds},
        {"uds 29-bit", 2, uds, uds_answer, {{1, classic}, {2, classic}, {1, uds}, {2, uds}}, obd_dialect::uds},
    };
    for (const detection_case &c : cases) {
        bus_log log;
        svc_scripted_ecu ecu11(1, logging_ecu(log, 1, c.answering_mode == 1 ? c.probe : bytes{}, c.answer));
        svc_scripted_ecu ecu29(2, logging_ecu(log, 2, c.answering_mode == 2 ? c.probe : bytes{}, c.answer));
        std::uint8_t resp[OBD2_RESPONSE_SIZE];
        std::uint64_t resp_len = 0;
        ecu_entry found[MAX_ECUS];
        int found_count = 0;
        EXPECT_EQ(detect_vehicle(resp, &resp_len, found, MAX_ECUS, &found_count), c.answering_mode) << c.name;
        ASSERT_EQ(found_count, 1) << c.name;
        EXPECT_EQ(found[0].dialect, c.dialect) << c.name;
        EXPECT_EQ(found[0].addr_mode, c.answering_mode) << c.name;
        std::lock_guard lock(log.mutex);
        EXPECT_EQ(log.requests, c.expected_requests) << c.name;
    }
}

namespace {

void select_dtc_kinds(std::initializer_list<const char *> kinds)
{
    std::memset(g_dtc_names, 0, sizeof g_dtc_names);
    g_dtc_count = 0;
    for (const char *kind : kinds)
        std::strcpy(g_dtc_names[g_dtc_count++], kind);
}

} // namespace

// One 19 42 split by status bits, failure types folded into one code, the
// stored-only-if-pending rule, permanent codes apart; a truncated list fails.
TEST(UdsTroubleCodes, OneRequestSplitByStatusGivesTodaysDocument)
{
    g_can_padding = 0xAA;
    g_ecu_list[0] = {0x7E8, ADDR_MODE_11BIT, obd_dialect::uds};
    g_ecu_count = 1;
    select_dtc_kinds({"STRDTC", "PNDDTC", "PRMDTC"});
    bytes by_status = {0x59, 0x42, 0x33, 0xFF, 0xFF, 0x01,
                       0x20, 0x03, 0x01, 0x1F, 0x0C,  // P0301 stored and pending
                       0x20, 0x03, 0x01, 0x00, 0x0C,  // P0301 again, another failure type
                       0x20, 0x04, 0x20, 0x00, 0x08,  // P0420 stored, not pending: left out
                       0x20, 0x01, 0x33, 0x00, 0x04,  // P0133 pending
                       0x20, 0x41, 0x23, 0x00, 0x0C}; // C0123: not reported
    const bytes permanent = {0x59, 0x55, 0x33, 0xFF, 0x01, 0x04, 0x20, 0x00, 0x08};
    std::mutex mutex;
    std::vector<bytes> asked;
    svc_scripted_ecu ecu(1, [&](const bytes &req) -> std::optional<bytes> {
        std::lock_guard lock(mutex);
        asked.push_back(req);
        if (req == bytes{0x19, 0x42, 0x33, 0x0C, 0xFF})
            return by_status;
        if (req == bytes{0x19, 0x55, 0x33})
            return permanent;
        return std::nullopt;
    });
    EXPECT_STREQ(handle_dtc_command(),
                 R"({"TYP":1,"CMD":1,"DATA":{"STRDTC":["P0301"],"PNDDTC":["P0301","P0133"],"PRMDTC":["P0420"]}})");
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(asked, (std::vector<bytes>{{0x19, 0x42, 0x33, 0x0C, 0xFF}, {0x19, 0x55, 0x33}}));
    }
    {
        std::lock_guard lock(mutex);
        by_status.resize(by_status.size() - 2); // the last record cut short
    }
    EXPECT_STREQ(handle_dtc_command(), "");
    g_ecu_count = 0;
    g_dtc_count = 0;
}

// 7F 19 12/31 means no frame; another refusal is a failed attempt; a listed
// snapshot is read up to the first DID the catalogue does not know.
TEST(UdsFreezeFrame, RefusalsAndTheSnapshotGiveTodaysDocuments)
{
    g_can_padding = 0xAA;
    const ecu_entry engine{0x7E8, ADDR_MODE_11BIT, obd_dialect::uds};
    struct row {
        bytes list_answer;
        ecu_reply reply;
        std::string document;
    };
    const bytes snapshot = {0x59, 0x04, 0x04, 0x20, 0x1F, 0x2F, 0x00, 0x04, 0xF4, 0x0C, 0x0D, 0x48,
                            0xF4, 0x05, 0x83, 0xF4, 0x02, 0x04, 0x20, 0xF4, 0x0D, 0x1E};
    const row rows[] = {
        {{0x7F, 0x19, 0x31}, ecu_reply::answered, R"({"TYP":1,"CMD":21,"DATA":{"DTC":"","VALUES":{}}})"},
        {{0x7F, 0x19, 0x12}, ecu_reply::answered, R"({"TYP":1,"CMD":21,"DATA":{"DTC":"","VALUES":{}}})"},
        {{0x59, 0x03}, ecu_reply::answered, R"({"TYP":1,"CMD":21,"DATA":{"DTC":"","VALUES":{}}})"},
        {{0x7F, 0x19, 0x22}, ecu_reply::silent, ""},
        {{0x59, 0x03, 0x04, 0x20}, ecu_reply::unusable, ""}, // a record cut short
        // Record 01 listed first, 00 chosen; F402 is not in the catalogue: speed is not read.
        {{0x59, 0x03, 0x04, 0x20, 0x1F, 0x01, 0x04, 0x20, 0x1F, 0x00}, ecu_reply::answered,
         R"({"TYP":1,"CMD":21,"DATA":{"DTC":"P0420","VALUES":{"COLTMP":91.00,"ENGRPM":850.00}}})"},
    };
    for (const row &r : rows) {
        std::mutex mutex;
        std::vector<bytes> asked;
        svc_scripted_ecu ecu(1, [&](const bytes &req) -> std::optional<bytes> {
            std::lock_guard lock(mutex);
            asked.push_back(req);
            if (req == bytes{0x19, 0x03})
                return r.list_answer;
            if (req == bytes{0x19, 0x04, 0x04, 0x20, 0x1F, 0x00})
                return snapshot;
            return std::nullopt;
        });
        std::string document;
        EXPECT_EQ(handle_freeze_frame_command(engine, document), r.reply) << r.document;
        EXPECT_EQ(document, r.document);
        std::lock_guard lock(mutex);
        EXPECT_EQ(asked.size(), r.document.find("P0420") != std::string::npos ? 2u : 1u) << r.document;
    }
}
