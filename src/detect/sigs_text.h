// signatures.db text: one line parsed into a digest and a threat name.
//
// File format: one signature per line, 64 hex digits (either case), a run of
// separators (space, tab, ':' or '='), then the threat name up to the line
// end, cut to 127 characters with trailing blanks kept; "Generic.Malware"
// when only separators follow the digest. Lines shorter than 66 characters
// (after cutting at the first CR or LF) and lines beginning with '#' are
// ignored. The file is read in pieces of at most 511 bytes, so a longer line
// is seen as several lines, each parsed on its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "detect/limits.h"
#include "detect/sha256.h"

// Name of a signature line that has nothing but separators after its digest.
constexpr char SIG_DEFAULT_NAME[] = "Generic.Malware";

// One signature line, parsed. `name` points into the parsed text.
struct SigLine {
    uint8_t digest[SHA256_DIGEST_SIZE];
    const char* name;
    size_t name_len; // 1..127
};

// Parses one piece of signatures.db as one read gives it (at most 511 bytes,
// its line break included when it has one). Returns 1 for a signature and
// fills `out`, 0 for a line that is ignored.
int sig_parse_line(const char* text, size_t len, SigLine* out);
