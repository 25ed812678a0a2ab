#include "obd2/freeze_frame.h"

#include "c_handles.h"
#include "obd2/config_file.h"
#include "obd2/dialect/obd_dialect.h"
#include "obd2/dtc_read.h"
#include "obd2/isotp.h"
#include "obd2/live_data.h"
#include "obd2/pid_catalogue.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint8_t PID_FRAME_DTC = 0x02;
constexpr std::uint8_t FRAME_NUMBER = 0;
constexpr std::uint8_t NEGATIVE_RESPONSE = 0x7F;
constexpr std::uint8_t NRC_SUB_FUNCTION_NOT_SUPPORTED = 0x12;
constexpr std::uint8_t NRC_REQUEST_OUT_OF_RANGE = 0x31;
// 42 PID frame: the bytes before the data.
constexpr std::size_t ANSWER_HEADER = 3;
// Byte of the response buffer where the data begin (behind the length byte).
constexpr std::size_t FIRST_DATA = 1 + ANSWER_HEADER;
constexpr std::array<std::uint8_t, 4> BITMAP_PIDS{0x00, 0x20, 0x40, 0x60};

using pid_set = std::array<bool, 256>;

struct frame_answer {
    std::uint8_t resp[OBD2_RESPONSE_SIZE];
    std::size_t len; // bytes of the answer, fill bytes not counted
};

// Asks 02 <pid> 00; an answer counts only with at least `data_bytes` bytes
// of data, for frame 0.
ecu_reply ask_frame_pid(const ecu_entry &engine, std::uint8_t pid, std::size_t data_bytes, frame_answer &out)
{
    std::uint8_t req[OBD2_REQUEST_SIZE];
    const std::uint8_t args[] = {pid, FRAME_NUMBER};
    build_obd_request(engine.dialect, obd_question::frame_pid, args, sizeof args,
                      static_cast<std::uint8_t>(g_can_padding & 0xFF), req);
    std::uint64_t resp_len = 0;
    std::memset(out.resp, 0, sizeof out.resp);
    int rc = send_paced_pid_request(engine, req, out.resp, &resp_len, REQ_KIND_FREEZE_FRAME);
    out.len = answer_length(out.resp, clamp_response_length(resp_len));
    ecu_reply reply = pid_reply(rc, out.resp, resp_len, ANSWER_HEADER + data_bytes);
    if (reply == ecu_reply::answered && out.resp[3] != FRAME_NUMBER)
        return ecu_reply::unusable;
    return reply;
}

// The PIDs frame 0 holds, from the bitmaps 00, 20, 40, 60, each of which
// says in its last bit whether the next one is there.
pid_set supported_frame_pids(const ecu_entry &engine)
{
    pid_set supported{};
    frame_answer answer;
    for (std::uint8_t base : BITMAP_PIDS) {
        if (base != 0 && !supported[base])
            break;
        if (ask_frame_pid(engine, base, 4, answer) != ecu_reply::answered)
            break;
        for (int i = 0; i < 32; ++i) {
            const std::uint8_t bits = answer.resp[FIRST_DATA + i / 8];
            supported[base + 1 + i] = (bits & (0x80 >> (i % 8))) != 0;
        }
    }
    return supported;
}

// One frozen value as live data writes it, or false when the PID did not
// answer with the data bytes its catalogue row converts.
bool read_frame_value(const pid_entry &row, const ecu_entry &engine, char *text, std::size_t size)
{
    const std::uint8_t pid = row.pid;
    frame_answer answer;
    if (ask_frame_pid(engine, pid, row.data_bits / 8u, answer) != ecu_reply::answered)
        return false;
    // The conversion reads a service 01 answer (41 PID A B): leave the frame
    // number out.
    std::array<std::uint8_t, 8> as_live{};
    const std::size_t len = std::min(answer.len, as_live.size() + 1) - 1;
    std::memcpy(as_live.data(), answer.resp, ANSWER_HEADER);
    std::memcpy(as_live.data() + ANSWER_HEADER, answer.resp + FIRST_DATA, len - ANSWER_HEADER);
    format_pid_value(text, size, calculate_physical_value(pid, as_live.data(), len));
    return true;
}

} // namespace

