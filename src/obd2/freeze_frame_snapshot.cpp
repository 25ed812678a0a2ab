// The freeze frame of an OBD-on-UDS vehicle: its DTC snapshot record.
#include "c_handles.h"
#include "obd2/config_file.h"
#include "obd2/dialect/obd_dialect.h"
#include "obd2/dtc_read.h"
#include "obd2/freeze_frame.h"
#include "obd2/isotp.h"
#include "obd2/live_data.h"
#include "obd2/pid_catalogue.h"

#include <cstdio>
#include <memory>

namespace {

constexpr std::uint8_t NRC_REQUEST_OUT_OF_RANGE = 0x31;
constexpr std::uint8_t NRC_SUB_FUNCTION_NOT_SUPPORTED = 0x12;

// A snapshot DID's data length: that of its PID in the catalogue.
std::size_t catalogue_did_length(std::uint16_t did)
{
    const int row = find_pid_row(static_cast<std::uint8_t>(did & 0xFF));
    return row < 0 ? 0 : pids[row].data_bits / 8;
}

struct snapshot_answer {
    std::uint8_t resp[OBD2_RESPONSE_SIZE];
    std::uint64_t len;
};

// One request of the snapshot reading; the exchange's result.
int ask_snapshot(const ecu_entry &engine, obd_question question, const std::uint8_t *args, std::size_t arg_count,
                 snapshot_answer &answer)
{
    std::uint8_t req[OBD2_REQUEST_SIZE];
    build_obd_request(engine.dialect, question, args, arg_count, static_cast<std::uint8_t>(g_can_padding & 0xFF),
                      req);
    answer.len = 0;
    return send_paced_pid_request(engine, req, answer.resp, &answer.len, REQ_KIND_FREEZE_FRAME);
}

// Refused as "no such sub-function" or "out of range": no frame stored.
bool refused_as_no_frame(const snapshot_answer &answer)
{
    const std::size_t len = answer_length(answer.resp, clamp_response_length(answer.len));
    return len > 3 && (answer.resp[3] == NRC_SUB_FUNCTION_NOT_SUPPORTED || answer.resp[3] == NRC_REQUEST_OUT_OF_RANGE);
}

// Any other refusal (busy, conditions not correct) says nothing about the
// frame: the attempt failed and is worth another.
ecu_reply refused_for_now()
{
    std::puts("OBD2 WARN: freeze frame snapshot refused for now");
    return ecu_reply::silent;
}

// The document; the values (null: none) in catalogue order.
ecu_reply write_document(const char *dtc, const snapshot_values *values, std::string &document)
{
    cJSON *object = nullptr;
    json_ptr doc = create_frame_document(dtc, &object);
    for (int row = 0; doc && values != nullptr && row < num_pids; ++row) {
        for (int i = 0; i < values->count; ++i) {
            if (values->items[i].id != pids[row].pid)
                continue;
            char text[PID_VALUE_TEXT_SIZE];
            format_pid_value(text, sizeof text,
                             physical_value_of_data(pids[row].pid, values->items[i].data, values->items[i].size));
            if (cJSON_AddRawToObject(object, short_keys[row], text) == nullptr)
                doc.reset();
            break;
        }
    }
    if (!doc) {
        std::puts("OBD2_ERROR : Failed to create the freeze frame document.");
        return ecu_reply::unusable;
    }
    document = print_frame_document(doc.get());
    std::printf("freeze frame json: %s\n", document.c_str());
    return document.empty() ? ecu_reply::unusable : ecu_reply::answered;
}

} // namespace

ecu_reply handle_snapshot_command(const ecu_entry &engine, std::string &document)
{
    auto answer = std::make_unique<snapshot_answer>();
    int rc = ask_snapshot(engine, obd_question::snapshot_list, nullptr, 0, *answer);
    if (rc == -2 && refused_as_no_frame(*answer))
        return write_document("", nullptr, document);
    if (rc == -2)
        return refused_for_now();
    const ecu_reply listed = pid_reply(rc, answer->resp, answer->len, 2);
    if (listed != ecu_reply::answered)
        return listed;
    snapshot_id chosen{};
    bool found = false;
    if (!decode_snapshot_list(answer->resp, answer->len, chosen, found)) {
        std::puts("OBD2 WARN: unusable snapshot list");
        return ecu_reply::unusable;
    }
    if (!found)
        return write_document("", nullptr, document);

    const std::uint8_t args[] = {chosen.code[0], chosen.code[1], chosen.code[2], chosen.record};
    rc = ask_snapshot(engine, obd_question::snapshot, args, sizeof args, *answer);
    if (rc == -2)
        return refused_for_now();
    const ecu_reply read = pid_reply(rc, answer->resp, answer->len, 2);
    auto values = std::make_unique<snapshot_values>();
    if (read != ecu_reply::answered)
        return read;
    if (!decode_snapshot(answer->resp, answer->len, chosen, catalogue_did_length, *values)) {
        std::puts("OBD2 WARN: unusable snapshot");
        return ecu_reply::unusable;
    }
    char dtc[8] = "";
    format_dtc_text(chosen.code[0], chosen.code[1], dtc, sizeof dtc);
    return write_document(dtc, values.get(), document);
}
