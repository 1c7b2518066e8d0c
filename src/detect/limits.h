// Fixed limits of the detection engine. Text longer than a limit is cut to
// fit; nothing is ever written past a buffer.
#pragma once

#include <cstddef>

constexpr size_t TG_SHA256_HEX_SIZE = 65;         // digest text: 64 hex characters and the NUL
constexpr size_t TG_SHA256_FILE_BLOCK = 65536;    // files are hashed in reads of this many bytes
constexpr size_t TG_SIG_LINE_SIZE = 512;          // signatures.db is read in pieces of <= 511 bytes
constexpr size_t TG_SIG_MIN_LINE = 66;            // shorter signature lines are ignored
constexpr size_t TG_SIG_NAME_SIZE = 128;          // threat names: at most 127 characters, cut
constexpr size_t TG_SIG_MAX_ENTRIES = 0x7fffffff; // signatures past this count are not added
constexpr size_t TG_SIG_NAMES_MAX = 0xfffffff0;   // name arena bytes; names past it are not added
constexpr size_t TG_SIG_READERS = 64;             // lookups at once; a further one waits for a slot
