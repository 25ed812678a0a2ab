#include "obd2/isotp.h"
