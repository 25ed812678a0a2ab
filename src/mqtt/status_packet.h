// Status packets: {"TYP":n,"CMD":n,"ERROR":0|1,"DATA":{"msg":word}}.
#pragma once

#include "mqtt/outbox.h"

constexpr int STATUS_PACKET_SIZE = 500; // the buffers callers compose into

// Builds the packet into `out` (at least 100 bytes). `word` may be null for
// an empty "DATA" object. Returns 1 on success, 0 otherwise.
int create_pkt_without_data(char *out, int typ, int cmd, int error, const char *word);

// Status packet of the session itself (CMD 0), composed and handed to the
// outbox as `how` says. 1 when published or kept; 0 when it could not be
// composed or was dropped.
int publish_status(const char *word, int error, delivery how = delivery::in_order);
