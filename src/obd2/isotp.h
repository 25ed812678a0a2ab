// One OBD-II request out, one complete answer back: request frames, ISO-TP
// reassembly with flow control, negative responses, addressing-mode detection.
#pragma once

#include "obd2/obd2_types.h"

#include <cstddef>
#include <cstdint>

// Writes b0, b1, b2 (each modulo 256) and fills bytes 3..7 with the
// configured fill byte. Returns 1.
int prepare_request(std::uint8_t *payload, int b0, int b1, int b2);

// Sends `req` on the socket of `addr_mode` and receives the answer into
// `resp` (at least OBD2_RESPONSE_SIZE bytes; byte 0 is a length byte, byte 1
// the service byte). Returns 0 for an answer, -1 for a failure, -2 for a
// negative response.
int send_obd2_request(int addr_mode, const std::uint8_t *req, std::size_t req_len,
                      std::uint8_t *resp, std::uint64_t *resp_len, int req_kind);

// Tries 11-bit, then 29-bit. Returns 1 or 2 for the mode that answered, -2
// for a negative response, 0 when neither answered.
int detect_mode(const std::uint8_t *req, std::size_t req_len, std::uint8_t *resp,
                std::uint64_t *resp_len);
