// Status packets: {"TYP":n,"CMD":n,"ERROR":0|1,"DATA":{"msg":word}}.
#pragma once

constexpr int STATUS_PACKET_SIZE = 500; // the buffers callers compose into

// Builds the packet into `out` (at least 100 bytes). `word` may be null for
// an empty "DATA" object. Returns 1 on success, 0 otherwise.
int create_pkt_without_data(char *out, int typ, int cmd, int error, const char *word);
