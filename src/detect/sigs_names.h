// Threat names as a table stores them, and the builder's sharing of equal
// names.
//
// Every distinct name is stored once as a record in one arena; the
// entries hold its offset. A name that ends in a run of digits and the
// characters "-._:/ " (the usual "Win.Trojan.Agent-1234567-0") is kept as a
// stem ("Win.Trojan.Agent-"), stored once in a stem dictionary and named by
// a 16-bit number, and the run, packed two characters a byte:
//   [run length 1..127] [stem number, 16 bits little-endian] [packed run]
// Any other name, or when the dictionary is full, is kept whole:
//   [0x80 | length] [the name's bytes]
// Both arenas carry kNamePad spare bytes at their end, so a name is copied
// out with copies of a fixed size and no loop over its bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "detect/sigs_internal.h"

// Room decode_name needs: a whole stem copy, then the run written 16
// characters at a time after a stem of up to 127.
constexpr size_t kDecodeSize = kNameMax + TG_SIG_NAME_SIZE + 16;

// Writes the name of the record at `rec` into `out` (kDecodeSize bytes; its
// first TG_SIG_NAME_SIZE bytes are always written) and returns its length.
// Copies have fixed sizes, reading into the arenas' spare bytes.
size_t decode_name(const uint8_t* rec, const char* stems, const uint32_t* stem_index, char* out);

// Makes the record cache large enough for about `names` signatures (a power
// of two between kInternMin and kInternMax). A new cache starts empty; a
// cache that cannot be allocated only means names are not shared.
void size_intern(SigBuilder* b, size_t names);

// Offset of the record for `name` in the arena, reusing an equal record
// seen recently; kEmpty when the arena is full or memory ran out. Equal
// names give equal records: a stem, once in the dictionary, stays there.
uint32_t intern_name(SigBuilder* b, const char* name, size_t len);
