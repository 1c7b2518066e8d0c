// The detection engine's Win32 shell: hashing files, loading signatures,
// inspecting files, the quarantine store, the scan driver and the scan log.
// Every function may be called from several threads at once unless its
// comment says otherwise.
#pragma once

#include "frontdoor/win.h"

#include <cstddef>

// ---- signatures and hashing ----------------------------------------------
// Digest of a whole file as 64 lower-case hex characters and a NUL (65
// bytes). 0 on success, -1 when the file cannot be opened. A read error part
// way gives the digest of the bytes read so far.
int sha256_file(const char* path, char* out);
// Adds every valid line of signatures.db to the signature list; a file that
// cannot be opened adds nothing.
void sigs_load();
// Writes the default signatures.db unless one exists.
void sigs_write_default();
// The start-up order: the built-in EICAR entry, then signatures.db.
void sigs_startup();
// After an update replaced signatures.db: a new list (built-in + file)
// swapped in; scanners still holding the old one keep it until they finish.
void sigs_reload();

// ---- inspection ----------------------------------------------------------
// The verdict on one file: 1 threat (name in `threat`, cut to threat_size-1),
// 0 clean, -1 the file could not be opened. `threat` is "" unless 1.
int inspect_file(const char* path, char* threat, size_t threat_size);
// One read of at most `count` bytes from the start of a file; 0 when it
// cannot be opened.
size_t read_head(const char* path, void* buffer, size_t count);

// ---- exclusions ------------------------------------------------------------
// Re-reads `exclusions` from config.ini and re-parses it when it changed.
void exclusions_refresh();
// Whether the process-wide exclusion table matches `path` (0 at once when empty).
int is_excluded(const char* path);

// ---- quarantine ----------------------------------------------------------
// Handles a detected file: the new id (1 or more) when quarantined, 0 when
// deleted under the delete policy, -1 when it could not be moved or copied.
long quarantine_file(const char* path, const char* threat);
// Looks up record `id` whose .quar file exists: 1 and the fields, else 0.
// original_path holds 1024 bytes, threat 128, quar_file 1024.
int quarantine_find(long id, char* original_path, char* threat, char* quar_file);
// Command-line and window actions; they print to the console. 0 success, 1 failure.
int quarantine_restore(const char* id_text);
int quarantine_delete(const char* id_text);
// Drops every line of quarantine.db whose id equals `id`.
void quarantine_db_remove(long id);
// Start-up check: records whose .quar file is missing while the original
// exists, and .quar files without a record, are logged.
void quarantine_check();

// ---- scans -------------------------------------------------------------------
struct ScanStats {
    long files;          // files given to inspect_file
    long threats;        // files found to hold a threat
    long errors;         // unopenable files, unlistable folders, failed quarantines
    long skipped;        // excluded paths, other file types, reparse-point folders
    int verbose;         // per-detection outcome and progress lines in the log
    volatile LONG* stop; // non-zero: abandon the scan (may be null)
};

// Inspects one file and acts on the verdict; `quarantine` 0 = report only.
void scan_file(const char* path, ScanStats* stats, int quarantine);
// Walks a folder tree; callers pass depth 0.
void scan_tree(const char* folder, ScanStats* stats, int depth);
// Fills `list` (64 entries of 1024 bytes) with the quick locations; returns the count.
int quick_locations(char (*list)[1024]);
// Quick-location trees, running programs, Run-key programs.
void quick_scan(ScanStats* stats);
// Every fixed drive.
void full_scan(ScanStats* stats);
// Adds "time|kind|seconds|files|threats" to scans.log, keeping the newest 200 lines.
void scans_log_append(const char* kind, long seconds, long files, long threats);
