#include "obd2/ecu_info_file.h"

#include "c_handles.h"
#include "common/text_file.h"
#include "handover/thread_handover.h"
#include "obd2/config_file.h"
#include "obd2/pid_catalogue.h"
#include "obd2/pid_discovery.h"
#include "obd2/vehicle_info.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr const char *NOT_AVAILABLE = "N/A";

// ECU_INFO member of a vehicle-information record, or null for InfoTypes the
// file does not hold.
const char *ecu_info_key(std::uint8_t info_type)
{
    switch (info_type) {
    case 0x02:
        return "VID";
    case 0x04:
        return "CID";
    case 0x06:
        return "CVN";
    case 0x0A:
        return "ECUNM";
    default:
        return nullptr;
    }
}

// At most 127 characters, as the writer of the records stores them; never
// read past the field.
std::string record_text(const vehicle_info_record &record)
{
    return std::string(record.text, strnlen(record.text, sizeof record.text - 1));
}

// Replaces a member in place, so the member order stays fixed.
void replace_string(cJSON *object, const char *key, const std::string &value)
{
    cJSON *item = cJSON_CreateString(value.c_str());
    if (item != nullptr)
        cJSON_ReplaceItemInObjectCaseSensitive(object, key, item);
}

// "ECU_INFO": placeholders first, then whatever memory holds.
cJSON *create_ecu_info_object()
{
    cJSON *info = cJSON_CreateObject();
    if (info == nullptr)
        return nullptr;
    for (const char *key : {"VID", "CID", "CVN", "ECUNM", "PROTO"})
        cJSON_AddStringToObject(info, key, NOT_AVAILABLE);
    cJSON_AddNumberToObject(info, "BR", 0);

    int count = std::min(std::max(g_vehicle_info_count, 0), MAX_VEHICLE_INFO);
    for (int i = 0; i < count; ++i) {
        const char *key = ecu_info_key(g_vehicle_info[i].info_type);
        std::string text = record_text(g_vehicle_info[i]);
        if (key != nullptr && !text.empty())
            replace_string(info, key, text);
    }
    std::string protocol(g_can_protocol, strnlen(g_can_protocol, sizeof g_can_protocol));
    if (!protocol.empty())
        replace_string(info, "PROTO", protocol);
    if (g_can_bitrate > 0) {
        cJSON *bitrate = cJSON_CreateNumber(g_can_bitrate);
        if (bitrate != nullptr)
            cJSON_ReplaceItemInObjectCaseSensitive(info, "BR", bitrate);
    }
    return info;
}

cJSON *create_live_pids_object()
{
    cJSON *live = cJSON_CreateObject();
    if (live == nullptr)
        return nullptr;
    for (int row = 0; row < num_pids; ++row)
        cJSON_AddNumberToObject(live, short_keys[row], g_pid_availability[row]);
    return live;
}

// Content equal to the file's is not written again: without an ECU the file
// would otherwise be rewritten every second. It is as saved all the same.
// Once a stop is requested every exchange fails at once, so what memory
// holds by then (PIDs "unavailable", the vehicle "lost") is no finding: the
// file keeps the last vehicle really seen.
void write_ecu_info_text(const char *text)
{
    std::string path = ecu_info_json_path();
    if (shutdown_requested()) {
        std::printf("OBD2_INFO : Stopping, %s left as it was\n", path.c_str());
        return;
    }
    switch (replace_text_file(path.c_str(), text)) {
    case text_write_status::written:
    case text_write_status::unchanged:
        std::printf("OBD2_INFO : ECU info saved to %s\n", path.c_str());
        return;
    case text_write_status::open_failed:
        std::printf("OBD2_ERROR : Failed to open file: %s\n", path.c_str());
        return;
    case text_write_status::write_failed:
        std::printf("OBD2_ERROR : Failed to write file: %s\n", path.c_str());
        return;
    }
}

} // namespace

std::string ecu_info_json_path() { return platform_config_dir() + "/ecu_info.json"; }

int save_ecu_info_json()
{
    json_ptr root(cJSON_CreateObject());
    if (!root) {
        std::puts("OBD2_ERROR : Failed to create JSON root");
        return 0;
    }
    cJSON *info = create_ecu_info_object();
    if (info == nullptr)
        return 0;
    cJSON_AddItemToObject(root.get(), "ECU_INFO", info);
    cJSON *live = create_live_pids_object();
    if (live == nullptr)
        return 0;
    cJSON_AddItemToObject(root.get(), "LIVE_PIDS", live);

    json_text_ptr text(cJSON_Print(root.get()));
    if (text)
        write_ecu_info_text(text.get());
    return 1;
}

