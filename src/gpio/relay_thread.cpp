#include "gpio/relay_thread.h"
