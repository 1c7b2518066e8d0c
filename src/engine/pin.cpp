#include "engine/pin.h"

#include "common/settings.h"
#include "detect/sha256.h"

#include <cstring>

void pin_read_stored(const char* config_text, size_t len, char out[TG_PIN_READ_SIZE])
{
    settings_get(config_text, len, "tamper_pin_hash", out, TG_PIN_READ_SIZE, "");
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Length of a NUL-terminated text, looking at no more than max + 1 bytes:
// enough to tell "too long" without walking an arbitrary buffer.
static size_t bounded_length(const char* s, size_t max)
{
    size_t n = 0;
    while (n <= max && s[n] != '\0')
        n++;
    return n;
}

bool pin_parse_stored(const char* stored, PinStored* out)
{
    if (stored == nullptr || bounded_length(stored, TG_PIN_STORED_LENGTH) != TG_PIN_STORED_LENGTH)
        return false;
    if (stored[TG_PIN_SALT_HEX_LENGTH] != ':')
        return false;
    PinStored parsed = {};
    for (size_t i = 0; i < TG_PIN_SALT_BYTES; i++) {
        int hi = hex_value(stored[2 * i]);
        int lo = hex_value(stored[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        parsed.salt[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    std::memcpy(parsed.hash, stored + TG_PIN_SALT_HEX_LENGTH + 1, TG_PIN_HASH_HEX_LENGTH);
    parsed.hash[TG_PIN_HASH_HEX_LENGTH] = '\0';
    if (out != nullptr)
        *out = parsed;
    return true;
}

bool pin_length_ok(const char* pin)
{
    if (pin == nullptr)
        return false;
    size_t n = bounded_length(pin, TG_PIN_MAX_LENGTH);
    return n >= 1 && n <= TG_PIN_MAX_LENGTH;
}

// Clears memory that held PIN material; the volatile writes are not dropped
// as dead stores.
static void wipe(void* p, size_t n)
{
    volatile unsigned char* b = static_cast<volatile unsigned char*>(p);
    while (n-- > 0)
        *b++ = 0;
}

// SHA-256 hex of the salt bytes followed by the PIN bytes. The PIN length must
// have been checked.
static void pin_hash_hex(const unsigned char* salt, const char* pin, char out[65])
{
    Sha256Ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, salt, TG_PIN_SALT_BYTES);
    sha256_update(&ctx, pin, std::strlen(pin));
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_final(&ctx, digest);
    sha256_digest_hex(digest, out);
    wipe(&ctx, sizeof ctx);
    wipe(digest, sizeof digest);
}

bool pin_format_stored(const unsigned char salt[TG_PIN_SALT_BYTES], const char* pin, char* out,
                       size_t out_size)
{
    if (out == nullptr || out_size == 0)
        return false;
    out[0] = '\0';
    if (salt == nullptr || !pin_length_ok(pin) || out_size < TG_PIN_STORED_SIZE)
        return false;
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < TG_PIN_SALT_BYTES; i++) {
        out[2 * i] = kHex[salt[i] >> 4];
        out[2 * i + 1] = kHex[salt[i] & 0x0f];
    }
    out[TG_PIN_SALT_HEX_LENGTH] = ':';
    pin_hash_hex(salt, pin, out + TG_PIN_SALT_HEX_LENGTH + 1);
    return true;
}

bool pin_verify(const char* stored, const char* pin)
{
    PinStored parsed;
    if (!pin_length_ok(pin) || !pin_parse_stored(stored, &parsed))
        return false;
    char actual[TG_PIN_HASH_HEX_LENGTH + 1];
    pin_hash_hex(parsed.salt, pin, actual);
    unsigned diff = 0;
    for (size_t i = 0; i < TG_PIN_HASH_HEX_LENGTH; i++)
        diff |= static_cast<unsigned char>(actual[i] ^ parsed.hash[i]);
    wipe(actual, sizeof actual);
    return diff == 0;
}