namespace {

// The fingerprint: VID, CID, CVN.
struct fingerprint {
    char vid[VEHICLE_INFO_TEXT_SIZE] = {};
    char cid[VEHICLE_INFO_TEXT_SIZE] = {};
    char cvn[VEHICLE_INFO_TEXT_SIZE] = {};
};

fingerprint fingerprint_in_memory()
{
    fingerprint fresh;
    int count = std::min(std::max(g_vehicle_info_count, 0), MAX_VEHICLE_INFO);
    for (int i = 0; i < count; ++i) {
        const vehicle_info_record &record = g_vehicle_info[i];
        char *target = record.info_type == 0x02   ? fresh.vid
                       : record.info_type == 0x04 ? fresh.cid
                       : record.info_type == 0x06 ? fresh.cvn
                                                  : nullptr;
        if (target != nullptr)
            std::snprintf(target, VEHICLE_INFO_TEXT_SIZE, "%.*s", VEHICLE_INFO_TEXT_SIZE - 1, record.text);
    }
    return fresh;
}

// Parsed ecu_info.json, or null (with the message that explains why).
json_ptr read_ecu_info_file()
{
    std::string text;
    switch (read_text_file(ecu_info_json_path().c_str(), text)) {
    case text_file_status::ok:
        break;
    case text_file_status::open_failed:
        std::puts("OBD2_INFO : No existing ecu_info.json found. Forcing full scan.");
        return nullptr;
    case text_file_status::no_memory:
        std::puts("OBD2_ERROR : malloc failed while reading ecu_info.json.");
        return nullptr;
    case text_file_status::size_failed:
    case text_file_status::read_failed:
        std::puts("OBD2_ERROR : Failed to read ecu_info.json. Forcing full scan.");
        return nullptr;
    }
    json_ptr doc(cJSON_Parse(text.c_str()));
    if (!doc)
        std::puts("OBD2_ERROR : Failed to parse ecu_info.json. Forcing full scan.");
    return doc;
}

const char *saved_text(const cJSON *info, const char *key)
{
    const cJSON *item = cJSON_GetObjectItem(info, key);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : "";
}

bool member_matches(const char *saved, const char *fresh)
{
    return saved[0] != '\0' && std::strcmp(saved, NOT_AVAILABLE) != 0 && std::strcmp(saved, fresh) == 0;
}

} // namespace

int compare_vehicle_info_with_saved()
{
    fingerprint fresh = fingerprint_in_memory();
    json_ptr doc = read_ecu_info_file();
    if (!doc)
        return 0;
    const cJSON *info = cJSON_GetObjectItem(doc.get(), "ECU_INFO");
    if (info == nullptr) {
        std::puts("OBD2_ERROR : ECU_INFO key missing in ecu_info.json. Forcing full scan.");
        return 0;
    }
    const char *vid = saved_text(info, "VID");
    const char *cid = saved_text(info, "CID");
    const char *cvn = saved_text(info, "CVN");
    std::puts("OBD2_INFO : Comparing ECU info...");
    std::printf("  VID : saved='%s'  new='%s'\n", vid, fresh.vid);
    std::printf("  CID : saved='%s'  new='%s'\n", cid, fresh.cid);
    std::printf("  CVN : saved='%s'  new='%s'\n", cvn, fresh.cvn);

    if (member_matches(vid, fresh.vid) && member_matches(cid, fresh.cid) && member_matches(cvn, fresh.cvn)) {
        std::puts("OBD2_INFO : ECU info matches saved file. Skipping PID scan and JSON update.");
        return 1;
    }
    std::puts("OBD2_INFO : ECU info mismatch or new vehicle. Proceeding with full scan.");
    return 0;
}

int reset_supported_pid()
{
    std::puts("OBD2_INFO : RESETING SUPPORTED PID CONFIG FILE");
    set_default_pid_availability();
    set_can_protocol(0);
    if (save_ecu_info_json() == 0) {
        std::puts("OBD2_ERROR : Error while creating ecu information packet.");
        return 0;
    }
    return 1;
}
