// The engine ECU as the ECU list holds it after detection, for the service
// tests that call a service for one ECU.
#pragma once

#include "obd2/obd2_types.h"

inline constexpr ecu_entry ECM_11BIT{0x7E8, ADDR_MODE_11BIT};
inline constexpr ecu_entry ECM_29BIT{0x18DAF110, ADDR_MODE_29BIT};
