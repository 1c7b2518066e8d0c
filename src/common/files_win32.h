// Whole files and their locks.
#pragma once

#include "common/win.h"

#include <string>

// Reads a whole file (shared read/write/delete). False, with *out empty,
// when it cannot be opened (missing, a directory, locked) or a read fails
// part way.
bool file_read_all(const char* path, std::string* out);

// What file_read_existing found.
enum class FileRead {
    Read,       // *out holds the whole file
    Missing,    // there is no such file: *out is empty
    Unreadable, // there (or not known to be absent) but not read whole: *out is empty
};
// Reads a file that may not exist yet. A caller that rewrites the file may
// start afresh only on Missing: replacing an Unreadable file would lose it.
FileRead file_read_existing(const char* path, std::string* out);

// Replaces a file's content atomically: written to a temporary file in the
// same folder, flushed, then moved over the old one. False when it failed;
// the old file is then left as it was (so is a read-only file).
bool file_replace_atomic(const char* path, const std::string& content);

// Serialises read-modify-write of one file across threads and processes
// with a named mutex derived from the path (Global\ for files of the machine
// data directory, Local\ otherwise). An abandoned mutex means the last
// writer died; the lock is taken anyway.
struct FileLock {
    HANDLE mutex = nullptr;
    bool owned = false;
    explicit FileLock(const char* path);
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();
};
