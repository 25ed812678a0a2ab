#include "obd2/dtc_clear.h"
