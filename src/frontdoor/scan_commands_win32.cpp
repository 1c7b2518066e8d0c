// The command-line scans and quarantine actions: --scan-quick, --scan-full,
// --scan <path>, --quarantine-restore <id>, --quarantine-delete <id>.
#include "frontdoor/scan_commands_win32.h"

#include "common/clock_win32.h"
#include "common/console_win32.h"
#include "common/localtime.h"
#include "common/log_win32.h"
#include "common/settings_win32.h"
#include "common/text.h"
#include "common/widetext_win32.h"
#include "detect/exclusions_win32.h"
#include "detect/quarantine_win32.h"
#include "detect/scan_win32.h"
#include "detect/scanlog_win32.h"

// Milliseconds since `start`, rounded to the nearest second.
static long seconds_since(DWORD start)
{
    DWORD ms = GetTickCount() - start; // wraps cleanly across the 49.7-day rollover
    return static_cast<long>((static_cast<unsigned long long>(ms) + 500) / 1000);
}

static void store_last_scan(const char* key)
{
    LocalTime t = clock_now();
    char v[32];
    bounded_format(v, sizeof(v), "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour,
                   t.minute);
    stats_set(key, v);
}

// quick or full: both run the same steps around their scan.
static int whole_scan(const char* kind, void (*scan)(ScanStats*), const char* last_key)
{
    console_open();
    quarantine_check();
    log_msg("INFO", "%s scan started", kind);
    DWORD start = GetTickCount();
    ScanStats s{};
    scan(&s);
    scans_log_append(kind, seconds_since(start), s.files, s.threats);
    store_last_scan(last_key);
    counters_save();
    log_msg("INFO", "%s scan done: %ld files, %ld threats, %ld errors", kind, s.files, s.threats,
            s.errors);
    return 0;
}

int cmd_scan_quick()
{
    return whole_scan("quick", quick_scan, "last_quick");
}

int cmd_scan_full()
{
    return whole_scan("full", full_scan, "last_full");
}

int cmd_scan(const char* path)
{
    console_open();
    quarantine_check();
    log_msg("INFO", "custom scan: %s", path);
    DWORD start = GetTickCount();
    ScanStats s{};
    s.verbose = 1;
    DWORD attrs = GetFileAttributesW(verbatim_path(path).c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        log_msg("ERROR", "path not found: %s", path);
    } else {
        exclusions_refresh();
        if (attrs & FILE_ATTRIBUTE_DIRECTORY)
            scan_tree(path, &s, 0);
        else
            scan_file(path, &s, 1);
    }
    scans_log_append("custom", seconds_since(start), s.files, s.threats);
    counters_save();
    log_msg("INFO", "scan done: %ld files, %ld threats, %ld errors", s.files, s.threats, s.errors);
    return 0;
}

int cmd_quarantine_restore(const char* id_text)
{
    console_open();
    return quarantine_restore(id_text);
}

int cmd_quarantine_delete(const char* id_text)
{
    console_open();
    return quarantine_delete(id_text);
}
