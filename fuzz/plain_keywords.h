// The reference the keyword fuzzers check against: a lower-cased copy of
// the data and one search per keyword, the plain way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// How many keywords of `table` (null-terminated) occur in the data,
// letters compared without case.
inline int plain_keyword_count(const uint8_t* data, size_t size, const char* const* table)
{
    std::string low(reinterpret_cast<const char*>(data), size);
    for (char& c : low)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    int n = 0;
    for (const char* const* e = table; *e != nullptr; e++) {
        std::string k(*e);
        for (char& c : k)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
        if (low.find(k) != std::string::npos)
            n++;
    }
    return n;
}
