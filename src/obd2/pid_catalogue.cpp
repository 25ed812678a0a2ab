#include "obd2/pid_catalogue.h"
