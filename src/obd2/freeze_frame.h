// Service 02: freeze frame 0 of the engine ECU, the trouble code that stored
// it and the values the ECU froze with it.
#pragma once

#include "obd2/obd2_types.h"

#include <string>

// Reads frame 0 of `engine`: PID 02 (the code; 0000 or a refusal as not
// supported, 7F 02 12 or 7F 02 31: no frame stored), the supported-PID
// bitmaps 00, 20, 40, 60, then every catalogue PID the frame supports, in
// catalogue order, converted as live data does:
//   {"TYP":1,"CMD":21,"DATA":{"DTC":"P0420","VALUES":{"ENGRPM":850.00,"SPD":"--"}}}
// "--" for a PID the frame claims but does not answer with its data bytes
// (03 42 0C 00); without a frame
//   {"TYP":1,"CMD":21,"DATA":{"DTC":"","VALUES":{}}}
// ecu_reply::answered with the document in `document`; silent when PID 02
// got no answer or another refusal (busy, conditions not correct: the frame
// may be there), unusable when its answer could not be read.
ecu_reply handle_freeze_frame_command(const ecu_entry &engine, std::string &document);
