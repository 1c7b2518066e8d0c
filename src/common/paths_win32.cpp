#include "common/paths_win32.h"

#include "common/text.h"
#include "common/widetext_win32.h"

#include <shlobj.h>

AppState g_app;

// A shell folder, read in UTF-16 and named in ANSI (short names where the
// code page cannot spell a component). "" when the query fails; false when
// the folder exists but has no ANSI name (*unnamed then gets its inexact form).
static bool shell_folder(int csidl, char* out, std::string* unnamed)
{
    out[0] = '\0';
    wchar_t w[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, w)))
        return true;
    if (wide_path_to_ansi(w, out, TG_PATH_SIZE))
        return true;
    if (unnamed != nullptr && unnamed->empty())
        *unnamed = out;
    out[0] = '\0';
    return false;
}

bool paths_init(bool per_user, std::string* unnamed)
{
    char pf[TG_PATH_SIZE], cad[TG_PATH_SIZE], lad[TG_PATH_SIZE], cpr[TG_PATH_SIZE];
    bool named = shell_folder(CSIDL_PROGRAM_FILES, pf, unnamed);
    named = shell_folder(CSIDL_COMMON_APPDATA, cad, unnamed) && named;
    named = shell_folder(CSIDL_LOCAL_APPDATA, lad, unnamed) && named;
    named = shell_folder(CSIDL_COMMON_PROGRAMS, cpr, unnamed) && named;
    char drive[TG_SYSTEM_DRIVE_SIZE];
    DWORD n = GetEnvironmentVariableA("SystemDrive", drive, sizeof(drive));
    PathInputs in{pf, cad, lad, cpr, (n > 0 && n < sizeof(drive)) ? drive : nullptr};
    g_app.per_user = per_user;
    paths_compute(in, per_user, &g_app.paths);
    return named;
}

bool make_dir_path(const char* path)
{
    char p[TG_PATH_SIZE];
    if (bounded_copy(p, path, sizeof(p)) || p[0] == '\0')
        return false;
    for (size_t i = 1; p[i] != '\0'; i++) {
        if (p[i] != '\\' && p[i] != '/')
            continue;
        char c = p[i];
        p[i] = '\0';
        CreateDirectoryA(p, nullptr);
        p[i] = c;
    }
    if (CreateDirectoryA(p, nullptr))
        return true;
    const DWORD err = GetLastError();
    const DWORD a = GetFileAttributesA(p);
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY))
        return true;
    SetLastError(err);
    return false;
}

bool file_exists(const char* path)
{
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
