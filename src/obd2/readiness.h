// Service 01 PID 01: the MIL, the count of confirmed codes and the readiness
// of the on-board monitors, merged over every listed ECU.
#pragma once

#include "obd2/obd2_types.h"

#include <cstdint>
#include <string>

// Bytes A, B, C, D of one ECU's answer 41 01 A B C D.
struct readiness_bytes {
    std::uint8_t a, b, c, d;
};

// The CMD 20 document for the answers of the ECUs that gave one, engine ECU
// first (`count` >= 1):
//   {"TYP":1,"CMD":20,"DATA":{"MIL":1,"DTC_COUNT":2,"IGNITION":"spark",
//    "MONITORS":{"MISFIRE":"complete",...,"EGR_VVT":"unsupported"}}}
// The ignition, and so the monitor names, is the first answer's. A monitor is
// supported if any ECU supports it and complete only if every ECU that
// supports it reports it complete. Empty when it could not be built.
std::string readiness_document(const readiness_bytes *answers, int count);

// Asks every ECU of g_ecu_list for PID 01 and leaves the document in
// `document` when the engine ECU (entry 0) answered (ecu_reply::answered);
// the others' answers merge in. Otherwise silent when the engine ECU stayed
// silent, or none answered and one stayed silent; unusable when the engine
// ECU refused or gave an answer too short to read.
ecu_reply handle_readiness_command(std::string &document);
