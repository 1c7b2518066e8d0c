// key=value settings text (config.ini, stats.ini): the pure reader and
// writer. The shell reads the whole file, calls these, and writes the result
// back atomically.
//
// Format: a setting is a line that begins with the key, immediately followed
// by "=", then the value up to the first CR or LF. Nothing is trimmed and keys
// are case-sensitive. Lines are read in pieces of at most 1023 bytes, so a
// longer line is seen as several lines. The first line of a key wins.
#pragma once

#include <cstddef>
#include <string>

// Copies `def` into `out` (cut to size-1), then, when `text` is non-null, the
// value of the first line of `key`. Always terminates `out` when size > 0.
void settings_get(const char* text, size_t len, const char* key, char* out, size_t size,
                  const char* def);

// Returns the new file content with the first line of `key` reading
// "key=value" and every other byte kept in place. A missing key is appended as
// the last line (after a line break when the old text did not end in one);
// `text` null means the file does not exist yet and gives the single line.
// A value is cut at its first CR or LF, so a value can never add lines, and a
// line is cut to fit 1023 bytes with its line break kept.
std::string settings_set(const char* text, size_t len, const char* key, const char* value);

// Signed decimal conversion with the C library's atol rules (leading blanks,
// optional sign, digits; anything else gives 0), saturating instead of
// overflowing.
long settings_atol(const char* s);

// Lifetime counters (stats.ini `scanned` and `detected`) run from 0 to
// TG_COUNTER_MAX, the largest signed 32-bit value.
constexpr long TG_COUNTER_MAX = 0x7fffffffL;
// A stored counter's value: its decimal text (settings_atol), where a
// negative number (a damaged file) counts as 0 and a larger one is held at
// TG_COUNTER_MAX.
long settings_counter_value(const char* text);
// count + n for a counter: a negative count counts as 0 and the sum is held
// at TG_COUNTER_MAX (and at 0 should n be negative).
long settings_counter_add(long count, long n);
