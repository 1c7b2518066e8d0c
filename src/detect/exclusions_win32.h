// The process-wide exclusion table, read from config.ini.
#pragma once

// Re-reads `exclusions` from config.ini and re-parses it when it changed.
void exclusions_refresh();
// Whether the process-wide exclusion table matches `path` (0 at once when empty).
int is_excluded(const char* path);
