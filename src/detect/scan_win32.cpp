#include "detect/scan_win32.h"

#include "common/eventlog.h"
#include "common/handles.h"
#include "common/limits.h"
#include "common/log_win32.h"
#include "common/paths.h"
#include "common/paths_win32.h"
#include "common/settings_win32.h"
#include "common/sysapi_win32.h"
#include "common/text.h"
#include "common/widetext_win32.h"
#include "detect/exclusions_win32.h"
#include "detect/fileio_win32.h"
#include "detect/inspect.h"
#include "detect/inspect_win32.h"
#include "detect/protected_path_win32.h"
#include "detect/quarantine_win32.h"
#include "detect/sigs.h"
#include "detect/sigs_win32.h"

#include <shlobj.h>
#include <tlhelp32.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

static const int kMaxDepth = 64;          // levels below the starting folder that are entered
static const int kMaxQuickLocations = 64; // quick_locations: later folders are not added
static const int kProgressEvery = 2000;   // verbose scans log a progress line this often

DetectSink g_detect_sink;

// This program's own file. Its keyword tables name every suspicious API,
// so the heuristics would flag it: the running image (and so the installed
// copy the service and tray run from) is never reported or moved.
static FileIdentity g_self;
static INIT_ONCE g_self_once = INIT_ONCE_STATIC_INIT;

