// The settings files config.ini and stats.ini, and the lifetime counters.
#pragma once

#include <cstddef>

// Reads `key` from a key=value file; `def` when the file or key is missing.
void settings_read(const char* path, const char* key, char* out, size_t size, const char* def);
// Sets `key` to `value`, keeping every other line; false when the file
// could not be written.
bool settings_write(const char* path, const char* key, const char* value);
// Sets `count` keys in one rewrite: all of them are written, or (false) none.
bool settings_write_keys(const char* path, const char* const* keys, const char* const* values,
                         size_t count);
void config_get(const char* key, char* out, size_t size, const char* def);
bool config_set(const char* key, const char* value);
// Creates config.ini with the default lines when it does not exist yet.
void config_write_default();
void stats_get(const char* key, char* out, size_t size, const char* def);
bool stats_set(const char* key, const char* value);

// Files scanned and threats detected. Each process adds its own increments
// to the values in stats.ini when it saves, so runs that overlap never undo
// each other's counts.
void counters_load();
void counters_save();
void counters_add_scanned(long n);
void counters_add_detected(long n);
long counters_scanned();
long counters_detected();
