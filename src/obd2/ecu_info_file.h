// ecu_info.json: the identified vehicle's fingerprint, protocol, bitrate and
// supported live PIDs.
#pragma once

#include <string>

std::string ecu_info_json_path(); // <config dir>/ecu_info.json

// Rewrites the file from g_vehicle_info, g_can_protocol, g_can_bitrate and
// g_pid_availability, whole or not at all (see replace_text_file), and not
// when it already holds the same bytes, nor once a stop is requested. 0 only
// when the document could not be built; a file that cannot be written is
// logged and still gives 1.
int save_ecu_info_json();

// 1 when VID, CID and CVN in memory equal the saved ones (each saved text
// non-empty and not "N/A"); 0 otherwise, including no or unreadable file.
int compare_vehicle_info_with_saved();

// Default availability, protocol "UNKNOWN", and the file rewritten. Returns
// the writer's result.
int reset_supported_pid();
