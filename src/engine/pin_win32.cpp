// The tamper PIN against config.ini: a fresh random salt for every PIN set,
// the check of a typed PIN. The stored form and the hashing are engine/pin.h's.
#include "engine/pin_win32.h"

#include "common/log_win32.h"
#include "common/settings_win32.h"
#include "engine/pin.h"

#include <wincrypt.h>

static void read_stored(char out[TG_PIN_READ_SIZE])
{
    config_get("tamper_pin_hash", out, TG_PIN_READ_SIZE, "");
}

bool tamper_pin_is_set()
{
    char stored[TG_PIN_READ_SIZE];
    read_stored(stored);
    return pin_parse_stored(stored, nullptr);
}

bool tamper_pin_set(const char* pin)
{
    if (!pin_length_ok(pin))
        return false;
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        log_msg("ERROR", "tamper: CryptAcquireContext failed (%lu)", GetLastError());
        return false;
    }
    unsigned char salt[TG_PIN_SALT_BYTES];
    BOOL drawn = CryptGenRandom(prov, sizeof(salt), salt);
    CryptReleaseContext(prov, 0);
    if (!drawn) {
        log_msg("ERROR", "tamper: CryptGenRandom failed");
        return false;
    }
    char stored[TG_PIN_STORED_SIZE];
    if (!pin_format_stored(salt, pin, stored, sizeof(stored)))
        return false;
    SecureZeroMemory(salt, sizeof(salt));
    if (!config_set("tamper_pin_hash", stored)) {
        log_msg("ERROR", "tamper: could not store the PIN");
        return false;
    }
    log_msg("INFO", "tamper: protection PIN set/changed");
    return true;
}

bool tamper_pin_verify(const char* pin)
{
    char stored[TG_PIN_READ_SIZE];
    read_stored(stored);
    return pin_verify(stored, pin);
}
