#include "common/text.h"

#include <climits>
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

long text_atol(const char* s, size_t n)
{
    size_t i = 0;
    while (i < n && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r')))
        i++;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        i++;
    }
    long value = 0;
    for (; i < n && s[i] >= '0' && s[i] <= '9'; i++) {
        const int d = s[i] - '0';
        if (!negative) {
            if (value > (LONG_MAX - d) / 10)
                return LONG_MAX;
            value = value * 10 + d;
        } else {
            if (value < (LONG_MIN + d) / 10)
                return LONG_MIN;
            value = value * 10 - d;
        }
    }
    return value;
}
