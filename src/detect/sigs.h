// The signature list: SHA-256 digests of known threats with their names,
// parsed from signatures.db text (sigs_text.h), built into immutable tables
// (sigs_builder.h, sigs_table.h) and held as one process-wide list.
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

#include "detect/sha256.h"
#include "detect/sigs_builder.h"
#include "detect/sigs_table.h"
#include "detect/sigs_text.h"

// signatures.db as written at installation.
constexpr char SIGS_DEFAULT_TEXT[] =
    "# Tallowguard signature database\n"
    "# format: <sha256-hex> <threat name>   (one per line, # = comment)\n"
    "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f EICAR-Test-File\n";

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
// Lookups take no lock and never wait for a change of the list; past 64
// lookups at once, a further one waits for one of them to end.
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
