#include "obd2/can_link.h"
