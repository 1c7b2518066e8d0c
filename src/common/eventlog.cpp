#include "common/eventlog.h"

#include <initializer_list>

int event_strings(const char* s1, const char* s2, const char* s3, const char* out[3])
{
    int n = 0;
    for (const char* s : {s1, s2, s3})
        if (s != nullptr)
            out[n++] = s;
    return n;
}
