// The retained document on "dt/app_to_ui/state" that tells a UI where the
// daemon stands, e.g.
// {"ONLINE":1,"LINK":"up","ECU":{"ADDR":"7E8","PROTO":"ISO15765-4 (11-bit)",
//  "VIN":"1T9AB12C3DE456789"},"CONFIG":"ok","BUSY":0,"RELAYS":{"DO0":0,...,"DO11":0}}
// and {"ONLINE":0} once it is gone (the last will, or a stop).
#pragma once

#include "handover/ui_state_cells.h"

#include <string>

constexpr const char *UI_STATE_TOPIC = "dt/app_to_ui/state";
constexpr const char *UI_STATE_OFFLINE = "{\"ONLINE\":0}";
constexpr int UI_STATE_RELAYS = 12;

// Compact, members in the order above; "ECU" null while no vehicle is known.
std::string ui_state_document(const ui_state &state);
