#include "install/service.h"

const char* service_state_word(unsigned long state)
{
    static const char* const words[] = {"STOPPED",  "STARTING", "STOPPING", "RUNNING",
                                        "RESUMING", "PAUSING",  "PAUSED"};
    if (state >= 1 && state <= 7)
        return words[state - 1];
    return "unknown";
}
