// signatures.db text: hex digests decoded eight characters at a time, and
// one line parsed into its digest and name.
#include "detect/sigs_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "detect/sigs_internal.h"

namespace {

inline bool is_separator(char c)
{
    return c == ' ' || c == '\t' || c == ':' || c == '=';
}

// Per byte of x, 0x80 when the byte lies in [lo, hi], else 0; every byte of
// x must be below 0x80 (no sum then carries into the next byte).
inline uint64_t bytes_between(uint64_t x, unsigned lo, unsigned hi)
{
    const uint64_t ones = 0x0101010101010101ull;
    const uint64_t top = 0x8080808080808080ull;
    return (x + ones * (0x80 - lo)) & ~(x + ones * (0x7f - hi)) & top;
}

// Decodes a digest from its 64 hex characters, eight at a time; false when
// any of them is not a hex digit (of either case when `upper`, isxdigit in
// the C locale, else only the lower-case text a digest is written in).
// Reading stops at a NUL, so a shorter C string is never read past its end.
bool decode_hex(const char* text, uint8_t* digest, bool upper)
{
    const uint64_t top = 0x8080808080808080ull;
    uint64_t bad = 0;
    for (size_t i = 0; i < 2 * SHA256_DIGEST_SIZE; i += 8) {
        uint64_t x = 0; // character i in the lowest byte
        for (size_t k = 0; k < 8; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[i + k]);
            if (c == '\0') {
                return false; // the end of the text: nothing after it is read
            }
            x |= static_cast<uint64_t>(c) << (8 * k);
        }
        const uint64_t ascii = x & ~top;
        uint64_t ok = bytes_between(ascii, '0', '9') | bytes_between(ascii, 'a', 'f');
        if (upper) {
            ok |= bytes_between(ascii, 'A', 'F');
        }
        bad |= (x & top) | (ok ^ top);
        // '0'..'9' have bit 6 clear, letters set: value = low nibble + 9 * bit 6.
        const uint64_t v = (x & 0x0f0f0f0f0f0f0f0full) + ((x >> 6) & 0x0101010101010101ull) * 9;
        // Nibble pairs into bytes: character 2k is the high nibble.
        uint64_t t = ((v << 4) | (v >> 8)) & 0x00ff00ff00ff00ffull;
        t = (t | (t >> 8)) & 0x0000ffff0000ffffull;
        t = (t | (t >> 16)) & 0x00000000ffffffffull;
        const uint8_t out[4] = {static_cast<uint8_t>(t), static_cast<uint8_t>(t >> 8),
                                static_cast<uint8_t>(t >> 16), static_cast<uint8_t>(t >> 24)};
        memcpy(digest + i / 2, out, sizeof(out));
    }
    return bad == 0;
}

} // namespace

// Stops at the text's terminator like decode_hex, so a shorter text is
// never read past its end.
bool decode_digest_text(const char* text, uint8_t* digest)
{
    return decode_hex(text, digest, false) && text[2 * SHA256_DIGEST_SIZE] == '\0';
}

int sig_parse_line(const char* text, size_t len, SigLine* out)
{
    // The line ends at the first CR or LF, and at a NUL as C text would.
    if (len < TG_SIG_MIN_LINE || text[0] == '#') {
        return 0;
    }
    // A CR, LF or NUL among the first 64 characters fails the hex test, as
    // the line is then too short anyway.
    if (!decode_hex(text, out->digest, true)) {
        return 0;
    }
    size_t end = 2 * SHA256_DIGEST_SIZE;
    while (end < len && text[end] != '\r' && text[end] != '\n' && text[end] != '\0') {
        ++end;
    }
    if (end < TG_SIG_MIN_LINE) {
        return 0;
    }
    size_t pos = 2 * SHA256_DIGEST_SIZE;
    while (pos < end && is_separator(text[pos])) {
        ++pos;
    }
    if (pos < end) {
        out->name = text + pos;
        out->name_len = std::min(end - pos, kNameMax);
    } else {
        out->name = SIG_DEFAULT_NAME;
        out->name_len = sizeof(SIG_DEFAULT_NAME) - 1;
    }
    return 1;
}
