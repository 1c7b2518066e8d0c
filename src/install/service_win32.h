#pragma once

#include <cstddef>

// Whether the "Tallowguard" service is registered; fills its state word
// (at most 31 characters) when it is. Nothing is logged.
bool service_query(char* state, size_t size);
