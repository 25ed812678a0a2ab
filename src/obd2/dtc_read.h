// Services 03, 07, 0A: stored, pending and permanent trouble codes.
#pragma once

#include <cjson/cJSON.h>
#include <cstddef>
#include <cstdint>

constexpr int FINAL_JSON_SIZE = 3072;
extern char final_json[FINAL_JSON_SIZE];

extern std::uint8_t g_arr_stored_dtc_cmd[8];
extern std::uint8_t g_arr_pending_dtc_cmd[8];
extern std::uint8_t g_arr_permanent_dtc_cmd[8];

const char *handle_dtc_command();
const char *decode_dtc_array(const std::uint8_t *resp, std::size_t len);
void keep_only_pending_in_stored(cJSON *stored, cJSON *pending);
void get_dtc_info(int *count, char names[][64]);
