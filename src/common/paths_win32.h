// Process-wide state of the program (the per-user flag, the console, the
// data paths) and the shell side of the data locations.
#pragma once

#include "common/paths.h"
#include "common/win.h"

#include <string>

struct AppState {
    bool per_user;         // per-user data directory (tray mode)
    volatile LONG console; // console flag: console text is printed only while set
    HANDLE out;            // where console text goes once the flag is set
    Paths paths;
};
extern AppState g_app;

// Resolves the shell folders and computes every path for the per-user flag.
// False when a shell folder has no name in the ANSI code page (not even a
// short one): the paths then fall back as for a missing folder, and
// *unnamed (when given) holds the first such folder's inexact name.
bool paths_init(bool per_user, std::string* unnamed = nullptr);
// Creates every directory along `path`. True when it exists as a folder
// at the end; false (GetLastError set) when it could not be made.
bool make_dir_path(const char* path);
// True when the attributes can be read and the path is not a directory.
bool file_exists(const char* path);
