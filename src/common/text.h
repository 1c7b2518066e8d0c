// Bounded text helpers shared by every area. Both always terminate the
// destination (when its size is not 0), cut the text to fit and never write
// past `size` bytes. They return true when the text was cut.
#pragma once

#include <cstddef>

bool bounded_copy(char* dst, const char* src, size_t size);

#if defined(__GNUC__)
#define TG_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define TG_PRINTF(fmt_index, first_arg)
#endif

bool bounded_format(char* dst, size_t size, const char* fmt, ...) TG_PRINTF(3, 4);

// Lower-cases one byte with the C locale's rules (A-Z only), whatever the
// process locale is.
inline unsigned char ascii_lower(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

// atol over the first `n` bytes of `s`: leading white space, an optional
// sign, then digits up to the first other byte; 0 when there are none. Out of
// range values are held at LONG_MIN / LONG_MAX instead of overflowing.
long text_atol(const char* s, size_t n);

// Case-insensitive (ASCII) comparison of two NUL-terminated strings; the
// same ordering as _stricmp for ASCII text.
int ascii_stricmp(const char* a, const char* b);
