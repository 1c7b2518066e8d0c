// Tamper-protection PIN: the stored value in config.ini (`tamper_pin_hash`)
// and the check of a typed PIN against it. The stored value is
// "salt:hash": 32 hex characters of a 16-byte random salt, ':', and the 64
// lower-case hex characters of SHA-256 over the raw salt bytes followed by the
// PIN's bytes. The shell draws the salt (CryptGenRandom), reads and writes the
// setting and logs; everything here is pure.
#pragma once

#include "engine/limits.h"

#include <cstddef>

struct PinStored {
    unsigned char salt[TG_PIN_SALT_BYTES];
    char hash[TG_PIN_HASH_HEX_LENGTH + 1]; // the expected hash text as stored
};

// Reads `tamper_pin_hash` from the text of config.ini (NULL when the file is
// missing) into `out`, a TG_PIN_READ_SIZE buffer, so that an overlong value
// is never cut down to one that parses. Empty when the key is absent.
void pin_read_stored(const char* config_text, size_t len, char out[TG_PIN_READ_SIZE]);

// Parses a stored value: exactly 97 characters, ':' as the 33rd, 32 hex
// digits before it (either case) giving the salt, and the last 64 characters
// taken as the expected hash. Returns false for anything else (no PIN set);
// *out is then unspecified. `out` may be NULL to test the form only.
bool pin_parse_stored(const char* stored, PinStored* out);

// A PIN is 1..64 bytes as typed (no trimming, no case folding); NULL is not.
bool pin_length_ok(const char* pin);

// Writes the stored value for a new salt and PIN into `out` (at least
// TG_PIN_STORED_SIZE bytes). Returns false, with `out` emptied when it has
// room for that, for a PIN of bad length or a buffer that is too small.
bool pin_format_stored(const unsigned char salt[TG_PIN_SALT_BYTES], const char* pin, char* out,
                       size_t out_size);

// True only when `stored` parses, the PIN has a good length and its hash with
// the stored salt equals the stored hash. The comparison runs over all 64
// characters whatever they hold, so its time does not tell how much matched.
bool pin_verify(const char* stored, const char* pin);
