#include "mqtt/command_routing.h"
