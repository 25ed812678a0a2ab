#include "obd2/dtc_read.h"

#include "c_handles.h"
#include "obd2/config_file.h"
#include "obd2/dialect/obd_dialect.h"
#include "obd2/isotp.h"
#include "obd2/obd2_types.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

char final_json[FINAL_JSON_SIZE];

std::uint8_t g_arr_stored_dtc_cmd[8];
std::uint8_t g_arr_pending_dtc_cmd[8];
std::uint8_t g_arr_permanent_dtc_cmd[8];

namespace {

// ---- decoding one answer --------------------------------------------------------------

// 255 codes of 9 characters ("P0133" quoted, with ", ") need 2297 bytes: the
// buffer always holds a full answer, the bound below only guards the writes.
constexpr std::size_t DTC_ARRAY_SIZE = 3072;
char array_buffer[DTC_ARRAY_SIZE];

constexpr int DTC_MEMORY_SLOTS = 20;
constexpr std::size_t DTC_TEXT_SIZE = 8;

constexpr std::size_t DTC_COUNT_BYTE = 2;
constexpr std::size_t DTC_FIRST_CODE = 3;

bool is_dtc_answer(std::uint8_t service)
{
    return service == 0x43 || service == 0x47 || service == 0x4A;
}

// Chassis and body codes and the manufacturer-reserved P3xxx range are not
// reported.
bool is_reported_dtc(std::uint8_t a)
{
    switch (a >> 6) {
    case 0:
        return (a & 0x30) != 0x30;
    case 3:
        return true;
    default:
        return false;
    }
}

// Up to DTC_MEMORY_SLOTS distinct codes of one answer.
struct dtc_memory {
    char texts[DTC_MEMORY_SLOTS][DTC_TEXT_SIZE] = {};
    int count = 0;

    // True when `code` was seen before; otherwise remembers it if there is room.
    bool seen(const char *code)
    {
        for (int i = 0; i < count; ++i) {
            if (std::strcmp(texts[i], code) == 0)
                return true;
        }
        if (count < DTC_MEMORY_SLOTS)
            std::snprintf(texts[count++], DTC_TEXT_SIZE, "%s", code);
        return false;
    }
};

// Appends `, "code"` (no separator for the first item) when it still leaves
// room for the closing bracket.
bool append_code(std::size_t *used, bool first, const char *code)
{
    const char *separator = first ? "" : ", ";
    std::size_t need = std::strlen(separator) + std::strlen(code) + 2;
    if (*used + need + 2 > DTC_ARRAY_SIZE)
        return false;
    *used += std::snprintf(array_buffer + *used, DTC_ARRAY_SIZE - *used, "%s\"%s\"", separator, code);
    return true;
}

} // namespace

void format_dtc_text(std::uint8_t a, std::uint8_t b, char *out, std::size_t size)
{
    static constexpr char LETTERS[] = "PCBU";
    std::snprintf(out, size, "%c%04X", LETTERS[a >> 6], ((a & 0x3F) << 8) | b);
}

const char *decode_dtc_array(const std::uint8_t *resp, std::size_t len)
{
    len = answer_length(resp, clamp_response_length(len));
    if (resp == nullptr || len <= DTC_FIRST_CODE || !is_dtc_answer(resp[1]) || resp[DTC_COUNT_BYTE] == 0)
        return "[]";

    dtc_memory memory;
    std::size_t used = 1;
    array_buffer[0] = '[';
    bool first = true;
    int count = resp[DTC_COUNT_BYTE];
    std::size_t pos = DTC_FIRST_CODE;
    for (int i = 0; i < count && pos + 1 < len; ++i, pos += 2) {
        std::uint8_t a = resp[pos];
        std::uint8_t b = resp[pos + 1];
        if (a == 0 && b == 0)
            continue;
        if (!is_reported_dtc(a))
            continue;
        char code[DTC_TEXT_SIZE];
        format_dtc_text(a, b, code, sizeof code);
        if (memory.seen(code))
            continue;
        if (!append_code(&used, first, code))
            break;
        first = false;
    }
    array_buffer[used++] = ']';
    array_buffer[used] = '\0';
    return array_buffer;
}

namespace {

bool array_has_text(const cJSON *array, const char *text)
{
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, array)
    {
        if (cJSON_IsString(item) && item->valuestring && std::strcmp(item->valuestring, text) == 0)
            return true;
    }
    return false;
}

} // namespace

void keep_only_pending_in_stored(cJSON *stored, cJSON *pending)
{
    if (stored == nullptr || pending == nullptr)
        return;
    for (int i = cJSON_GetArraySize(stored) - 1; i >= 0; --i) {
        cJSON *item = cJSON_GetArrayItem(stored, i);
        if (!cJSON_IsString(item) || item->valuestring == nullptr) {
            cJSON_DeleteItemFromArray(stored, i);
            continue;
        }
        if (!array_has_text(pending, item->valuestring)) {
            std::printf("Removing STORED DTC %s (not present in PENDING)\n", item->valuestring);
            cJSON_DeleteItemFromArray(stored, i);
        }
    }
}

