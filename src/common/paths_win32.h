// Process-wide state of the program (the per-user flag, the console, the
// data paths) and the shell side of the data locations.
#pragma once

#include "common/paths.h"
#include "common/win.h"

struct AppState {
    bool per_user;         // per-user data directory (tray mode)
    volatile LONG console; // console flag: console text is printed only while set
    HANDLE out;            // where console text goes once the flag is set
    Paths paths;
};
extern AppState g_app;

// Resolves the shell folders and computes every path for the per-user flag.
void paths_init(bool per_user);
// Creates every directory along `path` (failures ignored).
void make_dir_path(const char* path);
// True when the attributes can be read and the path is not a directory.
bool file_exists(const char* path);
