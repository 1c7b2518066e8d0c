#include "common/files_win32.h"

#include "common/handles.h"
#include "common/limits.h"
#include "common/paths.h"
#include "common/paths_win32.h"
#include "common/text.h"

#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

// A settings file or index is small; anything larger than this is not ours
// to slurp and reads as unreadable.
static const LONGLONG kMaxWholeFile = 256LL * 1024 * 1024;

bool file_read_all(const char* path, std::string* out)
{
    out->clear();
    HandleHolder h(CreateFileA(path, GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.ok())
        return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h.get(), &size) || size.QuadPart > kMaxWholeFile)
        return false;
    out->resize(static_cast<size_t>(size.QuadPart));
    size_t got = 0;
    while (got < out->size()) {
        DWORD n = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(out->size() - got, 1u << 20));
        if (!ReadFile(h.get(), &(*out)[got], want, &n, nullptr)) {
            // Part of a file is no file: a writer would put back the part.
            out->clear();
            return false;
        }
        if (n == 0)
            break; // shorter now than when it was opened
        got += n;
    }
    out->resize(got);
    return true;
}

FileRead file_read_existing(const char* path, std::string* out)
{
    if (file_read_all(path, out))
        return FileRead::Read;
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return FileRead::Unreadable;
    DWORD err = GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? FileRead::Missing
                                                                      : FileRead::Unreadable;
}

bool file_replace_atomic(const char* path, const std::string& content)
{
    // A read-only file is not to be replaced. Windows refuses the move over
    // it; Wine's does not, so it is asked here.
    DWORD attrs = GetFileAttributesA(path);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    char tmp[TG_PATH_SIZE + 64];
    snprintf(tmp, sizeof(tmp), "%s.%lu-%lu.tmp", path, GetCurrentProcessId(), GetCurrentThreadId());
    {
        HandleHolder h(CreateFileA(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!h.ok())
            return false;
        size_t done = 0;
        while (done < content.size()) {
            DWORD n = 0;
            DWORD want = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 20));
            if (!WriteFile(h.get(), content.data() + done, want, &n, nullptr) || n == 0) {
                h.reset();
                DeleteFileA(tmp);
                return false;
            }
            done += n;
        }
        FlushFileBuffers(h.get());
    }
    // A reader that opened the file without delete sharing (an editor, a
    // virus scanner) makes the replace fail for a moment: try again briefly.
    for (int attempt = 0; attempt < 50; attempt++) {
        if (MoveFileExA(tmp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        DWORD err = GetLastError();
        if (err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION)
            break;
        Sleep(20);
    }
    DeleteFileA(tmp);
    return false;
}

// FNV-1a over the lower-cased path: one mutex name per file.
static unsigned long long path_hash(const char* path)
{
    unsigned long long h = 1469598103934665603ULL;
    for (const char* p = path; *p != '\0'; p++) {
        unsigned char c = ascii_lower(static_cast<unsigned char>(*p));
        if (c == '/')
            c = '\\';
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

static bool in_machine_data_dir(const char* path)
{
    char machine[TG_PATH_SIZE];
    path_join(machine, sizeof(machine), g_app.paths.common_appdata, "Tallowguard");
    size_t n = strlen(machine);
    return n > 0 && _strnicmp(path, machine, n) == 0;
}

FileLock::FileLock(const char* path)
{
    char name[128];
    snprintf(name, sizeof(name), "%s\\Tallowguard_File_%016llx",
             in_machine_data_dir(path) ? "Global" : "Local", path_hash(path));
    // The service (LocalSystem) and users' command-line runs share the
    // machine files: everyone may wait on and release the mutex.
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, FALSE};
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:(A;;0x100001;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, &sd, nullptr))
        sa.lpSecurityDescriptor = sd;
    mutex = CreateMutexA(&sa, FALSE, name);
    if (mutex == nullptr)
        mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
    if (sd != nullptr)
        LocalFree(sd);
    if (mutex == nullptr)
        return;
    // A holder that never lets go (a hung or hostile process) must not stop
    // this one for good: after 10 s the write goes ahead unlocked.
    DWORD w = WaitForSingleObject(mutex, 10000);
    owned = (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED);
}

FileLock::~FileLock()
{
    if (mutex == nullptr)
        return;
    if (owned)
        ReleaseMutex(mutex);
    CloseHandle(mutex);
}
