// Service 02: freeze frame 0 of the engine ECU, the trouble code that stored
// it and the values the ECU froze with it.
#pragma once

#include "c_handles.h"
#include "obd2/obd2_types.h"

#include <string>

// {"TYP":1,"CMD":21,"DATA":{"DTC":dtc,"VALUES":{}}}; `values` gets the
// VALUES object. Null when it could not be built.
json_ptr create_frame_document(const char *dtc, cJSON **values);
std::string print_frame_document(const cJSON *doc);

// Reads frame 0 of `engine`: PID 02 (the code; 0000 or a refusal as not
// supported, 7F 02 12 or 7F 02 31: no frame stored), the supported-PID bitmaps 00, 20, 40, 60, then every catalogue
// PID the frame supports, in catalogue order, converted as live data does:
//   {"TYP":1,"CMD":21,"DATA":{"DTC":"P0420","VALUES":{"ENGRPM":850.00,"SPD":"--"}}}
// "--" for a PID the frame claims but does not answer with its data bytes
// (03 42 0C 00); without a frame
//   {"TYP":1,"CMD":21,"DATA":{"DTC":"","VALUES":{}}}
// ecu_reply::answered with the document in `document`; silent when PID 02
// got no answer or another refusal (busy, conditions not correct: the frame
// may be there), unusable when its answer could not be read.
// An OBD-on-UDS vehicle: the same document from its snapshot (19 03, 19 04).
ecu_reply handle_freeze_frame_command(const ecu_entry &engine, std::string &document);

// OBD on UDS: the snapshots listed (19 03); record 00, else the first, read
// (19 04); its F4xx DIDs are the frame's values, in catalogue order. No
// snapshot, or a refusal 7F 19 12/31: the document without a frame; any
// other refusal is a failed attempt (silent).
ecu_reply handle_snapshot_command(const ecu_entry &engine, std::string &document);