static BOOL CALLBACK find_self(PINIT_ONCE, PVOID, PVOID*)
{
    wchar_t path[32768];
    DWORD n = GetModuleFileNameW(nullptr, path, sizeof(path) / sizeof(path[0]));
    if (n == 0 || n >= sizeof(path) / sizeof(path[0]))
        return TRUE;
    HandleHolder h(CreateFileW(path, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION fi;
    if (h.ok() && GetFileInformationByHandle(h.get(), &fi)) {
        g_self.volume = fi.dwVolumeSerialNumber;
        g_self.index_high = fi.nFileIndexHigh;
        g_self.index_low = fi.nFileIndexLow;
        g_self.valid = 1;
    }
    return TRUE;
}

static bool is_own_image(const FileIdentity& id)
{
    InitOnceExecuteOnce(&g_self_once, find_self, nullptr, nullptr);
    return id.valid && g_self.valid && id.volume == g_self.volume &&
           id.index_high == g_self.index_high && id.index_low == g_self.index_low;
}

static bool stopped(const ScanStats* s)
{
    return s->stop != nullptr && *s->stop != 0;
}

// The counters of one scan may be raised by several of its threads.
static long bump(long* counter)
{
    return InterlockedIncrement(reinterpret_cast<volatile LONG*>(counter));
}

// One detection's lines (DETECTED, QUARANTINED, the outcome) stay together
// in the log however many threads scan at once.
static SRWLOCK g_report_lock = SRWLOCK_INIT;

// The fleet report may wait on the network for its time-outs: it is sent
// after the lock is let go, so that no other thread's detection waits too.
static void report_to_fleet(const char* threat, const char* path)
{
    if (g_detect_sink.report_detection != nullptr)
        g_detect_sink.report_detection(threat, path);
}

// A file whose digest waits for the signatures, and the list of them.
struct PendingFile {
    std::string path;
    unsigned char digest[32];
};
struct PendingList {
    SRWLOCK lock;
    std::vector<PendingFile> files;
};

// Files inspected while the signatures load are kept aside this far; past
// it, inspections wait for the load.
static const size_t kPendingMax = 100000;

// scan_file, optionally putting off the lookup of a file's digest while the
// signatures load (the file is then counted once it has been looked up).
static void scan_file_in(const char* path, ScanStats* stats, int quarantine, PendingList* later)
{
    if (stopped(stats))
        return;
    if (is_excluded(path)) {
        bump(&stats->skipped);
        return;
    }
    char threat[TG_THREAT_SIZE];
    FileIdentity id;
    InspectDefer defer;
    int verdict =
        inspect_file_defer(path, threat, sizeof(threat), &id, later != nullptr ? &defer : nullptr);
    if (later != nullptr && defer.pending) {
        AcquireSRWLockExclusive(&later->lock);
        bool kept = later->files.size() < kPendingMax;
        if (kept) {
            later->files.emplace_back();
            later->files.back().path = path;
            memcpy(later->files.back().digest, defer.digest, sizeof(defer.digest));
        }
        ReleaseSRWLockExclusive(&later->lock);
        if (kept)
            return;
        verdict = inspect_file_ex(path, threat, sizeof(threat), &id);
    }
    if (verdict == kVerdictThreat && is_own_image(id))
        verdict = kVerdictClean;
    const long files = bump(&stats->files);
    counters_add_scanned(1);
    if (verdict == kVerdictThreat) {
        bump(&stats->threats);
        AcquireSRWLockExclusive(&g_report_lock);
        log_msg("DETECT", "DETECTED threat=%s file=%s", threat, path);
        report_event(TG_MSG_THREAT_DETECTED, TG_EVENT_WARNING, threat, path);
        if (!quarantine) {
            if (stats->verbose)
                log_msg("INFO", " -> (report only, not quarantined)");
            ReleaseSRWLockExclusive(&g_report_lock);
            report_to_fleet(threat, path);
            return;
        }
        char why[TG_KEPT_WHY_SIZE];
        if (heuristic_kept_in_place(path, threat, why, sizeof(why))) {
            // Reported and counted as found, but neither moved nor deleted.
            log_msg("DETECT", "left in place: %s (heuristic verdict under %s)", path, why);
        } else {
            // Only the file that was inspected is moved or deleted.
            long r = quarantine_file_ex(path, threat, &id);
            if (r < 0) {
                log_msg("ERROR", "quarantine failed: %s", path);
                bump(&stats->errors);
            } else if (stats->verbose) {
                log_msg("INFO", " -> %s", r > 0 ? "quarantined" : "deleted");
            }
        }
        ReleaseSRWLockExclusive(&g_report_lock);
        report_to_fleet(threat, path);
        if (g_detect_sink.alert_threat != nullptr)
            g_detect_sink.alert_threat(threat, path);
    } else if (verdict == kVerdictCannotOpen) {
        bump(&stats->errors);
    }
    if (stats->verbose && files % kProgressEvery == 0)
        log_msg("INFO", "... %ld files scanned", files);
}

void scan_file(const char* path, ScanStats* stats, int quarantine)
{
    scan_file_in(path, stats, quarantine, nullptr);
}

// The files put off while the signatures loaded: each is looked up now, and
// one that is listed is inspected again, as any file found then would be.
static void scan_pending(PendingList* later, ScanStats* stats, int quarantine)
{
    if (later->files.empty())
        return;
    sigs_wait_ready();
    for (const PendingFile& f : later->files) {
        if (stopped(stats))
            break;
        char name[TG_SIG_NAME_SIZE];
        if (sig_lookup_digest(f.digest, name, sizeof(name))) {
            scan_file_in(f.path.c_str(), stats, quarantine, nullptr);
            continue;
        }
        const long files = bump(&stats->files);
        counters_add_scanned(1);
        if (stats->verbose && files % kProgressEvery == 0)
            log_msg("INFO", "... %ld files scanned", files);
    }
    later->files.clear();
}

// ---- names -------------------------------------------------------------------------

// The short (8.3) name of the entry `wname` of the folder `wdir` in exact
// ANSI form. False when there is none that converts (8.3 names switched off
// on the volume, or the short name is the long one).
static bool short_ansi_name(const std::wstring& wdir, const wchar_t* wname, std::string* out)
{
    char full[TG_PATH_SIZE];
    if (!wide_path_to_ansi(wdir + wname, full, sizeof(full)))
        return false;
    const char* last = strrchr(full, '\\');
    out->assign(last != nullptr ? last + 1 : full);
    return !out->empty();
}

// The ANSI path of the entry `wname` of `folder` (whose UTF-16 form with a
// trailing separator is `wdir`) into out. False, logged, when the entry
// cannot be named exactly in ANSI or the path would not fit.
static bool entry_path(const char* folder, const std::wstring& wdir, const wchar_t* wname,
                       const std::string& name, bool exact, char* out, size_t size)
{
    std::string use = name;
    if (!exact && !short_ansi_name(wdir, wname, &use)) {
        path_join(out, size, folder, name.c_str());
        log_msg("WARN", "scan: %s has no name in the ANSI code page, not scanned", out);
        return false;
    }
    if (path_join(out, size, folder, use.c_str())) {
        log_msg("WARN", "scan: path too long, not scanned: %s", out);
        return false;
    }
    return true;
}

static std::wstring folder_prefix(const std::wstring& wfolder)
{
    std::wstring w = wfolder;
    if (!w.empty() && w.back() != L'\\' && w.back() != L'/')
        w.push_back(L'\\');
    return w;
}

static bool dot_entry(const wchar_t* n)
{
    return n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0'));
}

// ---- the walk and its inspecting threads ---------------------------------------------

// The folder walk runs on the calling thread; the files it finds are
// inspected by a few threads of the scan (one per processor, the walking
// thread included), since hashing, not listing, is what a scan waits for.
struct ScanWork {
    ScanStats* stats;
    SRWLOCK lock;
    CONDITION_VARIABLE ready;
    std::deque<std::string> queue; // files waiting for a thread
    bool closing;
    std::vector<HANDLE> threads;
    PendingList pending; // files waiting for the signatures to load
};

static const size_t kQueueMax = 64; // a full queue: the walking thread inspects the file itself
static const DWORD kMaxThreads = 8;

static bool take(ScanWork* w, std::string* path, bool wait)
{
    AcquireSRWLockExclusive(&w->lock);
    while (wait && w->queue.empty() && !w->closing)
        SleepConditionVariableSRW(&w->ready, &w->lock, INFINITE, 0);
    bool got = !w->queue.empty();
    if (got) {
        path->swap(w->queue.front());
        w->queue.pop_front();
    }
    ReleaseSRWLockExclusive(&w->lock);
    return got;
}

static DWORD WINAPI scan_worker(LPVOID arg)
{
    ScanWork* w = static_cast<ScanWork*>(arg);
    std::string path;
    while (take(w, &path, true))
        scan_file_in(path.c_str(), w->stats, 1, &w->pending);
    thread_stack_trim();
    return 0;
}

static void submit(ScanWork* w, const char* path)
{
    if (!w->threads.empty()) {
        AcquireSRWLockExclusive(&w->lock);
        bool queued = w->queue.size() < kQueueMax;
        if (queued)
            w->queue.emplace_back(path);
        ReleaseSRWLockExclusive(&w->lock);
        if (queued) {
            WakeConditionVariable(&w->ready);
            return;
        }
    }
    scan_file_in(path, w->stats, 1, &w->pending);
}

static void work_start(ScanWork* w, ScanStats* stats)
{
    w->stats = stats;
    InitializeSRWLock(&w->lock);
    InitializeSRWLock(&w->pending.lock);
    InitializeConditionVariable(&w->ready);
    w->closing = false;
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    DWORD n = si.dwNumberOfProcessors < kMaxThreads ? si.dwNumberOfProcessors : kMaxThreads;
    for (DWORD i = 1; i < n; i++) {
        HANDLE t = CreateThread(nullptr, 0, scan_worker, w, 0, nullptr);
        if (t == nullptr)
            break;
        w->threads.push_back(t);
    }
}

// Every file found is inspected before this returns.
static void work_finish(ScanWork* w)
{
    AcquireSRWLockExclusive(&w->lock);
    w->closing = true;
    ReleaseSRWLockExclusive(&w->lock);
    WakeAllConditionVariable(&w->ready);
    std::string path;
    while (take(w, &path, false))
        scan_file_in(path.c_str(), w->stats, 1, &w->pending);
    for (HANDLE t : w->threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    w->threads.clear();
}

static void walk(const char* folder, ScanWork* work, int depth)
{
    ScanStats* stats = work->stats;
    if (depth > kMaxDepth) {
        if (InterlockedExchange(reinterpret_cast<volatile LONG*>(&stats->deep_warned), 1) == 0)
            log_msg("WARN",
                    "scan: folders more than %d levels below the start are not scanned; the "
                    "first left out: %s",
                    kMaxDepth, folder);
        return;
    }
    if (stopped(stats))
        return;
    if (is_excluded(folder)) {
        bump(&stats->skipped);
        return;
    }
    std::wstring wfolder;
    if (!ansi_to_wide(folder, &wfolder)) {
        bump(&stats->errors);
        return;
    }
    const std::wstring wdir = folder_prefix(wfolder);
    WIN32_FIND_DATAW fd;
    // By the "\\?\" form: a folder named "name." or "CON" is listed as it is.
    FindHolder f(FindFirstFileExW((verbatim_wide(wdir) + L"*").c_str(), FindExInfoBasic, &fd,
                                  FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!f.ok()) {
        bump(&stats->errors);
        return;
    }
    std::string name;
    char full[TG_PATH_SIZE];
    do {
        if (stopped(stats))
            break;
        if (dot_entry(fd.cFileName))
            continue;
        const bool dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (dir && (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            bump(&stats->skipped);
            continue;
        }
        const bool exact = wide_to_ansi(fd.cFileName, std::wstring::npos, &name);
        if (!dir) {
            char ext[TG_EXT_SIZE];
            file_ext_as_run(name.c_str(), ext);
            if (!ext_in_list(ext, executable_exts)) {
                bump(&stats->skipped);
                continue;
            }
        }
        if (!entry_path(folder, wdir, fd.cFileName, name, exact, full, sizeof(full))) {
            bump(&stats->errors);
            continue;
        }
        if (dir)
            walk(full, work, depth + 1);
        else
            submit(work, full);
    } while (FindNextFileW(f.get(), &fd));
}

void scan_tree(const char* folder, ScanStats* stats, int depth)
{
    ScanWork work;
    work_start(&work, stats);
    walk(folder, &work, depth);
    work_finish(&work);
    scan_pending(&work.pending, stats, 1);
    read_buffers_trim();
}

// ---- quick locations ------------------------------------------------------------------

static bool same_folder(const char* a, const char* b)
{
    size_t la = strlen(a), lb = strlen(b);
    while (la > 1 && (a[la - 1] == '\\' || a[la - 1] == '/'))
        la--;
    while (lb > 1 && (b[lb - 1] == '\\' || b[lb - 1] == '/'))
        lb--;
    return la == lb && _strnicmp(a, b, la) == 0;
}

static int add_location(char (*list)[1024], int count, const char* path)
{
    if (count >= kMaxQuickLocations || path[0] == '\0')
        return count;
    DWORD a = GetFileAttributesA(path);
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY))
        return count;
    for (int i = 0; i < count; i++)
        if (same_folder(list[i], path))
            return count;
    if (bounded_copy(list[count], path, sizeof(list[count])))
        return count; // a cut path names another folder
    return count + 1;
}

static int add_joined(char (*list)[1024], int count, const char* a, const char* b)
{
    char p[TG_PATH_SIZE];
    if (path_join(p, sizeof(p), a, b))
        return count;
    return add_location(list, count, p);
}

// Every user's folders under %SystemDrive%\Users (service mode).
static int add_all_users(char (*list)[1024], int count)
{
    char drive[TG_SYSTEM_DRIVE_SIZE] = "C:";
    DWORD n = GetEnvironmentVariableA("SystemDrive", drive, sizeof(drive));
    if (n == 0 || n >= sizeof(drive))
        bounded_copy(drive, "C:", sizeof(drive));
    char users[TG_PATH_SIZE];
    path_join(users, sizeof(users), drive, "Users");
    std::wstring wusers;
    if (!ansi_to_wide(users, &wusers))
        return count;
    const std::wstring wdir = folder_prefix(wusers);
    WIN32_FIND_DATAW fd;
    FindHolder f(FindFirstFileExW((verbatim_wide(wdir) + L"*").c_str(), FindExInfoBasic, &fd,
                                  FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!f.ok())
        return count;
    std::string name;
    char user[TG_PATH_SIZE];
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        const bool exact = wide_to_ansi(fd.cFileName, std::wstring::npos, &name);
        if (name.empty() || name[0] == '.' || _strnicmp(name.c_str(), "Default", 7) == 0 ||
            _stricmp(name.c_str(), "All Users") == 0)
            continue;
        if (!entry_path(users, wdir, fd.cFileName, name, exact, user, sizeof(user)))
            continue;
        count = add_joined(list, count, user, "AppData\\Local\\Temp");
        count = add_joined(list, count, user, "Downloads");
        count = add_joined(list, count, user, "Desktop");
    } while (FindNextFileW(f.get(), &fd));
    return count;
}

// A folder the system gives in UTF-16, in ANSI form (short names where
// needed); a folder that cannot be named in ANSI is logged and left out.
static bool system_folder(const wchar_t* w, DWORD n, DWORD cap, char* out)
{
    if (n == 0 || n >= cap)
        return false;
    if (wide_path_to_ansi(std::wstring(w, n), out, TG_PATH_SIZE))
        return true;
    log_msg("WARN", "quick scan: %s has no name in the ANSI code page, left out", out);
    return false;
}

static bool shell_folder_ansi(int csidl, char* out)
{
    wchar_t w[MAX_PATH];
    if (SHGetFolderPathW(nullptr, csidl, nullptr, 0, w) != S_OK)
        return false;
    return system_folder(w, static_cast<DWORD>(wcslen(w)), MAX_PATH, out);
}

int quick_locations(char (*list)[1024])
{
    int count = 0;
    char p[TG_PATH_SIZE];
    wchar_t w[TG_PATH_SIZE];
    if (system_folder(w, GetTempPathW(TG_PATH_SIZE, w), TG_PATH_SIZE, p))
        count = add_location(list, count, p);
    if (system_folder(w, GetWindowsDirectoryW(w, TG_PATH_SIZE), TG_PATH_SIZE, p))
        count = add_joined(list, count, p, "Temp");
    if (!g_app.per_user) {
        count = add_all_users(list, count);
    } else {
        if (shell_folder_ansi(CSIDL_LOCAL_APPDATA, p))
            count = add_joined(list, count, p, "Temp");
        if (shell_folder_ansi(CSIDL_DESKTOPDIRECTORY, p))
            count = add_location(list, count, p);
        if (system_folder(w, GetEnvironmentVariableW(L"USERPROFILE", w, TG_PATH_SIZE), TG_PATH_SIZE,
                          p))
            count = add_joined(list, count, p, "Downloads");
    }
    return count;
}

// ---- quick and full scans -------------------------------------------------------------

static void scan_running_programs(ScanStats* stats)
{
    HandleHolder snap(sys_toolhelp_snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap.ok())
        return;
    PROCESSENTRY32W pe{};
    pe.dwSize = sizeof(pe);
    for (BOOL more = sys_process_first(snap.get(), &pe); more && !stopped(stats);
         more = sys_process_next(snap.get(), &pe)) {
        HandleHolder proc(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pe.th32ProcessID));
        if (!proc.ok())
            continue;
        wchar_t wimage[TG_PATH_SIZE];
        DWORD size = TG_PATH_SIZE;
        char image[TG_PATH_SIZE];
        if (!QueryFullProcessImageNameW(proc.get(), 0, wimage, &size) ||
            !wide_path_to_ansi(std::wstring(wimage, size), image, sizeof(image)))
            continue;
        char ext[TG_EXT_SIZE];
        file_ext(image, ext);
        // A running program is only reported: moving it would not stop it.
        if (file_exists(image) && ext_in_list(ext, executable_exts))
            scan_file(image, stats, 0);
    }
}

// The program of a Run value's command line: a quoted path up to its closing
// quote, otherwise up to the first blank. False when there is none or it is
// longer than a path may be.
static bool run_value_program(const char* data, char* out, size_t size)
{
    const char* p = data;
    bool quoted = false;
    while (*p == ' ' || *p == '\t' || *p == '"') {
        if (*p == '"')
            quoted = true;
        p++;
    }
    size_t n = 0;
    while (p[n] != '\0' && (quoted ? p[n] != '"' : (p[n] != ' ' && p[n] != '\t')))
        n++;
    if (n == 0 || n >= size)
        return false;
    memcpy(out, p, n);
    out[n] = '\0';
    return true;
}

static void scan_run_key(ScanStats* stats)
{
    KeyHolder key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                      KEY_READ, &key.h) != ERROR_SUCCESS) {
        key.h = nullptr;
        return;
    }
    // The index only grows, so the walk ends at ERROR_NO_MORE_ITEMS; the
    // bound guards against a key that keeps failing.
    for (DWORD i = 0; i < 65536 && !stopped(stats); i++) {
        char name[256];
        DWORD name_len = sizeof(name);
        char data[TG_PATH_SIZE + 1];
        DWORD data_len = TG_PATH_SIZE; // one byte kept for the terminator
        DWORD type = 0;
        LONG r = RegEnumValueA(key.h, i, name, &name_len, nullptr, &type,
                               reinterpret_cast<BYTE*>(data), &data_len);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[data_len < sizeof(data) ? data_len : sizeof(data) - 1] = '\0';
        char program[TG_PATH_SIZE];
        if (run_value_program(data, program, sizeof(program)) && file_exists(program))
            scan_file(program, stats, 0);
    }
}

void quick_scan(ScanStats* stats)
{
    void* buf = page_block_alloc(static_cast<size_t>(kMaxQuickLocations) * 1024);
    if (buf == nullptr)
        return;
    char(*list)[1024] = static_cast<char(*)[1024]>(buf);
    int count = quick_locations(list);
    exclusions_refresh();
    log_msg("INFO", "quick scan: %d watch locations", count);
    for (int i = 0; i < count && !stopped(stats); i++)
        scan_tree(list[i], stats, 0);
    scan_running_programs(stats);
    scan_run_key(stats);
    page_block_free(buf);
    read_buffers_trim();
}

void full_scan(ScanStats* stats)
{
    char drives[512];
    DWORD n = GetLogicalDriveStringsA(sizeof(drives), drives);
    if (n == 0 || n >= sizeof(drives))
        return;
    exclusions_refresh();
    for (const char* d = drives; *d != '\0'; d += strlen(d) + 1) {
        if (GetDriveTypeA(d) != DRIVE_FIXED)
            continue;
        log_msg("INFO", "full scan: drive %s", d);
        scan_tree(d, stats, 0);
        if (stopped(stats))
            break;
    }
}
