#include "frontdoor/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

bool bounded_copy(char* dst, const char* src, size_t size)
{
    if (size == 0)
        return src != nullptr && src[0] != '\0';
    if (src == nullptr) {
        dst[0] = '\0';
        return false;
    }
    size_t n = 0;
    while (n + 1 < size && src[n] != '\0') {
        dst[n] = src[n];
        n++;
    }
    dst[n] = '\0';
    return src[n] != '\0';
}

bool bounded_format(char* dst, size_t size, const char* fmt, ...)
{
    if (size == 0)
        return true;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(dst, size, fmt, ap);
    va_end(ap);
    if (n < 0) {
        dst[0] = '\0';
        return true;
    }
    return static_cast<size_t>(n) >= size;
}

int ascii_stricmp(const char* a, const char* b)
{
    for (;; a++, b++) {
        int ca = ascii_lower(static_cast<unsigned char>(*a));
        int cb = ascii_lower(static_cast<unsigned char>(*b));
        if (ca != cb || ca == 0)
            return ca - cb;
    }
}
