#include "obd2/vehicle_info.h"
