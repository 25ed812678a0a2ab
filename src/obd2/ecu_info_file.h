// ecu_info.json: the identified vehicle's fingerprint, protocol, bitrate and
// supported live PIDs.
#pragma once

#include <string>

std::string ecu_info_json_path(); // <config dir>/ecu_info.json

int save_ecu_info_json();
int compare_vehicle_info_with_saved();
int reset_supported_pid();
