#include "detect/exclusions_win32.h"

#include "common/settings_win32.h"
#include "common/win.h"
#include "detect/exclusions.h"

// The process-wide table: refreshed by scans (rarely, and only when the
// setting changed), read by every file and folder check.
static ExclusionTable g_table;
static SRWLOCK g_lock = SRWLOCK_INIT;
static volatile LONG g_entries = 0;

void exclusions_refresh()
{
    char value[TG_EXCL_VALUE_MAX_CHARS + 1];
    config_get("exclusions", value, sizeof(value), "");
    AcquireSRWLockExclusive(&g_lock);
    exclusions_update(&g_table, value);
    InterlockedExchange(&g_entries, g_table.count);
    ReleaseSRWLockExclusive(&g_lock);
}

int is_excluded(const char* path)
{
    if (g_entries == 0)
        return 0;
    AcquireSRWLockShared(&g_lock);
    int r = is_excluded(&g_table, path);
    ReleaseSRWLockShared(&g_lock);
    return r;
}
