// Data locations: where the program, its data directory and every data file
// live. Pure: the shell resolves the shell folders and the environment, this
// file decides fallbacks and joins.
#pragma once

#include "common/limits.h"

#include <cstddef>

// Joins two path parts with one "\" between them, except when `a` is empty or
// already ends in "\" or "/". The result is cut to `size`; returns true when cut.
bool path_join(char* out, size_t size, const char* a, const char* b);

// What the shell found; an empty string means the query failed or gave "".
// `system_drive` is the SystemDrive variable, or null when it is not set.
struct PathInputs {
    const char* program_files;
    const char* common_appdata;
    const char* local_appdata;
    const char* common_programs;
    const char* system_drive;
};

struct Paths {
    char program_files[TG_PATH_SIZE];
    char common_appdata[TG_PATH_SIZE];
    char install_dir[TG_PATH_SIZE];
    char installed_exe[TG_PATH_SIZE];
    char data_dir[TG_PATH_SIZE];
    char quarantine_dir[TG_PATH_SIZE];
    char logs_dir[TG_PATH_SIZE];
    char signatures_db[TG_PATH_SIZE];
    char config_ini[TG_PATH_SIZE];
    char stats_ini[TG_PATH_SIZE];
    char quarantine_db[TG_PATH_SIZE];
    char notify_log[TG_PATH_SIZE];
    char scans_log[TG_PATH_SIZE];
    char start_menu_dir[TG_PATH_SIZE];
};

// Fills every path from the inputs. `per_user` selects the per-user data
// directory (local application data) over the machine-wide one.
void paths_compute(const PathInputs& in, bool per_user, Paths* out);
