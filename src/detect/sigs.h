// The signature list: SHA-256 digests of known threats with their names,
// parsed from signatures.db text.
//
// File format: one signature per line, 64 hex digits (either case), a run of
// separators (space, tab, ':' or '='), then the threat name up to the line
// end, cut to 127 characters with trailing blanks kept; "Generic.Malware"
// when only separators follow the digest. Lines shorter than 66 characters
// (after cutting at the first CR or LF) and lines beginning with '#' are
// ignored. The file is read in pieces of at most 511 bytes, so a longer line
// is seen as several lines, each parsed on its own.
//
// A digest listed twice takes the name of the later line; any line of the
// file overrides the built-in EICAR entry.
//
// Threads: scanner and watcher threads look digests up while the protection
// loop reloads the list after an update. A list, once built, is never
// changed: every change builds a new table aside and publishes it with one
// atomic swap. A lookup works on the table that was current when it began,
// which stays alive until its last reader lets it go. Changes are serialised
// among themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "detect/limits.h"
#include "detect/sha256.h"

// The published SHA-256 of the standard EICAR test file, the built-in entry.
constexpr char SIG_EICAR_SHA256[] =
    "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f";
constexpr char SIG_EICAR_NAME[] = "EICAR-Test-File";
// Name of a signature line that has nothing but separators after its digest.
constexpr char SIG_DEFAULT_NAME[] = "Generic.Malware";
// signatures.db as written at installation.
constexpr char SIGS_DEFAULT_TEXT[] =
    "# Tallowguard signature database\n"
    "# format: <sha256-hex> <threat name>   (one per line, # = comment)\n"
    "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f EICAR-Test-File\n";

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

// ---- Tables -------------------------------------------------------------

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

// ---- Building a table ---------------------------------------------------

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

// ---- The process-wide list ----------------------------------------------

// Adds one signature to the list (as sig_builder_add). Returns 1 when added.
// Each call copies the list: meant for single entries, not for loading.
int sig_add(const char* hash, const char* name);
// sig_add of the EICAR digest with the name "EICAR-Test-File".
void sigs_add_builtin();
// Empties the list (tables still held by readers live on until released).
void sigs_free();
// Signatures loaded, duplicates included.
int sig_count();

// Looks up the 64-character lower-case digest text `hash` (exactly 64
// characters of 0-9 and a-f, then the end of the string; anything else
// matches nothing). Returns 1 on a match and copies the name into `name` as
// sig_table_lookup does: cut to name_size - 1 and terminated;
// TG_SIG_NAME_SIZE always holds a whole name. Returns 0 without a match.
// Lookups take no lock and never wait for a change of the list.
int sig_lookup(const char* hash, char* name, size_t name_size);
// The same for a binary digest, as sha256_final gives it.
int sig_lookup_digest(const uint8_t digest[SHA256_DIGEST_SIZE], char* name, size_t name_size);

// Adds every valid line of a signatures.db text to the list, in order, and
// publishes the result at once. Returns how many signatures were added, -1
// when out of memory (the list is then unchanged).
int sigs_load_text(const char* data, size_t len);
// The reload after an update: builds the built-in entry plus the file's
// signatures aside and replaces the list with one swap, so a reader sees
// either the old list or the new one, never an empty or partial one.
// Returns the new count, -1 when out of memory (the old list stays).
int sigs_reload_text(const char* data, size_t len);

// The current list, for a caller that looks up many digests or builds a new
// list with sig_builder_add_table. Null means an empty list (every sig_table
// function takes it).
SigSnapshot sigs_snapshot();
// Replaces the list with `table` (null empties it).
void sigs_publish(SigSnapshot table);

// Loading signatures.db from a file: reading it in blocks keeps only the
// table in memory, not the text as well.
//   SigBuilderPtr b(sig_builder_new(file_size));
//   start-up: sig_builder_add_table(b.get(), sigs_snapshot().get());
//   reload:   sig_builder_add_builtin(b.get());
//   each block read: sig_builder_feed(b.get(), block, n);
//   SigSnapshot t = sig_builder_finish(b.get()); if (t) sigs_publish(t);
// The list changes only at start-up and on the protection loop's thread;
// a change built from a snapshot would lose a sig_add made meanwhile. The
// old order sigs_free(), sigs_add_builtin(), load is safe as well (no reader
// ever touches a freed table) but lets readers see an emptier list for a
// moment; the reload above swaps in one step.
