// The tamper-protection PIN as config.ini keeps it.
#pragma once

bool tamper_pin_is_set();
bool tamper_pin_set(const char* pin);
bool tamper_pin_verify(const char* pin);
