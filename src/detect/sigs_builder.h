// Building a signature table from signatures.db text or single entries.
//
// A digest listed twice takes the name of the later line; any line of the
// file overrides the built-in EICAR entry when that is added first.
#pragma once

#include <cstddef>
#include <memory>

#include "detect/sigs_table.h"

// The published SHA-256 of the standard EICAR test file, the built-in entry.
constexpr char SIG_EICAR_SHA256[] =
    "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f";
constexpr char SIG_EICAR_NAME[] = "EICAR-Test-File";

// Collects signatures in order, then builds a table. Signature text may be
// fed in pieces of any size (for example as a file is read block by block);
// the pieces are joined exactly as one whole text would be.
struct SigBuilder;

// `size_hint` is the size of the text about to be fed, or 0 when unknown; it
// lets the builder reserve its memory once. Returns null when out of memory.
SigBuilder* sig_builder_new(size_t size_hint);
void sig_builder_free(SigBuilder* builder);

struct SigBuilderFree {
    void operator()(SigBuilder* builder) const { sig_builder_free(builder); }
};
typedef std::unique_ptr<SigBuilder, SigBuilderFree> SigBuilderPtr;

// Adds one signature: at most the first 64 characters of `hash` (either
// case) and at most 127 characters of `name`. Returns 1 when added, 0 when
// `hash` does not start with 64 hex digits, `name` is null or memory ran out.
int sig_builder_add(SigBuilder* builder, const char* hash, const char* name);
// Adds the built-in EICAR entry.
int sig_builder_add_builtin(SigBuilder* builder);
// Adds every entry of an existing table (older than anything added after).
// Returns 0 when memory ran out part way.
int sig_builder_add_table(SigBuilder* builder, const SigTable* table);
// Adds the valid lines of the next `len` bytes of signatures.db text.
void sig_builder_feed(SigBuilder* builder, const char* data, size_t len);
// Signatures added so far (after the last complete line fed).
int sig_builder_count(const SigBuilder* builder);
// Ends the text (a last line without a line break counts) and builds the
// table. The builder is left empty and may be freed or reused. Returns null
// only when memory ran out.
SigSnapshot sig_builder_finish(SigBuilder* builder);

// A table from the whole text of a signatures.db, optionally after the
// built-in entry.
SigSnapshot sig_table_from_text(const char* data, size_t len, bool with_builtin);
