#include "obd2/config_file.h"

#include "c_handles.h"
#include "common/text_file.h"
#include "platform/platform.h"

#include <cerrno>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstring>
#include <memory>

int g_can_padding = 0;
int g_can_bitrate = 0;
char g_live_sensor_names[MAX_LIVE_SENSORS][CONFIG_NAME_SIZE] = {};
int g_live_sensor_count = 0;
char g_dtc_names[MAX_DTC_KINDS][CONFIG_NAME_SIZE] = {};
int g_dtc_count = 0;

std::string config_json_path() { return platform_config_dir() + "/config.json"; }

std::string default_config_json_path()
{
    return platform_config_dir() + "/default_config/default_config.json";
}

namespace {

// Whole file as text; the failures worth a message are reported here.
bool read_config_text(const char *path, std::string &text)
{
    switch (read_text_file(path, text)) {
    case text_file_status::ok:
        return true;
    case text_file_status::open_failed:
        std::perror("File open failed");
        return false;
    case text_file_status::read_failed:
        std::perror("File read failed");
        return false;
    case text_file_status::size_failed:
    case text_file_status::no_memory:
        break;
    }
    return false;
}

// Copies at most CONFIG_NAME_SIZE - 1 characters and terminates.
void copy_name(char (&dst)[CONFIG_NAME_SIZE], const char *src)
{
    std::strncpy(dst, src, CONFIG_NAME_SIZE - 1);
    dst[CONFIG_NAME_SIZE - 1] = '\0';
}

bool is_selected(const cJSON *item) { return cJSON_IsNumber(item) && item->valueint == 1; }

void read_can_settings(const cJSON *root)
{
    const cJSON *can_port = cJSON_GetObjectItem(root, "can_port");
    if (!cJSON_IsObject(can_port))
        return;
    const cJSON *padding = cJSON_GetObjectItem(can_port, "padding");
    if (cJSON_IsNumber(padding))
        g_can_padding = padding->valueint;
    const cJSON *bitrate = cJSON_GetObjectItem(can_port, "BR");
    if (cJSON_IsNumber(bitrate))
        g_can_bitrate = bitrate->valueint;
}

void read_live_sensors(const cJSON *root)
{
    g_live_sensor_count = 0;
    std::memset(g_live_sensor_names, 0, sizeof(g_live_sensor_names));
    const cJSON *live_page = cJSON_GetObjectItem(root, "live_page");
    if (!cJSON_IsObject(live_page))
        return;
    const cJSON *sensors = cJSON_GetObjectItem(live_page, "sensors");
    if (!cJSON_IsArray(sensors))
        return;
    const cJSON *sensor = nullptr;
    cJSON_ArrayForEach(sensor, sensors) {
        if (g_live_sensor_count >= MAX_LIVE_SENSORS)
            break;
        const cJSON *name = cJSON_GetObjectItem(sensor, "name");
        if (!cJSON_IsString(name) || !name->valuestring ||
            !is_selected(cJSON_GetObjectItem(sensor, "show")))
            continue;
        copy_name(g_live_sensor_names[g_live_sensor_count++], name->valuestring);
    }
}

void read_dtc_kinds(const cJSON *root)
{
    g_dtc_count = 0;
    std::memset(g_dtc_names, 0, sizeof(g_dtc_names));
    const cJSON *show_dtc = cJSON_GetObjectItem(root, "show_dtc");
    if (!cJSON_IsObject(show_dtc))
        return;
    const cJSON *kind = nullptr;
    cJSON_ArrayForEach(kind, show_dtc) {
        if (g_dtc_count >= MAX_DTC_KINDS)
            break;
        if (kind->string && is_selected(kind))
            copy_name(g_dtc_names[g_dtc_count++], kind->string);
    }
}

} // namespace

int parse_config_json(const char *path)
{
    std::string text;
    if (!read_config_text(path, text))
        return 0;
    json_ptr root(cJSON_Parse(text.c_str()));
    if (!root) {
        std::puts("Error: JSON parse failed");
        return 0;
    }
    read_can_settings(root.get());
    read_live_sensors(root.get());
    read_dtc_kinds(root.get());
    return 1;
}

std::string rejected_config_json_path() { return config_json_path() + ".rejected"; }

namespace {

enum class kept_config { kept, nothing_to_keep, failed };

// A user's edit with one typo must not be lost to the default: the rejected
// file is kept beside it first. A file the daemon cannot read is of no use to
// keep (and keeping it in place would leave the board unconfigured for ever);
// a rejected copy of the default itself (a broken default) is none of the
// user's and must not overwrite the user's file kept before.
kept_config keep_rejected_config(const std::string &defaults)
{
    std::string rejected;
    if (read_text_file(config_json_path().c_str(), rejected) != text_file_status::ok || rejected == defaults)
        return kept_config::nothing_to_keep;
    const std::string kept = rejected_config_json_path();
    const text_write_status status = replace_text_file(kept.c_str(), rejected);
    if (status == text_write_status::written || status == text_write_status::unchanged)
        return kept_config::kept;
    std::printf("OBD2_ERROR : Failed to keep the rejected config as %s.\n", kept.c_str());
    return kept_config::failed;
}

} // namespace

// The daemon writes beside config.json only in a restore (the default over
// it, the rejected file beside it): a temporary file found at start is the
// remains of a restore cut short. Later, config.json.tmp may be another
// writer's replacement under way, so reads leave it alone.
void remove_interrupted_config_restore()
{
    remove_replacement_temp(config_json_path().c_str());
    remove_replacement_temp(rejected_config_json_path().c_str());
}

int restore_default_config()
{
    std::puts("OBD2_ERROR : Error while parsing json.");
    // config.json is replaced whole or not at all: a restore cut short by a
    // crash or power loss leaves the old file, never an empty or half one.
    std::string defaults;
    bool restored = read_text_file(default_config_json_path().c_str(), defaults) == text_file_status::ok;
    const kept_config kept = restored ? keep_rejected_config(defaults) : kept_config::nothing_to_keep;
    restored = restored && kept != kept_config::failed;
    if (restored) {
        text_write_status status = replace_text_file(config_json_path().c_str(), defaults);
        restored = status == text_write_status::written || status == text_write_status::unchanged;
    }
    if (!restored) {
        std::puts("OBD2_ERROR : Failed to restore default config file!");
        return 0;
    }
    if (kept == kept_config::kept)
        std::printf("Default config restored successfully. The rejected file is kept as %s.\n",
                    rejected_config_json_path().c_str());
    else
        std::puts("Default config restored successfully.");
    return 1;
}

void print_config_summary()
{
    std::puts("=== CAN Config ===");
    std::printf("Padding: %d\n", g_can_padding);
    std::printf("Bitrate: %d\n", g_can_bitrate);
    std::puts("\n=== Live Sensors ===");
    for (int i = 0; i < g_live_sensor_count && i < MAX_LIVE_SENSORS; ++i)
        std::printf("Sensor %d: %s\n", i + 1, g_live_sensor_names[i]);
    std::puts("\n=== DTC Names ===");
    for (int i = 0; i < g_dtc_count && i < MAX_DTC_KINDS; ++i)
        std::printf("DTC %d: %s\n", i + 1, g_dtc_names[i]);
}

bool config_is_the_default()
{
    std::string config, defaults;
    return read_text_file(config_json_path().c_str(), config) == text_file_status::ok &&
           read_text_file(default_config_json_path().c_str(), defaults) == text_file_status::ok &&
           config == defaults;
}
