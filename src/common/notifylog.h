// Notification log (notify.log) lines: one alert a line,
// "timestamp<TAB>title<TAB>text<LF>", title and text escaped so that neither
// can break the line. Pure: the shell does the file I/O.
#pragma once

#include "common/localtime.h"

#include <cstddef>
#include <string>

// Escapes `src` into `out` (capacity `cap`, terminator included): backslash
// -> "\\", TAB -> "\t", LF and CR -> "\n"; every other byte copied. Stops
// before a character or pair that would not fit. Returns the length written.
size_t notify_escape(const char* src, char* out, size_t cap);

// The reverse: "\t" -> TAB, "\n" -> LF, backslash + any other character ->
// that character; a backslash at the very end is kept.
std::string notify_unescape(const char* src, size_t len);

// The whole line for one alert, escaped title (cut to 191 bytes) and text
// (cut to 383 bytes), ending in LF.
std::string notify_format_line(const LocalTime& t, const char* title, const char* text);

// New content of the notification log: the last 24 lines of `old_text`
// (lines read in pieces of at most 767 bytes) followed by `new_line`.
// `old_text` null means no file.
std::string notify_rewrite(const char* old_text, size_t len, const std::string& new_line);

// One parsed line. Returns false when the line has fewer than two TABs.
struct NotifyEntry {
    std::string timestamp;
    std::string title;
    std::string text;
};
bool notify_parse_line(const char* line, size_t len, NotifyEntry* out);
