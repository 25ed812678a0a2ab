// config.json: bitrate, fill byte, live sensors and trouble-code kinds.
#pragma once

#include <string>

constexpr int MAX_LIVE_SENSORS = 16;
constexpr int MAX_DTC_KINDS = 3;
constexpr int CONFIG_NAME_SIZE = 64;

// Written by parse_config_json only; read on the OBD thread.
extern int g_can_padding; // fill byte of request and flow-control frames (low 8 bits sent)
extern int g_can_bitrate; // bits per second
extern char g_live_sensor_names[MAX_LIVE_SENSORS][CONFIG_NAME_SIZE];
extern int g_live_sensor_count;
extern char g_dtc_names[MAX_DTC_KINDS][CONFIG_NAME_SIZE];
extern int g_dtc_count;

std::string config_json_path();         // <config dir>/config.json
std::string default_config_json_path(); // <config dir>/default_config/default_config.json
std::string rejected_config_json_path(); // <config dir>/config.json.rejected

// Reads `path` into the configuration variables. 1 when the file was read
// and parsed as JSON (whatever its content), 0 otherwise. The sensor and
// trouble-code lists are replaced on success; padding and bitrate change only
// when the file supplies them.
//   {"can_port":{"padding":170,"BR":500000}} -> 1, g_can_padding 170, g_can_bitrate 500000
int parse_config_json(const char *path);

// Removes the temporary files that a restore cut short by a crash or a power
// loss left (config.json.tmp, config.json.rejected.tmp). Called once, at
// start: on a later read config.json.tmp may be another writer's (the UI or
// an editor replacing config.json the same way) and is left alone; a
// restore clears its own.
void remove_interrupted_config_restore();

// Replaces config.json with the factory default, byte for byte and whole
// (see replace_text_file): a crash or power loss during the restore leaves
// the old file. The rejected file is first kept as config.json.rejected, the
// same way (rewritten only when its content differs). Prints
// "OBD2_ERROR : Error while parsing json." and then either
// "Default config restored successfully. The rejected file is kept as <path>."
// (returns 1) or "OBD2_ERROR : Failed to restore default config file!"
// (returns 0). config.json is left untouched when the default cannot be read
// or the rejected file cannot be kept. Publishing "WRNGCFG" is the caller's
// business.
int restore_default_config();

// True when config.json holds the same text as the default (as after a
// restore).
bool config_is_the_default();

// "=== CAN Config ===" and the lines that follow it.
void print_config_summary();
