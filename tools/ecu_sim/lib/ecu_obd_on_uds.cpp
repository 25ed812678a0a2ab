// OBD on UDS: a profile's OBD data answered through UDS services, as cars of
// model year 2027 do. ReadDataByIdentifier (22) for the F4xx identifiers
// (the PIDs' data) and F8xx (vehicle information), ReadDTCInformation (19)
// sub-functions 42 (codes by status mask), 55 (permanent codes), 03 and 04
// (the freeze frame as a DTC snapshot), ClearDiagnosticInformation (14) for
// the emissions group FF FF 33. The classic services get no answer at all.
#include "ecu_answers.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::uint8_t SID_CLEAR = 0x14;
constexpr std::uint8_t SID_READ_DTC = 0x19;
constexpr std::uint8_t SID_READ_DID = 0x22;
constexpr std::uint8_t POSITIVE = 0x40;

constexpr std::uint8_t NRC_SUB_FUNCTION = 0x12;
constexpr std::uint8_t NRC_LENGTH = 0x13;
constexpr std::uint8_t NRC_OUT_OF_RANGE = 0x31;

constexpr std::uint8_t DID_HIGH_PIDS = 0xF4;
constexpr std::uint8_t DID_HIGH_INFO = 0xF8;

constexpr std::uint8_t REPORT_SNAPSHOT_IDS = 0x03;
constexpr std::uint8_t REPORT_SNAPSHOT = 0x04;
constexpr std::uint8_t REPORT_BY_STATUS = 0x42;
constexpr std::uint8_t REPORT_PERMANENT = 0x55;
constexpr std::uint8_t GROUP_EMISSIONS = 0x33;
constexpr std::uint8_t ALL_RECORDS = 0xFF;

constexpr std::uint8_t STATUS_PENDING = 0x04;
constexpr std::uint8_t STATUS_CONFIRMED = 0x08;
// Header bytes of the code lists: every status bit is kept, three severity
// bits are, the codes are in the SAE J2012-DA format 04.
constexpr std::uint8_t STATUS_AVAILABILITY = 0xFF;
constexpr std::uint8_t SEVERITY_AVAILABILITY = 0xE0;
constexpr std::uint8_t FORMAT_J2012_DA_04 = 0x04;
constexpr std::uint8_t RECORD_SEVERITY = 0x20;

constexpr std::size_t MAX_PAYLOAD = 4095;

using uds_code = std::array<std::uint8_t, 3>;  // code high, code low, failure type

struct code_record {
    uds_code code;
    std::uint8_t status;
};

uds_code code_at(const std::vector<dtc_bytes> &codes, const std::vector<std::uint8_t> &types, std::size_t i)
{
    return {codes[i][0], codes[i][1], i < types.size() ? types[i] : std::uint8_t{0}};
}

// One record per code and failure type; a code listed again (stored and
// pending) adds its status bit to the record it already has.
void add_records(std::vector<code_record> &records, const std::vector<dtc_bytes> &codes,
                 const std::vector<std::uint8_t> &types, std::uint8_t status)
{
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const uds_code code = code_at(codes, types, i);
        auto same = std::find_if(records.begin(), records.end(), [&](const code_record &r) { return r.code == code; });
        if (same != records.end())
            same->status |= status;
        else
            records.push_back({code, status});
    }
}

std::vector<code_record> current_records(const ecu_node_profile &ecu)
{
    std::vector<code_record> records;
    add_records(records, ecu.stored_dtcs, ecu.stored_failure_types, STATUS_CONFIRMED);
    add_records(records, ecu.pending_dtcs, ecu.pending_failure_types, STATUS_PENDING);
    return records;
}

std::uint8_t status_of(const ecu_node_profile &ecu, const uds_code &code)
{
    for (const code_record &record : current_records(ecu))
        if (record.code == code)
            return record.status;
    return 0;
}

