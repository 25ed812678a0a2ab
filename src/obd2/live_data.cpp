#include "obd2/live_data.h"
