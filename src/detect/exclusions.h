// Exclusions: paths and extensions that on-demand scans neither inspect nor
// descend into, parsed from the `exclusions` setting.
//
// The core works on an explicit ExclusionTable. The shell keeps one
// process-wide table: exclusions_update writes it (callers hold it
// exclusively), is_excluded only reads it (any number of readers at once).
#pragma once

#include "detect/limits_scan.h"

// Zero-initialised ({}) it is an empty table whose cached value is "".
struct ExclusionTable {
    char raw[TG_EXCL_VALUE_MAX_CHARS + 1];                          // last raw value parsed
    int count;                                                      // entries in use
    char entries[TG_EXCL_MAX_ENTRIES][TG_EXCL_ENTRY_MAX_CHARS + 1]; // as written, trimmed
};

// Brings the table up to date with the raw setting value (null means "";
// only its first TG_EXCL_VALUE_MAX_CHARS characters count). When that equals the
// cached value nothing changes and the result is false; otherwise the value
// is cached, parsed into the table, and the result is true.
//
// Parsing: entries are separated by ';'; blanks and tabs around an entry are
// not part of it; empty entries and entries longer than TG_EXCL_ENTRY_MAX_CHARS
// are dropped; after TG_EXCL_MAX_ENTRIES entries the rest is ignored.
bool exclusions_update(ExclusionTable* t, const char* raw);

// 1 when an entry matches path, else 0 (also for a null path or an empty
// table). Entries are tried in order:
//   "*.ext": the extension of path's last component (after its last '.',
//            not a leading one) equals ext, whole and case-insensitively;
//   other:   a folder; with L its length less trailing '\\' and '/' (but at
//            least 1), path's first L characters equal it case-insensitively
//            and path ends there or goes on with '\\' or '/'.
int is_excluded(const ExclusionTable* t, const char* path);
