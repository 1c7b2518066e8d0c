// Fixed limits of the protection engine. Each says what happens at the limit.
#pragma once

#include <cstddef>

// Local date text "%04d-%02d-%02d" and its NUL. Dates are kept within years
// 1..9999, so the text is always 10 characters; anything longer is cut.
constexpr size_t TG_DATE_SIZE = 16;

// Schedule values the loop keeps in its settings snapshot (scan_days,
// scan_time, scan_freq). A longer value is cut to 127 characters; none of the
// values that mean something comes near it.
constexpr size_t TG_ENGINE_SETTING_SIZE = 128;

// Remote command text: 31 characters and a NUL. A longer command is cut, and
// a cut command never names a known one (they are all shorter).
constexpr size_t TG_COMMAND_SIZE = 32;

// Notify body "%ld files scanned - %ld threat%s found"; two 64-bit counters
// need fewer than 80 bytes, and the text is cut to fit otherwise.
constexpr size_t TG_SCAN_BODY_SIZE = 128;

// The missed-scan test looks at today and the 44 days before it; an older
// slot is not caught up.
constexpr int TG_MISSED_WALK_DAYS = 45;

// Loop settings: a value below the lower bound (text reads as 0) becomes the
// lower bound, a value above the upper bound becomes the upper bound.
constexpr int TG_SCAN_INTERVAL_HOURS_MIN = 1;
constexpr int TG_SCAN_INTERVAL_HOURS_MAX = 168;
constexpr int TG_HEARTBEAT_MINUTES_MIN = 5;
constexpr int TG_HEARTBEAT_MINUTES_MAX = 1440;
constexpr int TG_UPDATE_INTERVAL_HOURS_MIN = 1;
constexpr int TG_UPDATE_INTERVAL_HOURS_MAX = 168;
constexpr int TG_FEED_REFRESH_HOURS_MIN = 1;
constexpr int TG_FEED_REFRESH_HOURS_MAX = 24;

// Tamper PIN: 1..64 bytes as typed; a longer PIN is rejected, never cut.
constexpr size_t TG_PIN_MAX_LENGTH = 64;
// Random salt in bytes, and its hex text (32 characters).
constexpr size_t TG_PIN_SALT_BYTES = 16;
constexpr size_t TG_PIN_SALT_HEX_LENGTH = 2 * TG_PIN_SALT_BYTES;
// SHA-256 hex text: 64 characters.
constexpr size_t TG_PIN_HASH_HEX_LENGTH = 64;
// Stored value "salt:hash": exactly 97 characters; any other length is no PIN.
constexpr size_t TG_PIN_STORED_LENGTH = TG_PIN_SALT_HEX_LENGTH + 1 + TG_PIN_HASH_HEX_LENGTH;
constexpr size_t TG_PIN_STORED_SIZE = TG_PIN_STORED_LENGTH + 1;
// Buffer the stored value is read into from config.ini. It is larger than a
// well-formed value so that an overlong value stays overlong (and is no PIN)
// instead of being cut down to 97 characters that might parse.
constexpr size_t TG_PIN_READ_SIZE = 128;
