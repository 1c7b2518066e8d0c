// Tamper PIN stored values and verification. Input: the stored value up to
// the first LF, then the PIN. The whole input is also tried as a stored value
// and as a PIN.
#include "engine/pin.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

static void check(bool ok)
{
    if (!ok)
        abort();
}

static void check_pair(const char* stored, const char* pin)
{
    PinStored parsed;
    bool ok = pin_parse_stored(stored, &parsed);
    bool verified = pin_verify(stored, pin);
    check(!verified || (ok && pin_length_ok(pin)));
    if (!ok || !pin_length_ok(pin))
        return;

    char fresh[TG_PIN_STORED_SIZE];
    check(pin_format_stored(parsed.salt, pin, fresh, sizeof fresh));
    check(std::strlen(fresh) == TG_PIN_STORED_LENGTH);
    check(pin_verify(fresh, pin));
    // The same salt, in lower case, and the stored hash verifies exactly when
    // it is the one the PIN gives.
    for (size_t i = 0; i < TG_PIN_SALT_HEX_LENGTH; i++)
        check(fresh[i] == std::tolower(static_cast<unsigned char>(stored[i])));
    check(verified == (std::strcmp(fresh + TG_PIN_SALT_HEX_LENGTH + 1, parsed.hash) == 0));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string all(reinterpret_cast<const char*>(data), size);
    size_t lf = all.find('\n');
    std::string stored = all.substr(0, lf);
    std::string pin = lf == std::string::npos ? std::string() : all.substr(lf + 1);
    check_pair(stored.c_str(), pin.c_str());
    check_pair(all.c_str(), "1234");
    check_pair("000102030405060708090a0b0c0d0e0f:"
               "bad0b4f7cae08eb7c1b5acc763a8ed25242e2c9173e81f3f624b1fa5303cf6ce",
               all.c_str());

    char out[TG_PIN_READ_SIZE];
    pin_read_stored(all.data(), all.size(), out);
    check(std::strlen(out) < TG_PIN_READ_SIZE);
    return 0;
}