// 19 42 33 <status mask> <severity mask>: the records whose status has a bit
// of the mask, as many as fit in one answer.
std::optional<byte_vector> codes_by_status(const ecu_node_profile &ecu, const byte_vector &request)
{
    if (request.size() != 5)
        return ecu_negative(SID_READ_DTC, NRC_LENGTH);
    if (request[2] != GROUP_EMISSIONS)
        return ecu_negative(SID_READ_DTC, NRC_OUT_OF_RANGE);
    byte_vector answer{SID_READ_DTC + POSITIVE, REPORT_BY_STATUS, GROUP_EMISSIONS, STATUS_AVAILABILITY,
                       SEVERITY_AVAILABILITY, FORMAT_J2012_DA_04};
    for (const code_record &record : current_records(ecu)) {
        if (answer.size() + 5 > MAX_PAYLOAD)
            break;
        if ((record.status & request[3]) == 0)
            continue;
        answer.push_back(RECORD_SEVERITY);
        answer.insert(answer.end(), record.code.begin(), record.code.end());
        answer.push_back(record.status);
    }
    return answer;
}

// 19 55 33: every permanent code with its current status.
std::optional<byte_vector> permanent_codes(const ecu_node_profile &ecu, const byte_vector &request)
{
    if (request.size() != 3)
        return ecu_negative(SID_READ_DTC, NRC_LENGTH);
    if (request[2] != GROUP_EMISSIONS)
        return ecu_negative(SID_READ_DTC, NRC_OUT_OF_RANGE);
    std::vector<code_record> records;
    add_records(records, ecu.permanent_dtcs, ecu.permanent_failure_types, 0);
    byte_vector answer{SID_READ_DTC + POSITIVE, REPORT_PERMANENT, GROUP_EMISSIONS, STATUS_AVAILABILITY,
                       FORMAT_J2012_DA_04};
    for (const code_record &record : records) {
        if (answer.size() + 4 > MAX_PAYLOAD)
            break;
        answer.insert(answer.end(), record.code.begin(), record.code.end());
        answer.push_back(status_of(ecu, record.code));
    }
    return answer;
}

bool has_snapshot(const ecu_freeze_frame &frame) { return frame.dtc != dtc_bytes{}; }

uds_code snapshot_code(const ecu_freeze_frame &frame) { return {frame.dtc[0], frame.dtc[1], frame.failure_type}; }

// 19 03: {code, record number} of the one snapshot, if there is one.
std::optional<byte_vector> snapshot_ids(const ecu_node_profile &ecu, const byte_vector &request)
{
    if (request.size() != 2)
        return ecu_negative(SID_READ_DTC, NRC_LENGTH);
    byte_vector answer{SID_READ_DTC + POSITIVE, REPORT_SNAPSHOT_IDS};
    if (has_snapshot(ecu.freeze_frame)) {
        const uds_code code = snapshot_code(ecu.freeze_frame);
        answer.insert(answer.end(), code.begin(), code.end());
        answer.push_back(ecu.freeze_frame.record);
    }
    return answer;
}

// 19 04 <code> <record>: the snapshot's frozen PIDs as F4xx identifiers.
std::optional<byte_vector> snapshot(const ecu_node_profile &ecu, const byte_vector &request)
{
    if (request.size() != 6)
        return ecu_negative(SID_READ_DTC, NRC_LENGTH);
    const ecu_freeze_frame &frame = ecu.freeze_frame;
    const uds_code code = snapshot_code(frame);
    const std::uint8_t record = request[5];
    if (!has_snapshot(frame) || !std::equal(code.begin(), code.end(), request.begin() + 2) ||
        (record != frame.record && record != ALL_RECORDS))
        return ecu_negative(SID_READ_DTC, NRC_OUT_OF_RANGE);
    byte_vector answer{SID_READ_DTC + POSITIVE, REPORT_SNAPSHOT};
    answer.insert(answer.end(), code.begin(), code.end());
    answer.push_back(status_of(ecu, code));
    answer.push_back(frame.record);
    answer.push_back(static_cast<std::uint8_t>(std::min<std::size_t>(frame.pids.size(), 0xFF)));
    for (const auto &[pid, data] : frame.pids) {
        answer.push_back(DID_HIGH_PIDS);
        answer.push_back(pid);
        answer.insert(answer.end(), data.begin(), data.end());
    }
    return answer;
}

