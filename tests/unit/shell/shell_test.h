// Shared fixtures of the Win32 shell tests.
#pragma once

#include "common/clock_win32.h"
#include "common/console_win32.h"
#include "common/files_win32.h"
#include "common/log_win32.h"
#include "common/paths_win32.h"
#include "common/settings_win32.h"
#include "common/text.h"
#include "common/win.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// A unique temporary folder, removed with everything in it at the end. It
// also points the process's data paths into itself.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const char* name) const { return path + "\\" + name; }
};

// Points g_app.paths at `data_dir` as if it were the data directory.
void use_data_dir(const std::string& data_dir);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
// The same by UTF-16 name (any name: opened by its "\\?\" form).
void write_wide(const std::wstring& path, const std::string& text);
bool exists_wide(const std::wstring& path);

// Starts the command line `cmd`; returns the process handle (null on failure).
HANDLE start_command(const std::string& cmd);
// Starts this test program again as a child running `role` with `args`
// (see child_main in main.cpp); returns the process handle.
HANDLE spawn_child(const std::string& role, const std::vector<std::string>& args);
DWORD wait_child(HANDLE h, DWORD timeout_ms = 120000);

// A child role: a function run in a separate process of this test program.
using ChildFn = int (*)(int argc, char** argv);
struct ChildRole {
    const char* name;
    ChildFn fn;
    ChildRole(const char* n, ChildFn f);
};
