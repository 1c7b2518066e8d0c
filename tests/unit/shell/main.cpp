// Entry of the shell tests. "--child <role> args..." runs one helper role
// in this process instead of the tests: the cross-process tests start the
// program again that way.
#include "shell_test.h"

#include "common/handles.h"
#include "common/widetext_win32.h"
#include "frontdoor/wiring_win32.h"

#include <cstring>
#include <map>

static std::map<std::string, ChildFn>& roles()
{
    static std::map<std::string, ChildFn> r;
    return r;
}

ChildRole::ChildRole(const char* n, ChildFn f) : name(n), fn(f)
{
    roles()[n] = f;
}

TempDir::TempDir()
{
    char base[MAX_PATH];
    GetTempPathA(sizeof(base), base);
    static LONG counter = 0;
    char name[MAX_PATH + 64];
    // Process ids come round again: a folder an earlier run could not
    // remove is passed over, never shared.
    do
        snprintf(name, sizeof(name), "%stgtest-%lu-%ld", base, GetCurrentProcessId(),
                 InterlockedIncrement(&counter));
    while (!CreateDirectoryA(name, nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
    path = name;
}

// Removed by "\\?\" paths, so that names such as "nul.exe" or "name." go too.
static void remove_tree_wide(const std::wstring& dir)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(fd.cFileName, L".") == 0 || wcscmp(fd.cFileName, L"..") == 0)
                continue;
            std::wstring p = dir + L"\\" + fd.cFileName;
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                remove_tree_wide(p);
            else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryW(p.c_str());
            else {
                SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(p.c_str());
            }
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
}

static void remove_tree(const std::string& dir)
{
    const std::wstring w = verbatim_path(dir.c_str());
    if (!w.empty())
        remove_tree_wide(w);
}

TempDir::~TempDir()
{
    remove_tree(path);
}

void use_data_dir(const std::string& data_dir)
{
    PathInputs in{"C:\\Program Files", "C:\\ProgramData", "", "", nullptr};
    paths_compute(in, false, &g_app.paths);
    Paths& p = g_app.paths;
    bounded_copy(p.data_dir, data_dir.c_str(), sizeof(p.data_dir));
    path_join(p.quarantine_dir, sizeof(p.quarantine_dir), p.data_dir, "quarantine");
    path_join(p.logs_dir, sizeof(p.logs_dir), p.data_dir, "logs");
    path_join(p.signatures_db, sizeof(p.signatures_db), p.data_dir, "signatures.db");
    path_join(p.config_ini, sizeof(p.config_ini), p.data_dir, "config.ini");
    path_join(p.stats_ini, sizeof(p.stats_ini), p.data_dir, "stats.ini");
    path_join(p.quarantine_db, sizeof(p.quarantine_db), p.data_dir, "quarantine.db");
    path_join(p.notify_log, sizeof(p.notify_log), p.data_dir, "notify.log");
    path_join(p.scans_log, sizeof(p.scans_log), p.data_dir, "scans.log");
}

std::string read_file(const std::string& path)
{
    std::string s;
    file_read_all(path.c_str(), &s);
    return s;
}

void write_file(const std::string& path, const std::string& text)
{
    HandleHolder h(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD n = 0;
    if (h.ok())
        WriteFile(h.get(), text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
}

void write_wide(const std::wstring& path, const std::string& text)
{
    HandleHolder h(CreateFileW(verbatim_wide(path).c_str(), GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD n = 0;
    EXPECT_TRUE(h.ok()) << GetLastError();
    if (h.ok())
        WriteFile(h.get(), text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
}

bool exists_wide(const std::wstring& path)
{
    return GetFileAttributesW(verbatim_wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

HANDLE start_command(const std::string& cmd)
{
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::vector<char> buf(cmd.begin(), cmd.end());
    buf.push_back('\0');
    if (!CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

HANDLE spawn_child(const std::string& role, const std::vector<std::string>& args)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof(self));
    std::string cmd = std::string("\"") + self + "\" --child " + role;
    for (const std::string& a : args)
        cmd += " \"" + a + "\"";
    return start_command(cmd);
}

DWORD wait_child(HANDLE h, DWORD timeout_ms)
{
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(h, timeout_ms) == WAIT_OBJECT_0)
        GetExitCodeProcess(h, &code);
    CloseHandle(h);
    return code;
}

int main(int argc, char** argv)
{
    // The callbacks of the shipped program, as its WinMain installs them.
    wiring_install();
    if (argc >= 3 && strcmp(argv[1], "--child") == 0) {
        auto it = roles().find(argv[2]);
        if (it == roles().end())
            return 99;
        return it->second(argc - 3, argv + 3);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
