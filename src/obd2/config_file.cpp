#include "obd2/config_file.h"
