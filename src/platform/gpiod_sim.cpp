// In-memory stand-in for the libgpiod v2 calls the relay driver makes (host simulation and tests).
#include <gpiod.h>
