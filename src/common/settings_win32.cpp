#include "common/settings_win32.h"

#include "common/files_win32.h"
#include "common/paths_win32.h"
#include "common/settings.h"

#include <cstdio>

void settings_read(const char* path, const char* key, char* out, size_t size, const char* def)
{
    std::string text;
    if (path == nullptr || path[0] == '\0' || !file_read_all(path, &text)) {
        settings_get(nullptr, 0, key, out, size, def);
        return;
    }
    settings_get(text.data(), text.size(), key, out, size, def);
}

bool settings_write_keys(const char* path, const char* const* keys, const char* const* values,
                         size_t count)
{
    if (path == nullptr || path[0] == '\0' || count == 0)
        return false;
    FileLock lock(path);
    std::string text;
    FileRead r = file_read_existing(path, &text);
    if (r == FileRead::Unreadable)
        return false; // never replaced by a file that holds only these keys
    bool exists = r == FileRead::Read;
    std::string next =
        settings_set(exists ? text.data() : nullptr, text.size(), keys[0], values[0]);
    for (size_t i = 1; i < count; i++)
        next = settings_set(next.data(), next.size(), keys[i], values[i]);
    return file_replace_atomic(path, next);
}

bool settings_write(const char* path, const char* key, const char* value)
{
    return settings_write_keys(path, &key, &value, 1);
}

void config_get(const char* key, char* out, size_t size, const char* def)
{
    settings_read(g_app.paths.config_ini, key, out, size, def);
}

bool config_set(const char* key, const char* value)
{
    return settings_write(g_app.paths.config_ini, key, value);
}

void config_write_default()
{
    const char* path = g_app.paths.config_ini;
    FileLock lock(path);
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return;
    file_replace_atomic(path, "# Tallowguard configuration\n"
                              "realtime=1\n"
                              "scan_interval_hours=6\n"
                              "quarantine=1\n");
}

void stats_get(const char* key, char* out, size_t size, const char* def)
{
    settings_read(g_app.paths.stats_ini, key, out, size, def);
}

bool stats_set(const char* key, const char* value)
{
    return settings_write(g_app.paths.stats_ini, key, value);
}

// Lifetime counters. `base` is what stats.ini held when last loaded or
// saved; `pending` what this process has added since.
static volatile LONG g_scanned_base, g_detected_base;
static volatile LONG g_scanned_pending, g_detected_pending;

static LONG read_counter(const std::string& text, const char* key)
{
    char v[64];
    settings_get(text.empty() ? nullptr : text.data(), text.size(), key, v, sizeof(v), "0");
    return static_cast<LONG>(settings_counter_value(v));
}

void counters_load()
{
    std::string text;
    file_read_all(g_app.paths.stats_ini, &text);
    InterlockedExchange(&g_scanned_base, read_counter(text, "scanned"));
    InterlockedExchange(&g_detected_base, read_counter(text, "detected"));
}

static LONG sat_add(LONG a, LONG b)
{
    return static_cast<LONG>(settings_counter_add(a, b));
}

void counters_save()
{
    const char* path = g_app.paths.stats_ini;
    FileLock lock(path);
    std::string text;
    FileRead r = file_read_existing(path, &text);
    if (r == FileRead::Unreadable)
        return;
    bool exists = r == FileRead::Read;
    LONG ds = InterlockedExchange(&g_scanned_pending, 0);
    LONG dd = InterlockedExchange(&g_detected_pending, 0);
    LONG scanned = sat_add(read_counter(text, "scanned"), ds);
    LONG detected = sat_add(read_counter(text, "detected"), dd);
    char v[32];
    snprintf(v, sizeof(v), "%ld", static_cast<long>(scanned));
    std::string next = settings_set(exists ? text.data() : nullptr, text.size(), "scanned", v);
    snprintf(v, sizeof(v), "%ld", static_cast<long>(detected));
    next = settings_set(next.data(), next.size(), "detected", v);
    if (!file_replace_atomic(path, next)) {
        // Keep the increments for the next save.
        InterlockedExchangeAdd(&g_scanned_pending, ds);
        InterlockedExchangeAdd(&g_detected_pending, dd);
        return;
    }
    InterlockedExchange(&g_scanned_base, scanned);
    InterlockedExchange(&g_detected_base, detected);
}

void counters_add_scanned(long n)
{
    InterlockedExchangeAdd(&g_scanned_pending, static_cast<LONG>(n));
}
void counters_add_detected(long n)
{
    InterlockedExchangeAdd(&g_detected_pending, static_cast<LONG>(n));
}
long counters_scanned()
{
    return sat_add(g_scanned_base, g_scanned_pending);
}
long counters_detected()
{
    return sat_add(g_detected_base, g_detected_pending);
}
