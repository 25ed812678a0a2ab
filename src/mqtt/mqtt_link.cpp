#include "mqtt/mqtt_link.h"
