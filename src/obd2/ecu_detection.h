// Addressing-mode detection: which mode a vehicle answers on, and which ECUs
// answer one functional request.
#pragma once

#include "obd2/isotp.h"

// Tries 11-bit, then 29-bit. Returns 1 or 2 for the mode that answered, -2
// for a negative response, 0 when neither answered.
int detect_mode(const std::uint8_t *req, std::size_t req_len, std::uint8_t *resp,
                std::uint64_t *resp_len, queued_answer queued = queued_answer::counts);

// How long detection listens for further ECUs after the first answer: the
// answer time P2CAN of ISO 15765-4.
constexpr int ISOTP_MORE_RESPONDERS_MS = 50;

// detect_mode(), then, when an ECU answered (a refusal counts: it is there),
// listens ISOTP_MORE_RESPONDERS_MS more for the other ECUs answering the same
// request: `found` gets every responder on that mode (at most `max_found`),
// lowest identifier first.
//   ECM 7E8 answers, TCM 7E9 8 ms later -> 1, found = {7E8, 1}, {7E9, 1}
int detect_ecus(const std::uint8_t *req, std::size_t req_len, std::uint8_t *resp, std::uint64_t *resp_len,
                ecu_entry *found, int max_found, int *found_count);
