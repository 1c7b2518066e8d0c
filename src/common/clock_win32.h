// The local clock every area reads.
#pragma once

#include "common/localtime.h"

// Local time now; tests may install another clock.
LocalTime clock_now();
void clock_set_override(void (*fn)(LocalTime* out));
