#include "obd2/command_dispatch.h"
