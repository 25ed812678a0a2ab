#include "gpio/relay_driver.h"
