#include "obd2/pid_discovery.h"
