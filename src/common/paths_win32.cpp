#include "common/paths_win32.h"

#include "common/text.h"

#include <shlobj.h>

AppState g_app;

static void shell_folder(int csidl, char* out)
{
    out[0] = '\0';
    if (FAILED(SHGetFolderPathA(nullptr, csidl, nullptr, 0, out)))
        out[0] = '\0';
}

void paths_init(bool per_user)
{
    char pf[MAX_PATH], cad[MAX_PATH], lad[MAX_PATH], cpr[MAX_PATH];
    shell_folder(CSIDL_PROGRAM_FILES, pf);
    shell_folder(CSIDL_COMMON_APPDATA, cad);
    shell_folder(CSIDL_LOCAL_APPDATA, lad);
    shell_folder(CSIDL_COMMON_PROGRAMS, cpr);
    char drive[TG_SYSTEM_DRIVE_SIZE];
    DWORD n = GetEnvironmentVariableA("SystemDrive", drive, sizeof(drive));
    PathInputs in{pf, cad, lad, cpr, (n > 0 && n < sizeof(drive)) ? drive : nullptr};
    g_app.per_user = per_user;
    paths_compute(in, per_user, &g_app.paths);
}

void make_dir_path(const char* path)
{
    char p[TG_PATH_SIZE];
    bounded_copy(p, path, sizeof(p));
    for (size_t i = 1; p[i] != '\0'; i++) {
        if (p[i] != '\\' && p[i] != '/')
            continue;
        char c = p[i];
        p[i] = '\0';
        CreateDirectoryA(p, nullptr);
        p[i] = c;
    }
    CreateDirectoryA(p, nullptr);
}

bool file_exists(const char* path)
{
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
