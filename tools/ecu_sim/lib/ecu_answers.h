// What both dialects answer from: the profile's data as the classic services
// carry it, shared by the classic answers (ecu_engine.cpp) and the OBD-on-UDS
// answers (ecu_obd_on_uds.cpp). Not part of the public API.
#pragma once

#include "ecu_sim.h"

constexpr std::uint8_t NRC_RESPONSE_PENDING = 0x78;

// 7F <service> <nrc>
byte_vector ecu_negative(std::uint8_t service, std::uint8_t nrc);

// The data bytes behind 41 <PID> (cycled values, PID 01 from the readiness,
// computed bitmaps); nullopt when the PID is not supported.
std::optional<byte_vector> ecu_pid_data(ecu_engine &engine, std::size_t node, std::uint8_t pid);

// The bytes behind 49 <InfoType> (item count first, computed bitmaps without
// one); nullopt when the InfoType is not supported.
std::optional<byte_vector> ecu_info_data(const ecu_node_profile &ecu, std::uint8_t info_type);

// A clear through `service` (04 or 14): the configured "response pending"
// answers, then the final one; each is the answer to one request.
std::optional<byte_vector> ecu_clear_answer(ecu_engine &engine, std::size_t node, std::uint8_t service);
// The final answer of a clear: codes cleared and a positive answer, a
// refusal, or silence.
std::optional<byte_vector> ecu_final_clear_answer(ecu_engine &engine, std::size_t node, std::uint8_t service);

// OBD on UDS: the answer to a request, nullopt for silence (every classic
// service among them).
std::optional<byte_vector> ecu_obd_on_uds_answer(ecu_engine &engine, std::size_t node, const byte_vector &request);
// Is `request` the OBD-on-UDS clear (14 FF FF 33)?
bool ecu_is_obd_on_uds_clear(const byte_vector &request);
