// scans.log, pure half: one line per finished scan,
//     YYYY-MM-DDThh:mm:ss|kind|seconds|files|threats
// at most TG_SCANLOG_LINE_MAX_CHARS characters, the newest TG_SCANLOG_MAX_LINES kept.
// The shell (scanlog_win32.cpp) reads the file whole, in binary, and writes
// the text scanlog_rewrite gives back over it.
//
// All functions only read their inputs and may run on any thread.
#pragma once

#include "common/localtime.h"
#include "detect/limits_scan.h"

#include <cstddef>
#include <string>

// Buffer size for one formatted line.
constexpr size_t TG_SCANLOG_LINE_SIZE = TG_SCANLOG_LINE_MAX_CHARS + 1;

// Writes "%04d-%02d-%02dT%02d:%02d:%02d|%s|%ld|%ld|%ld" into out (size bytes),
// cut to size - 1 characters (callers pass TG_SCANLOG_LINE_SIZE). '|', '\r'
// and '\n' in kind are written as '_' so that the line keeps its five
// fields. Returns true when the line was cut.
bool scanlog_format_line(char* out, size_t size, const LocalTime& ended, const char* kind,
                         long seconds, long files, long threats);

// The new file text: the lines of old (len bytes; null when len is 0) as a
// 160-byte line buffer reads them (pieces of at most TG_SCANLOG_LINE_MAX_CHARS
// characters, each cut at its first CR or LF), the empty ones left out,
// followed by new_line (cut at its first CR or LF and to
// TG_SCANLOG_LINE_MAX_CHARS characters); only the newest TG_SCANLOG_MAX_LINES lines
// are kept, each written as "%s\n".
std::string scanlog_rewrite(const char* old, size_t len, const char* new_line);

// One scans.log line split into its fields.
struct ScanLogEntry {
    char time[20]; // "YYYY-MM-DDThh:mm:ss" as written, cut to 19 characters
    char kind[32]; // "quick", "full", "custom", "scheduled"; cut to 31
    long seconds;
    long files;
    long threats;
};

// Splits line (ends at NUL, CR or LF) into *entry. The three numbers are
// read like atol (held at LONG_MIN/LONG_MAX when out of range). Returns
// false when the line has fewer than five '|'-separated fields; a '|' after
// the fifth field ends it.
bool scanlog_parse_line(const char* line, ScanLogEntry* entry);
