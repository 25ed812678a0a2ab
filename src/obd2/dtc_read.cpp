#include "obd2/dtc_read.h"
