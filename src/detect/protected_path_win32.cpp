#include "detect/protected_path_win32.h"

#include "common/handles.h"
#include "common/text.h"
#include "common/widetext_win32.h"
#include "common/win.h"
#include "detect/fileio_win32.h"
#include "detect/inspect.h"
#include "detect/protected_path.h"

#include <shlobj.h>

#include <string>

namespace {

enum FolderKind { kSystemFolder, kProgramsFolder };

// Each folder as the system names it and in its final form: 5 sources.
constexpr size_t kMaxFolders = 10;

struct ProtectedFolders {
    char path[kMaxFolders][TG_PATH_SIZE];
    FolderKind kind[kMaxFolders];
    const char* list[kMaxFolders];
    size_t count;
};

} // namespace

static ProtectedFolders g_folders;
static INIT_ONCE g_folders_once = INIT_ONCE_STATIC_INIT;

// The final path of a file or folder (links and short names resolved, the
// drive the system names it on) in exact ANSI form, without a "\\?\" lead.
static bool final_ansi(const wchar_t* path, char* out, size_t size)
{
    const std::wstring v = verbatim_wide(path);
    if (v.empty())
        return false;
    HandleHolder h(CreateFileW(v.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.ok() || GetFileType(h.get()) != FILE_TYPE_DISK)
        return false;
    wchar_t buf[TG_PATH_SIZE + 8];
    const DWORD cap = sizeof(buf) / sizeof(buf[0]);
    DWORD n = GetFinalPathNameByHandleW(h.get(), buf, cap, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= cap)
        return false;
    std::wstring p = buf;
    if (p.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        p = L"\\\\" + p.substr(8);
    else if (p.compare(0, 4, L"\\\\?\\") == 0)
        p = p.substr(4);
    return wide_to_ansi(p.c_str(), out, size);
}

static void add_one(ProtectedFolders* f, const char* path, FolderKind kind)
{
    if (f->count >= kMaxFolders || path[0] == '\0')
        return;
    for (size_t i = 0; i < f->count; i++)
        if (path_under_folder(path, f->path[i]) && path_under_folder(f->path[i], path))
            return;
    if (bounded_copy(f->path[f->count], path, sizeof(f->path[f->count])))
        return; // a cut path names another folder
    f->kind[f->count] = kind;
    f->list[f->count] = f->path[f->count];
    f->count++;
}

// A folder as the system gave it, and in its final form when that differs.
static void add_folder(ProtectedFolders* f, const wchar_t* path, FolderKind kind)
{
    char a[TG_PATH_SIZE];
    if (path[0] == L'\0')
        return;
    if (wide_to_ansi(path, a, sizeof(a)))
        add_one(f, a, kind);
    if (final_ansi(path, a, sizeof(a)))
        add_one(f, a, kind);
}

static BOOL CALLBACK find_folders(PINIT_ONCE, PVOID, PVOID*)
{
    ProtectedFolders* f = &g_folders;
    wchar_t w[TG_PATH_SIZE];
    const UINT cap = TG_PATH_SIZE;
    UINT n = GetWindowsDirectoryW(w, cap);
    if (n > 0 && n < cap)
        add_folder(f, w, kSystemFolder);
    n = GetSystemWindowsDirectoryW(w, cap);
    if (n > 0 && n < cap)
        add_folder(f, w, kSystemFolder);
    // MAX_PATH characters, as the shell folder functions write.
    wchar_t shell[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, shell) == S_OK)
        add_folder(f, shell, kProgramsFolder);
    if (SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, shell) == S_OK)
        add_folder(f, shell, kProgramsFolder);
    // The 64-bit Program Files, which a 32-bit program's CSIDL_PROGRAM_FILES
    // does not name; unset on 32-bit Windows.
    DWORD m = GetEnvironmentVariableW(L"ProgramW6432", w, cap);
    if (m > 0 && m < cap)
        add_folder(f, w, kProgramsFolder);
    return TRUE;
}

bool heuristic_kept_in_place(const char* path, const char* threat, char* why, size_t why_size)
{
    if (why_size > 0)
        why[0] = '\0';
    if (!verdict_is_heuristic(threat))
        return false;
    InitOnceExecuteOnce(&g_folders_once, find_folders, nullptr, nullptr);
    const ProtectedFolders& f = g_folders;
    int i = heuristic_left_in_place(path, threat, f.list, f.count);
    if (i < 0) {
        std::wstring w;
        char final_path[TG_PATH_SIZE];
        if (ansi_to_wide(path, &w) && final_ansi(w.c_str(), final_path, sizeof(final_path)))
            i = heuristic_left_in_place(final_path, threat, f.list, f.count);
    }
    if (i < 0)
        return false;
    bounded_format(why, why_size, "the %s folder %s",
                   f.kind[i] == kSystemFolder ? "system" : "programs", f.list[i]);
    return true;
}
