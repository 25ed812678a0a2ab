// config.json: bitrate, fill byte, live sensors and trouble-code kinds.
#pragma once

#include <string>

constexpr int MAX_LIVE_SENSORS = 16;
constexpr int MAX_DTC_KINDS = 3;
constexpr int CONFIG_NAME_SIZE = 64;

extern int g_can_padding;
extern int g_can_bitrate;
extern char g_live_sensor_names[MAX_LIVE_SENSORS][CONFIG_NAME_SIZE];
extern int g_live_sensor_count;
extern char g_dtc_names[MAX_DTC_KINDS][CONFIG_NAME_SIZE];
extern int g_dtc_count;

std::string config_json_path();         // <config dir>/config.json
std::string default_config_json_path(); // <config dir>/default_config/default_config.json

// Reads `path` into the configuration variables. 1 when the file was read
// and parsed as JSON, 0 otherwise.
int parse_config_json(const char *path);

// Copies the factory default over config.json. Prints its own messages;
// returns 1 when the copy was made. config.json is left untouched when the
// default cannot be read.
int restore_default_config();

// "=== CAN Config ===" and the lines that follow it.
void print_config_summary();
