// Inspecting one file on disk. Every function may be called from several
// threads at once. Paths are ANSI strings of at most 1023 characters.
#pragma once

#include "common/win.h"

#include <cstddef>

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