json_ptr create_frame_document(const char *dtc, cJSON **values)
{
    json_ptr doc(cJSON_CreateObject());
    if (!doc || !cJSON_AddNumberToObject(doc.get(), "TYP", 1) || !cJSON_AddNumberToObject(doc.get(), "CMD", 21))
        return nullptr;
    cJSON *data = cJSON_AddObjectToObject(doc.get(), "DATA");
    if (data == nullptr || !cJSON_AddStringToObject(data, "DTC", dtc))
        return nullptr;
    *values = cJSON_AddObjectToObject(data, "VALUES");
    if (*values == nullptr)
        return nullptr;
    return doc;
}

namespace {

// Every catalogue PID the frame holds, in catalogue order.
bool add_frame_values(const ecu_entry &engine, cJSON *values)
{
    const pid_set supported = supported_frame_pids(engine);
    for (int row = 0; row < num_pids; ++row) {
        if (!supported[pids[row].pid])
            continue;
        char text[PID_VALUE_TEXT_SIZE];
        const bool added = read_frame_value(pids[row], engine, text, sizeof text)
                               ? cJSON_AddRawToObject(values, short_keys[row], text) != nullptr
                               : cJSON_AddStringToObject(values, short_keys[row], PID_NO_VALUE) != nullptr;
        if (!added)
            return false;
    }
    return true;
}

// Is a refusal of PID 02 an ECU without a frame to give? Only when it says
// it does not support the request; busy, conditions not correct and the
// like say nothing about the frame.
bool refusal_means_no_frame(const frame_answer &answer)
{
    const std::uint8_t nrc = answer.len > 3 ? answer.resp[3] : 0;
    return nrc == NRC_SUB_FUNCTION_NOT_SUPPORTED || nrc == NRC_REQUEST_OUT_OF_RANGE;
}

// Asks PID 02 (the code that stored frame 0). Answered: a code (0000 for
// none) or a refusal meaning no frame, in `answer`; silent: no answer this
// time (nothing came, the ECU was busy), worth another attempt; unusable: an
// answer that cannot be read.
ecu_reply frame_code_reply(const ecu_entry &engine, frame_answer &answer)
{
    const ecu_reply reply = ask_frame_pid(engine, PID_FRAME_DTC, 2, answer);
    if (reply != ecu_reply::unusable)
        return reply;
    if (answer.len <= 1 || answer.resp[1] != NEGATIVE_RESPONSE) {
        std::puts("OBD2 WARN: unusable answer to freeze frame PID 02");
        return reply;
    }
    if (refusal_means_no_frame(answer))
        return ecu_reply::answered;
    std::puts("OBD2 WARN: freeze frame PID 02 refused for now");
    return ecu_reply::silent;
}

} // namespace

std::string print_frame_document(const cJSON *doc)
{
    json_text_ptr text(cJSON_PrintUnformatted(doc));
    return text ? std::string(text.get()) : std::string();
}

ecu_reply handle_freeze_frame_command(const ecu_entry &engine, std::string &document)
{
    if (engine.dialect == obd_dialect::uds)
        return handle_snapshot_command(engine, document);
    frame_answer answer;
    const ecu_reply reply = frame_code_reply(engine, answer);
    if (reply != ecu_reply::answered)
        return reply;
    const bool refused = answer.resp[1] == NEGATIVE_RESPONSE;
    const std::uint8_t a = refused ? 0 : answer.resp[FIRST_DATA];
    const std::uint8_t b = refused ? 0 : answer.resp[FIRST_DATA + 1];
    const bool stored = a != 0 || b != 0;
    char dtc[8] = "";
    if (stored)
        format_dtc_text(a, b, dtc, sizeof dtc);

    cJSON *values = nullptr;
    json_ptr doc = create_frame_document(dtc, &values);
    if (!doc || (stored && !add_frame_values(engine, values))) {
        std::puts("OBD2_ERROR : Failed to create the freeze frame document.");
        return ecu_reply::unusable;
    }
    document = print_frame_document(doc.get());
    std::printf("freeze frame json: %s\n", document.c_str());
    return document.empty() ? ecu_reply::unusable : ecu_reply::answered;
}
