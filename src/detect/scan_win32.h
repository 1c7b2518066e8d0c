// The scan driver: one file, a folder tree, the quick and the full scan.
// Every function may be called from several threads at once unless its
// comment says otherwise. Paths are ANSI strings of at most 1023 characters.
#pragma once

#include "common/win.h"

// The counters of one scan, cleared by the caller. A scan's own threads
// raise them with interlocked increments; read them once the scan returned.
struct ScanStats {
    long files;          // files given to inspect_file
    long threats;        // files found to hold a threat
    long errors;         // unopenable files, unlistable folders, failed quarantines
    long skipped;        // excluded paths, other file types, reparse-point folders
    int verbose;         // per-detection outcome and progress lines in the log
    volatile LONG* stop; // non-zero: abandon the scan (may be null)
    long deep_warned;    // set once a folder past the depth limit was logged (WARN)
};

// Where a detection goes beyond the log and the event log: the layers above
// the detection engine fill these in at start-up (before any scan); a null
// entry is skipped.
struct DetectSink {
    // Tells the fleet server, after the event and the quarantine, outside
    // the detection lock: it may block (HTTP) while other threads detect.
    void (*report_detection)(const char* threat, const char* path);
    // Tells the user (the tray's balloon) once the file has been handled.
    void (*alert_threat)(const char* threat, const char* path);
};
extern DetectSink g_detect_sink;

// Inspects one file and acts on the verdict; `quarantine` 0 = report only.
// This program's own running image is never reported: its keyword tables
// would make the heuristics flag it.
void scan_file(const char* path, ScanStats* stats, int quarantine);
// Walks a folder tree; callers pass depth 0. Folders more than 64 levels
// below the start are left out; the first one a scan leaves out is named in
// one WARN line (per ScanStats). The walk runs on the calling
// thread and hands the files it finds to a few inspecting threads (one per
// processor, the caller included); every file has been inspected when it
// returns. One detection's log lines are never interleaved with another's.
// Names are listed in UTF-16 and turned into ANSI paths; a name with no
// exact ANSI form is reached by its short (8.3) name when it has one that
// converts, and otherwise counted as an error and logged (WARN) instead of
// being opened under a wrong name. Every file is opened by its "\\?\" form,
// so that device names ("AUX.exe") and names ending in a dot or a space
// reach the file of that name; the type of a file is taken as Windows runs
// it (file_ext_as_run: "evil.exe." is an executable).
void scan_tree(const char* folder, ScanStats* stats, int depth);
// Fills `list` (64 entries of 1024 bytes) with the quick locations; returns
// the count. A folder already in the list is not added twice.
int quick_locations(char (*list)[1024]);
// Quick-location trees, running programs, Run-key programs.
void quick_scan(ScanStats* stats);
// Every fixed drive.
void full_scan(ScanStats* stats);
