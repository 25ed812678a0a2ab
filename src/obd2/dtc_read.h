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

// Reads the configured kinds from every ECU of g_ecu_list and leaves
// {"TYP":1,"CMD":1,"DATA":{"STRDTC":[..],"PNDDTC":[..],"PRMDTC":[..]}} in
// final_json, which it returns. Stored codes are kept only when also pending.
// The document is always valid JSON: codes that would not fit final_json are
// left out (and logged). final_json stays empty when requests were sent and
// no ECU answered any of them (a refusal is an answer): a failed attempt.
const char *handle_dtc_command();

// One answer of service 03/07/0A -> JSON array text, e.g. the bytes
// 06 43 02 01 33 C1 00 -> ["P0133", "U0100"]. Chassis, body and P3xxx codes
// and 00 00 filler are dropped, repeats among the first 20 distinct codes
// too. The text lives in a static buffer until the next call.
const char *decode_dtc_array(const std::uint8_t *resp, std::size_t len);

// Removes from `stored`, in place, every item that is not a text found among
// the texts of `pending`.
void keep_only_pending_in_stored(cJSON *stored, cJSON *pending);

// Copies g_dtc_count and the configured kind names (each cut to 63 characters)
// into `names` (MAX_DTC_KINDS slots).
void get_dtc_info(int *count, char names[][64]);
