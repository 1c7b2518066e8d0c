// A built signature table and the lookups in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "detect/limits.h"
#include "detect/sha256.h"

// An immutable signature table. Held through SigSnapshot; it stays valid as
// long as any snapshot of it is held.
struct SigTable;
typedef std::shared_ptr<const SigTable> SigSnapshot;

// Looks up a binary digest. Returns 1 on a match and copies the name into
// `name` (cut to name_size - 1 and terminated; `name` may be null when
// name_size is 0), 0 when the digest is not listed. Names are stored packed,
// so they are only ever copied out; with name_size >= TG_SIG_NAME_SIZE the
// bytes of `name` after the terminator may be overwritten too. A null table
// matches nothing.
int sig_table_lookup(const SigTable* table, const uint8_t digest[SHA256_DIGEST_SIZE], char* name,
                     size_t name_size);
// Signatures added to build the table, duplicates included (what the status
// line shows as loaded). 0 for a null table.
int sig_table_count(const SigTable* table);
// Distinct digests in the table.
size_t sig_table_distinct(const SigTable* table);
// Heap bytes the table holds (index, entries, names and the table itself).
size_t sig_table_bytes(const SigTable* table);
