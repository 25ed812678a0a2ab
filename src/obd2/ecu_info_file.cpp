#include "obd2/ecu_info_file.h"