std::optional<byte_vector> read_dtc_information(const ecu_node_profile &ecu, const byte_vector &request)
{
    if (request.size() < 2)
        return ecu_negative(SID_READ_DTC, NRC_LENGTH);
    switch (request[1]) {
    case REPORT_BY_STATUS:
        return codes_by_status(ecu, request);
    case REPORT_PERMANENT:
        return permanent_codes(ecu, request);
    case REPORT_SNAPSHOT_IDS:
        return snapshot_ids(ecu, request);
    case REPORT_SNAPSHOT:
        return snapshot(ecu, request);
    default:
        return ecu_negative(SID_READ_DTC, NRC_SUB_FUNCTION);
    }
}

// F8xx: the vehicle information without its item count, unless the profile
// keeps it; the bitmaps of supported InfoTypes never carry one.
std::optional<byte_vector> info_did_data(const ecu_engine &engine, std::size_t node, std::uint8_t info_type)
{
    std::optional<byte_vector> data = ecu_info_data(engine.profile.ecus[node], info_type);
    if (data && !data->empty() && info_type % 0x20 != 0 && !engine.profile.info_item_count)
        data->erase(data->begin());
    return data;
}

std::optional<byte_vector> did_data(ecu_engine &engine, std::size_t node, std::uint8_t high, std::uint8_t low)
{
    if (high == DID_HIGH_PIDS)
        return ecu_pid_data(engine, node, low);
    if (high == DID_HIGH_INFO)
        return info_did_data(engine, node, low);
    return std::nullopt;
}

// 22 <DID> [<DID> ...]: each supported identifier with its data; 7F 22 31
// when none is.
std::optional<byte_vector> read_data_by_identifier(ecu_engine &engine, std::size_t node, const byte_vector &request)
{
    if (request.size() < 3 || request.size() % 2 == 0)
        return ecu_negative(SID_READ_DID, NRC_LENGTH);
    byte_vector answer{SID_READ_DID + POSITIVE};
    for (std::size_t i = 1; i + 1 < request.size(); i += 2) {
        std::optional<byte_vector> data = did_data(engine, node, request[i], request[i + 1]);
        if (!data)
            continue;
        answer.push_back(request[i]);
        answer.push_back(request[i + 1]);
        answer.insert(answer.end(), data->begin(), data->end());
    }
    if (answer.size() == 1)
        return ecu_negative(SID_READ_DID, NRC_OUT_OF_RANGE);
    return answer;
}

std::optional<byte_vector> clear(ecu_engine &engine, std::size_t node, const byte_vector &request)
{
    if (request.size() != 4)
        return ecu_negative(SID_CLEAR, NRC_LENGTH);
    if (!ecu_is_obd_on_uds_clear(request))
        return ecu_negative(SID_CLEAR, NRC_OUT_OF_RANGE);
    return ecu_clear_answer(engine, node, SID_CLEAR);
}

} // namespace

bool ecu_is_obd_on_uds_clear(const byte_vector &request)
{
    return request == byte_vector{SID_CLEAR, 0xFF, 0xFF, GROUP_EMISSIONS};
}

std::optional<byte_vector> ecu_obd_on_uds_answer(ecu_engine &engine, std::size_t node, const byte_vector &request)
{
    switch (request[0]) {
    case SID_READ_DID:
        return read_data_by_identifier(engine, node, request);
    case SID_READ_DTC:
        return read_dtc_information(engine.profile.ecus[node], request);
    case SID_CLEAR:
        return clear(engine, node, request);
    default:
        return std::nullopt; // the classic services among them: a UDS vehicle does not know them
    }
}
