// Process-wide state of the front door and the shell services every area
// uses: paths, console, log, event log, settings files, counters, clock.
#pragma once

#include "common/localtime.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/win.h"

#include <string>

struct AppState {
    bool per_user;         // per-user data directory (tray mode)
    volatile LONG console; // console flag: console text is printed only while set
    HANDLE out;            // where console text goes once the flag is set
    Paths paths;
};
extern AppState g_app;

// --- paths -----------------------------------------------------------------
// Resolves the shell folders and computes every path for the per-user flag.
void paths_init(bool per_user);
// Creates every directory along `path` (failures ignored).
void make_dir_path(const char* path);
// True when the attributes can be read and the path is not a directory.
bool file_exists(const char* path);

// --- clock -------------------------------------------------------------------
// Local time now; tests may install another clock.
LocalTime clock_now();
void clock_set_override(void (*fn)(LocalTime* out));

// --- console -----------------------------------------------------------------
// Binds console output once: a redirected standard output (file, pipe) is
// used as it is; otherwise the parent's console is attached, or a new one
// allocated. Leaves the flag clear when nothing can be had.
void console_open();
void console_print(const char* fmt, ...) TG_PRINTF(1, 2);
void console_write(const char* text, size_t len);
// Reads one line from standard input (without its line end); false at end.
bool console_read_line(char* out, size_t size);

// --- log -----------------------------------------------------------------------
// Appends "[time] [LEVEL] message" to today's log file and echoes it to the
// console. Safe from any thread.
void log_msg(const char* level, const char* fmt, ...) TG_PRINTF(2, 3);

// Windows event log: one event under the "Tallowguard" source; absent (null)
// insertion strings are skipped. Types: 1 error, 2 warning, 4 information.
void report_event(DWORD event_id, WORD type, const char* s1 = nullptr, const char* s2 = nullptr,
                  const char* s3 = nullptr);
// Registers the event source with `message_file` as its message table.
void register_event_source(const char* message_file);

// --- whole files and their locks --------------------------------------------------
// Reads a whole file (shared read/write/delete). False when it cannot be
// opened (missing, a directory, locked).
bool file_read_all(const char* path, std::string* out);
// Replaces a file's content atomically: written to a temporary file in the
// same folder, flushed, then moved over the old one. False when it failed;
// the old file is then left as it was.
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

// --- settings files ----------------------------------------------------------------
// Reads `key` from a key=value file; `def` when the file or key is missing.
void settings_read(const char* path, const char* key, char* out, size_t size, const char* def);
// Sets `key` to `value`, keeping every other line; false when the file
// could not be written.
bool settings_write(const char* path, const char* key, const char* value);
void config_get(const char* key, char* out, size_t size, const char* def);
bool config_set(const char* key, const char* value);
// Creates config.ini with the default lines when it does not exist yet.
void config_write_default();
void stats_get(const char* key, char* out, size_t size, const char* def);
bool stats_set(const char* key, const char* value);

// --- lifetime counters -----------------------------------------------------------------
// Files scanned and threats detected. Each process adds its own increments
// to the values in stats.ini when it saves, so runs that overlap never undo
// each other's counts.
void counters_load();
void counters_save();
void counters_add_scanned(long n);
void counters_add_detected(long n);
long counters_scanned();
long counters_detected();

// --- notification log ----------------------------------------------------------------------
void notify_log_append(const char* title, const char* text);
