// Settings text: reading any key from any bytes, and writing a key into any
// bytes, must stay in bounds; a write must keep every other byte and make
// the key read back as written.
#include "common/settings.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // First byte: key length; then the key, a value up to the first NUL, the text.
    if (size < 2)
        return 0;
    size_t klen = data[0] % 16 + 1;
    if (size < 1 + klen)
        return 0;
    std::string key(reinterpret_cast<const char*>(data + 1), klen);
    if (key.find_first_of("=\r\n") != std::string::npos || key.find('\0') != std::string::npos)
        return 0;
    const char* rest = reinterpret_cast<const char*>(data + 1 + klen);
    size_t rlen = size - 1 - klen;
    const char* nul = static_cast<const char*>(memchr(rest, 0, rlen));
    std::string value = nul ? std::string(rest, static_cast<size_t>(nul - rest)) : std::string();
    const char* text = nul ? nul + 1 : rest;
    size_t tlen = rlen - static_cast<size_t>(text - rest);

    char out[64];
    settings_get(text, tlen, key.c_str(), out, sizeof(out), "def");
    std::string next = settings_set(text, tlen, key.c_str(), value.c_str());
    char back[1100];
    settings_get(next.data(), next.size(), key.c_str(), back, sizeof(back), "<none>");
    std::string want = value.substr(0, value.find_first_of("\r\n"));
    if (key.size() + 1 + want.size() <= 1021 && want != back)
        __builtin_trap();
    return 0;
}