void get_dtc_info(int *count, char names[][64])
{
    int n = std::clamp(g_dtc_count, 0, MAX_DTC_KINDS);
    for (int i = 0; i < n; ++i)
        std::snprintf(names[i], CONFIG_NAME_SIZE, "%.*s", CONFIG_NAME_SIZE - 1, g_dtc_names[i]);
    *count = n;
}

namespace {

// ---- the command ---------------------------------------------------------------------

struct dtc_kind {
    const char *key;      // configuration and JSON key
    const char *label;    // log word
    obd_question question; // classic: one request per kind
    std::uint8_t *request;
};

const std::array<dtc_kind, 3> dtc_kinds = {{
    {"STRDTC", "stored", obd_question::stored_codes, g_arr_stored_dtc_cmd},
    {"PNDDTC", "pending", obd_question::pending_codes, g_arr_pending_dtc_cmd},
    {"PRMDTC", "permanent", obd_question::permanent_codes, g_arr_permanent_dtc_cmd},
}};

// Which of dtc_kinds the configuration selects.
std::array<bool, 3> selected_kinds()
{
    char names[MAX_DTC_KINDS][CONFIG_NAME_SIZE] = {};
    int count = 0;
    get_dtc_info(&count, names);
    std::array<bool, 3> selected{};
    for (int i = 0; i < count; ++i) {
        for (std::size_t k = 0; k < dtc_kinds.size(); ++k) {
            if (std::strcmp(names[i], dtc_kinds[k].key) == 0)
                selected[k] = true;
        }
    }
    return selected;
}

// Asks one ECU for one kind and appends the decoded codes to `list`.
// Returns the exchange's result: 0 codes, -2 refused, -1 no answer.
int read_dtc_kind(const dtc_kind &kind, const ecu_entry &ecu, cJSON *list)
{
    std::uint8_t resp[OBD2_RESPONSE_SIZE] = {};
    std::uint64_t resp_len = 0;
    const int rc = send_obd2_request(ecu, kind.request, OBD2_REQUEST_SIZE, resp, &resp_len, REQ_KIND_DTC_READ);
    if (rc != 0)
        return rc;
    std::size_t len = clamp_response_length(resp_len);
    for (std::size_t i = 0; i < len; ++i)
        std::printf("%s dtc response : %d\n", kind.label, resp[i]);

    json_ptr codes(cJSON_Parse(decode_dtc_array(resp, len)));
    const cJSON *code = nullptr;
    cJSON_ArrayForEach(code, codes.get())
    {
        cJSON_AddItemToArray(list, cJSON_Duplicate(code, 1));
    }
    return 0;
}

// Appends `codes` of one ECU to `list`, leaving out the codes an earlier ECU
// reported already (an ECU's own repeats stay, as its answer has them).
void merge_codes(cJSON *list, const cJSON *codes)
{
    const int earlier = cJSON_GetArraySize(list);
    const cJSON *code = nullptr;
    cJSON_ArrayForEach(code, codes)
    {
        bool known = false;
        for (int i = 0; i < earlier && !known; ++i) {
            const cJSON *seen = cJSON_GetArrayItem(list, i);
            known = cJSON_IsString(seen) && cJSON_IsString(code) && std::strcmp(seen->valuestring, code->valuestring) == 0;
        }
        if (!known)
            cJSON_AddItemToArray(list, cJSON_Duplicate(code, 1));
    }
}

// How one ECU's reading went.
enum class ecu_reading {
    not_asked, // no kind selected
    answered,  // it answered (codes or a refusal) at least one kind
    silent,    // nothing came back: not a car without codes, a car not reached
    no_memory,
    malformed, // an answer that is not a whole record list: the attempt fails
};

using own_lists = std::array<json_ptr, 3>;

// Reading goes on from `reading` after one exchange that gave `rc`.
ecu_reading after_exchange(ecu_reading reading, int rc)
{
    if (rc == 0 || rc == -2)
        return ecu_reading::answered;
    return reading == ecu_reading::not_asked ? ecu_reading::silent : reading;
}

// Classic: one request per kind. An ECU silent on the first kind asked is
// not asked the others: a car that is off would otherwise cost a full frame
// wait per kind.
ecu_reading read_classic_kinds(const ecu_entry &ecu, const std::array<bool, 3> &selected, own_lists &own)
{
    ecu_reading reading = ecu_reading::not_asked;
    for (std::size_t k = 0; k < dtc_kinds.size(); ++k) {
        if (!selected[k] || reading == ecu_reading::silent)
            continue;
        reading = after_exchange(reading, read_dtc_kind(dtc_kinds[k], ecu, own[k].get()));
    }
    return reading;
}

// Appends the code's text to `list` once, under the filter of classic codes.
void add_record_code(cJSON *list, const dtc_record &record)
{
    if ((record.high == 0 && record.low == 0) || !is_reported_dtc(record.high))
        return;
    char code[DTC_TEXT_SIZE];
    format_dtc_text(record.high, record.low, code, sizeof code);
    if (!array_has_text(list, code))
        cJSON_AddItemToArray(list, cJSON_CreateString(code));
}

// OBD on UDS: one exchange, `rc` its result; the records go to the lists
// whose status bit they carry (a null list is not asked for).
int read_uds_records(const ecu_entry &ecu, obd_question question, const std::uint8_t *args, std::size_t arg_count,
                     cJSON *confirmed, cJSON *pending, cJSON *permanent)
{
    std::uint8_t req[OBD2_REQUEST_SIZE];
    build_obd_request(ecu.dialect, question, args, arg_count, static_cast<std::uint8_t>(g_can_padding & 0xFF), req);
    std::uint8_t resp[OBD2_RESPONSE_SIZE] = {};
    std::uint64_t resp_len = 0;
    const int rc = send_obd2_request(ecu, req, OBD2_REQUEST_SIZE, resp, &resp_len, REQ_KIND_DTC_READ);
    if (rc != 0)
        return rc;
    auto records = std::make_unique<dtc_records>();
    const bool whole = permanent != nullptr ? decode_permanent_codes(resp, resp_len, *records)
                                            : decode_codes_by_status(resp, resp_len, *records);
    if (!whole) {
        std::puts("OBD2_ERROR : Malformed trouble-code record list.");
        return -3;
    }
    for (int i = 0; i < records->count; ++i) {
        const dtc_record &r = records->items[i];
        if (permanent != nullptr)
            add_record_code(permanent, r);
        if (confirmed != nullptr && (r.status & DTC_STATUS_CONFIRMED) != 0)
            add_record_code(confirmed, r);
        if (pending != nullptr && (r.status & DTC_STATUS_PENDING) != 0)
            add_record_code(pending, r);
    }
    return 0;
}

// OBD on UDS: stored and pending codes in one request whose status mask
// covers the selected ones, split by the status bits; permanent codes apart.
ecu_reading read_uds_kinds(const ecu_entry &ecu, const std::array<bool, 3> &selected, own_lists &own)
{
    ecu_reading reading = ecu_reading::not_asked;
    if (selected[0] || selected[1]) {
        const std::uint8_t mask = static_cast<std::uint8_t>((selected[0] ? DTC_STATUS_CONFIRMED : 0) |
                                                            (selected[1] ? DTC_STATUS_PENDING : 0));
        const std::uint8_t args[] = {mask, 0xFF}; // every severity
        const int rc = read_uds_records(ecu, obd_question::codes_by_status, args, 2,
                                        selected[0] ? own[0].get() : nullptr, selected[1] ? own[1].get() : nullptr,
                                        nullptr);
        if (rc == -3)
            return ecu_reading::malformed;
        reading = after_exchange(reading, rc);
    }
    if (selected[2] && reading != ecu_reading::silent) {
        const int rc = read_uds_records(ecu, obd_question::permanent_codes, nullptr, 0, nullptr, nullptr,
                                        own[2].get());
        if (rc == -3)
            return ecu_reading::malformed;
        reading = after_exchange(reading, rc);
    }
    return reading;
}

// Reads the selected kinds from one ECU, keeps in its stored list only what it
// reports pending too, and merges its codes into `lists`.
ecu_reading read_ecu_codes(const ecu_entry &ecu, const std::array<bool, 3> &selected,
                           const std::array<cJSON *, 3> &lists)
{
    own_lists own;
    for (json_ptr &list : own) {
        list.reset(cJSON_CreateArray());
        if (!list)
            return ecu_reading::no_memory;
    }
    const ecu_reading reading = ecu.dialect == obd_dialect::uds ? read_uds_kinds(ecu, selected, own)
                                                                : read_classic_kinds(ecu, selected, own);
    if (reading == ecu_reading::malformed)
        return reading;
    keep_only_pending_in_stored(own[0].get(), own[1].get());
    for (std::size_t k = 0; k < dtc_kinds.size(); ++k)
        merge_codes(lists[k], own[k].get());
    return reading;
}

cJSON *longest_list(const std::array<cJSON *, 3> &lists)
{
    cJSON *longest = nullptr;
    int longest_size = 0;
    for (cJSON *list : lists) {
        int size = cJSON_GetArraySize(list);
        if (size > longest_size) {
            longest = list;
            longest_size = size;
        }
    }
    return longest;
}

// Drops codes from the end of the longest lists until at least `excess`
// characters are gone. Returns the number of codes dropped, 0 if none is left.
int drop_codes(const std::array<cJSON *, 3> &lists, std::size_t excess)
{
    int dropped = 0;
    while (excess > 0) {
        cJSON *list = longest_list(lists);
        if (list == nullptr)
            break;
        int last = cJSON_GetArraySize(list) - 1;
        const cJSON *item = cJSON_GetArrayItem(list, last);
        // The quoted text and its comma.
        std::size_t cost = (item->valuestring ? std::strlen(item->valuestring) : 0) + 3;
        cJSON_DeleteItemFromArray(list, last);
        ++dropped;
        excess = cost >= excess ? 0 : excess - cost;
    }
    return dropped;
}

// Prints `doc` so that it fits final_json, leaving out codes when it would
// not: a cut document would be broken JSON for the UI.
json_text_ptr print_within_final_json(cJSON *doc, const std::array<cJSON *, 3> &lists)
{
    int dropped_total = 0;
    for (;;) {
        json_text_ptr text(cJSON_PrintUnformatted(doc));
        if (!text)
            return nullptr;
        std::size_t len = std::strlen(text.get());
        if (len < static_cast<std::size_t>(FINAL_JSON_SIZE)) {
            if (dropped_total > 0)
                std::printf("OBD2 WARN: %d trouble codes left out: the document would exceed %d characters\n",
                            dropped_total, FINAL_JSON_SIZE - 1);
            return text;
        }
        int dropped = drop_codes(lists, len - (FINAL_JSON_SIZE - 1));
        if (dropped == 0)
            return nullptr;
        dropped_total += dropped;
        // A pending code left out takes its stored twin with it: the stored
        // list holds only codes that are also pending.
        keep_only_pending_in_stored(lists[0], lists[1]);
    }
}

// {"TYP":1,"CMD":1,"DATA":{"STRDTC":[],"PNDDTC":[],"PRMDTC":[]}}, or null.
json_ptr create_dtc_document()
{
    json_ptr doc(cJSON_CreateObject());
    if (!doc || !cJSON_AddNumberToObject(doc.get(), "TYP", 1) || !cJSON_AddNumberToObject(doc.get(), "CMD", 1))
        return nullptr;
    cJSON *data = cJSON_AddObjectToObject(doc.get(), "DATA");
    if (data == nullptr)
        return nullptr;
    for (const dtc_kind &kind : dtc_kinds) {
        if (cJSON_AddArrayToObject(data, kind.key) == nullptr)
            return nullptr;
    }
    return doc;
}

void prepare_dtc_requests()
{
    for (const dtc_kind &kind : dtc_kinds)
        build_obd_request(obd_dialect::classic, kind.question, kind.request);
}

} // namespace

