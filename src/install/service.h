// Windows service facts (pure).
#pragma once

#define TG_SERVICE_NAME "Tallowguard"
#define TG_SERVICE_DISPLAY_NAME "Tallowguard Protection Service"

// "STOPPED", "STARTING", "STOPPING", "RUNNING", "RESUMING", "PAUSING",
// "PAUSED" for the states 1..7; "unknown" otherwise.
const char* service_state_word(unsigned long state);
