#include "obd2/session.h"