const char *handle_dtc_command()
{
    std::array<bool, 3> selected = selected_kinds();
    std::memset(final_json, 0, sizeof final_json);

    json_ptr doc = create_dtc_document();
    if (!doc) {
        std::puts("OBD2_ERROR : Failed to create the trouble-code document.");
        return final_json;
    }
    cJSON *data = cJSON_GetObjectItemCaseSensitive(doc.get(), "DATA");
    std::array<cJSON *, 3> lists{};
    for (std::size_t k = 0; k < dtc_kinds.size(); ++k)
        lists[k] = cJSON_GetObjectItemCaseSensitive(data, dtc_kinds[k].key);

    prepare_dtc_requests();
    int ecu_count = std::clamp(g_ecu_count, 0, MAX_ECUS);
    bool asked = false;
    bool answered = false;
    for (int e = 0; e < ecu_count; ++e) {
        const ecu_reading reading = read_ecu_codes(g_ecu_list[e], selected, lists);
        if (reading == ecu_reading::no_memory) {
            std::puts("OBD2_ERROR : Failed to create the trouble-code document.");
            return final_json;
        }
        if (reading == ecu_reading::malformed)
            return final_json; // nothing half-read is published
        asked = asked || reading != ecu_reading::not_asked;
        answered = answered || reading == ecu_reading::answered;
    }
    // Empty lists from a car that never answered would read as "no faults".
    if (asked && !answered) {
        std::puts("OBD2_ERROR : No ECU answered the trouble-code requests.");
        return final_json;
    }

    json_text_ptr text = print_within_final_json(doc.get(), lists);
    if (text)
        std::snprintf(final_json, sizeof final_json, "%s", text.get());
    else
        std::puts("OBD2_ERROR : Failed to print the trouble-code document.");
    std::printf("final json: %s\n", final_json);
    return final_json;
}
