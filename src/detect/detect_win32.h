// The detection engine's Win32 shell: hashing files, loading signatures,
// inspecting files, the quarantine store, the scan driver and the scan log.
// Every function may be called from several threads at once unless its
// comment says otherwise. Paths are ANSI strings of at most 1023 characters.
#pragma once

#include "common/win.h"

#include <cstddef>

// ---- signatures and hashing ----------------------------------------------
// Digest of a whole file as 64 lower-case hex characters and a NUL (65
// bytes). 0 on success, -1 when the file cannot be opened. A read error part
// way gives the digest of the bytes read so far.
int sha256_file(const char* path, char* out);
// Adds every valid line of signatures.db to the signature list; a file that
// cannot be opened adds nothing. The file is read block by block (no size
// limit) into a new table published in one swap. Meant for start-up: a
// sig_add running at the same moment may be lost.
void sigs_load();
// Writes the default signatures.db unless one exists.
void sigs_write_default();
// The start-up order: the built-in EICAR entry, then signatures.db.
void sigs_startup();
// The same, with signatures.db loaded on a thread of its own, for a command
// that has files to read meanwhile: a lookup waits for the load through
// sigs_wait_ready (inspect_file_ex does), or is put off (see InspectDefer).
void sigs_startup_background();
// Whether the list is complete: no load is under way.
bool sigs_ready();
// Waits until the load started by sigs_startup_background has ended.
void sigs_wait_ready();
// After an update replaced signatures.db: a new list (built-in + file)
// swapped in; scanners still holding the old one keep it until they finish.
// sig_count() gives the new count.
void sigs_reload();

// ---- inspection ----------------------------------------------------------
// Which file an inspection read: the volume serial number and file index of
// the handle it read through, with the size and last-write time it had then
// (Linux under Wine hands a freed file index to the next new file, so the
// index alone would take a new file of the same name for the old one).
// `valid` is 0 when they could not be had.
struct FileIdentity {
    DWORD volume;
    DWORD index_high;
    DWORD index_low;
    DWORD size_high;
    DWORD size_low;
    FILETIME written;
    int valid;
};

// The verdict on one file: 1 threat (name in `threat`, cut to threat_size-1),
// 0 clean, -1 the file could not be opened. `threat` is "" unless 1.
// The file is opened once and its head (up to 2 MiB) read once; the EICAR
// string, the MZ header, the keywords and the start of the digest all come
// from those bytes, and the digest goes on from there (files above 128 MiB
// are not hashed).
int inspect_file(const char* path, char* threat, size_t threat_size);
// The same, also giving the identity of the file that was read when the
// result is 1 (cleared otherwise). Pass it to quarantine_file_ex so that
// only that file is moved or deleted.
int inspect_file_ex(const char* path, char* threat, size_t threat_size, FileIdentity* id);
// A lookup put off while the signatures load: when the file is clean but for
// its digest, which cannot be looked up yet, inspect_file_defer returns 0
// with `pending` set and the digest kept; the caller looks it up once
// sigs_ready() and inspects the file again if it is listed. Any other
// verdict waits for the load, as inspect_file_ex does.
struct InspectDefer {
    unsigned char digest[32];
    int pending;
};
int inspect_file_defer(const char* path, char* threat, size_t threat_size, FileIdentity* id,
                       InspectDefer* defer);
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
// deleted under the delete policy, -1 when it could not be moved or copied
// (or was refused, see below); the reason is logged.
//
// The file is opened without following a final reparse point and must be a
// plain file; with an identity (from inspect_file_ex) it must also still be
// the file that was inspected, unchanged since, or nothing is done. It is
// then renamed (or deleted) through that same handle; across volumes its
// bytes are copied from that handle and the original deleted through it,
// and when that delete fails the copy goes again (-1). The quarantine folder
// must be a real folder, not a reparse point. Id, record and move happen
// under the quarantine.db lock: the record is written first, so a crash
// leaves the file either in place (with a record that quarantine_check
// reports) or in quarantine with its record; a failed move drops the record.
long quarantine_file(const char* path, const char* threat);
long quarantine_file_ex(const char* path, const char* threat, const FileIdentity* id);
// Looks up record `id` whose .quar file exists: 1 and the fields, else 0.
// original_path holds 1024 bytes, threat 128, quar_file 1024.
int quarantine_find(long id, char* original_path, char* threat, char* quar_file);
// Command-line and window actions; they print to the console. 0 success, 1 failure.
// Restore replaces a file that has since appeared at the original path in
// one move; a failed delete of the .quar file keeps the record and fails.
int quarantine_restore(const char* id_text);
int quarantine_delete(const char* id_text);
// Drops every line of quarantine.db whose id equals `id` (rewritten through
// a temporary file and an atomic replace; untouched when no line matches).
void quarantine_db_remove(long id);
// Start-up check: records whose .quar file is missing while the original
// exists, and .quar files without a record, are logged (WARN).
void quarantine_check();

// ---- scans -------------------------------------------------------------------
// The counters of one scan, cleared by the caller. A scan's own threads
// raise them with interlocked increments; read them once the scan returned.
struct ScanStats {
    long files;          // files given to inspect_file
    long threats;        // files found to hold a threat
    long errors;         // unopenable files, unlistable folders, failed quarantines
    long skipped;        // excluded paths, other file types, reparse-point folders
    int verbose;         // per-detection outcome and progress lines in the log
    volatile LONG* stop; // non-zero: abandon the scan (may be null)
};

// Inspects one file and acts on the verdict; `quarantine` 0 = report only.
// This program's own running image is never reported: its keyword tables
// would make the heuristics flag it.
void scan_file(const char* path, ScanStats* stats, int quarantine);
// Walks a folder tree; callers pass depth 0. The walk runs on the calling
// thread and hands the files it finds to a few inspecting threads (one per
// processor, the caller included); every file has been inspected when it
// returns. One detection's log lines are never interleaved with another's.
// Names are listed in UTF-16 and turned into ANSI paths; a name with no
// exact ANSI form is reached by its short (8.3) name when it has one that
// converts, and otherwise counted as an error and logged (WARN) instead of
// being opened under a wrong name. Paths of MAX_PATH characters or more
// are opened through the wide functions with the "\\?\" prefix.
void scan_tree(const char* folder, ScanStats* stats, int depth);
// Fills `list` (64 entries of 1024 bytes) with the quick locations; returns
// the count. A folder already in the list is not added twice.
int quick_locations(char (*list)[1024]);
// Quick-location trees, running programs, Run-key programs.
void quick_scan(ScanStats* stats);
// Every fixed drive.
void full_scan(ScanStats* stats);
// Adds "time|kind|seconds|files|threats" to scans.log, keeping the newest 200 lines.
void scans_log_append(const char* kind, long seconds, long files, long threats);
