// Realtime file watchers: every quick location is watched, in its whole
// tree, for created and renamed files, which are let settle and, when of
// executable and script types, inspected and quarantined.
//
// One thread waits on the folders of up to 63 locations at once (every
// thread costs about 1 MB under Wine, whatever its stack): an overlapped
// ReadDirectoryChangesW per folder, all waited on together with the
// engine's wake event, so the watchers end as soon as the engine stops. The
// records of one wait are handled as one batch: one
// settle pause for all of them, then size checks in rounds, so a burst of
// new files costs one pause rather than one per file.
//
// Two kinds of arrival carry no record per file, and are walked instead:
// a folder moved or created into the tree (only the folder is reported,
// and under Wine a folder made together with its parents is not watched
// before its first files land), and a wait whose records the system could
// not keep (buffer overflow), after which the tree is walked for files of
// the watched types changed since the previous pass.
#include "engine/watcher_win32.h"

#include "cloud/cloud_win32.h"
#include "common/handles.h"
#include "common/limits.h"
#include "common/log_win32.h"
#include "common/settings_win32.h"
#include "common/text.h"
#include "common/widetext_win32.h"
#include "detect/fileio_win32.h"
#include "detect/inspect.h"
#include "detect/inspect_win32.h"
#include "detect/protected_path_win32.h"
#include "detect/quarantine_win32.h"
#include "detect/scan_win32.h"
#include "engine/actions_win32.h"
#include "engine/engine_win32.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

// The executable list of the inspector without "lnk" and "gadget": shortcuts
// and gadgets are left to the on-demand scans.
static const char kRealtimeExts[] =
    "|exe|dll|scr|com|pif|cpl|msi|bat|cmd|ps1|vbs|vbe|js|jse|wsf|wsh|jar|hta|";

// Change records of one wait (FILE_NOTIFY_INFORMATION, DWORD-aligned).
static const DWORD kNotifyBufferBytes = 65536;
// Files handled as one batch. A 64 KB buffer holds at most 4096 records (16
// bytes at least each); an overflow rescan that finds more hands them over
// in several batches.
static const size_t kBatchMax = 4096;
// Folder levels below its start that a walk (a folder that arrived, an
// overflow rescan) enters, as deep as the scan driver goes.
static const int kRescanDepth = 64;
// Changes this much older than the previous pass still count in a rescan:
// file systems keep times coarser than the clock (FAT: 2 s).
static const ULONGLONG kRescanMargin = 2ULL * 10000000ULL; // 100 ns units
// Stack of a watcher thread; it needs little.
static const SIZE_T kWatcherStack = 256 * 1024;
// Folders one watcher thread waits on: one wait takes at most 64 handles,
// and the wake event is one of them.
static const int kWatchesPerThread = MAXIMUM_WAIT_OBJECTS - 1;
// Entries of the quick-location list.
static const int kQuickLocations = 64;

// ReadDirectoryChangesW: FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE,
// and FILE_NOTIFY_CHANGE_DIR_NAME for the folders that arrive.
static const DWORD kNotifyFilter = 0x13;

bool realtime_ext_watched(const char* path)
{
    char ext[TG_EXT_SIZE];
    file_ext_as_run(path, ext);
    return ext[0] != '\0' && ext_in_list(ext, kRealtimeExts);
}

namespace {

struct PendingFile {
    std::string path;
    LONGLONG prev_size; // -1 until a size was read
    bool done;
};

// A folder tree to walk for files of the watched types changed at or after
// `since` (0: every file, for a folder that has just arrived).
struct Walk {
    std::wstring folder;
    ULONGLONG since;
};

struct Batch {
    std::vector<PendingFile> files;
    std::set<std::string> seen; // one entry per path, whatever records came
    std::vector<Walk> walks;
};

struct Watcher {
    char folder[TG_PATH_SIZE];
    std::wstring wfolder;
    ULONGLONG last_pass; // system time when the last records were taken
};

// Counts the thread as live from its start request to its end.
struct LiveGuard {
    ~LiveGuard() { InterlockedDecrement(&g_engine.watchers_live); }
};

} // namespace

static ULONGLONG system_time_now()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

static ULONGLONG filetime_value(const FILETIME& ft)
{
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

static std::wstring join_wide(const std::wstring& folder, const wchar_t* name, size_t len)
{
    std::wstring p = folder;
    if (!p.empty() && p.back() != L'\\' && p.back() != L'/')
        p += L'\\';
    p.append(name, len);
    return p;
}

static void batch_add(Batch* b, const char* path)
{
    if (!realtime_ext_watched(path))
        return;
    if (!b->seen.insert(path).second)
        return;
    b->files.push_back(PendingFile{path, -1, false});
}

static const LONGLONG kSizeUnreadable = -1; // locked, or still being written
static const LONGLONG kSizeGone = -2;       // no longer there: nothing to inspect

// Size of a file opened as the settle check opens it.
static LONGLONG settle_size(const char* path)
{
    // By the "\\?\" form, and only a file on disk: a device would never
    // settle (and a read of it could block the watcher).
    HandleHolder h(open_disk_file(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  FILE_ATTRIBUTE_NORMAL));
    if (!h.ok()) {
        DWORD err = GetLastError();
        if (err == ERROR_BAD_FILE_TYPE)
            return kSizeGone;
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? kSizeGone
                                                                          : kSizeUnreadable;
    }
    LARGE_INTEGER sz;
    if (!GetFileSizeEx(h.get(), &sz))
        return kSizeUnreadable;
    return sz.QuadPart;
}

// Quarantines a detected file, unless a heuristic verdict leaves it in
// place (logged; 0 is then returned, as nothing failed).
static long realtime_act(const char* path, const char* threat, const FileIdentity* id)
{
    char why[TG_KEPT_WHY_SIZE];
    if (heuristic_kept_in_place(path, threat, why, sizeof(why))) {
        log_msg("DETECT", "realtime left in place: %s (heuristic verdict under %s)", path, why);
        return 0;
    }
    return quarantine_file_ex(path, threat, id);
}

static void inspect_one(const char* path)
{
    char threat[TG_THREAT_SIZE];
    FileIdentity id;
    int verdict = inspect_file_ex(path, threat, sizeof(threat), &id);
    counters_add_scanned(1);
    if (verdict != 1)
        return;
    log_msg("DETECT", "REALTIME DETECTED threat=%s file=%s", threat, path);
    engine_report_detection(threat, path);
    // Only the file that was inspected is moved. When it was written over
    // in the meantime, what is there now is inspected once more and moved
    // if it is a threat too.
    long result = realtime_act(path, threat, &id);
    char again[TG_THREAT_SIZE];
    if (result < 0 && inspect_file_ex(path, again, sizeof(again), &id) == 1)
        result = realtime_act(path, again, &id);
    if (result < 0)
        log_msg("ERROR", "realtime quarantine failed: %s", path);
    if (g_engine.cfg.hooks.post_threat != nullptr)
        g_engine.cfg.hooks.post_threat(threat, path);
}

// Size checks in rounds: a file whose size reads the same twice in a row is
// inspected; after the last round the rest are inspected as they are. The
// batch's files are then done with.
static void inspect_pending(Batch* b)
{
    const EngineTimings& t = g_engine.cfg.timings;
    for (int attempt = 1; attempt <= t.settle_attempts && !b->files.empty(); attempt++) {
        size_t pending = 0;
        for (PendingFile& f : b->files) {
            if (f.done)
                continue;
            if (engine_stopping())
                return;
            LONGLONG size = settle_size(f.path.c_str());
            if (size == kSizeGone) {
                // Renamed away or deleted meanwhile: its inspection could
                // only fail. A new name comes with a record of its own.
                f.done = true;
                continue;
            }
            if (size >= 0 && size == f.prev_size) {
                f.done = true;
                inspect_one(f.path.c_str());
                continue;
            }
            if (size >= 0)
                f.prev_size = size;
            pending++;
        }
        if (pending == 0)
            break;
        if (attempt == t.settle_attempts) {
            for (PendingFile& f : b->files) {
                if (engine_stopping())
                    return;
                if (!f.done) {
                    f.done = true;
                    inspect_one(f.path.c_str());
                }
            }
            break;
        }
        if (engine_sleep(t.settle_retry_ms))
            return;
    }
    b->files.clear();
    b->seen.clear();
}

static bool changed_since(const std::wstring& path, const WIN32_FIND_DATAW& fd, ULONGLONG since)
{
    if (since == 0)
        return true;
    if (filetime_value(fd.ftCreationTime) >= since || filetime_value(fd.ftLastWriteTime) >= since)
        return true;
    // A rename keeps both times; only the change time moves.
    HandleHolder h(CreateFileW(verbatim_wide(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    FILE_BASIC_INFO info;
    if (!h.ok() || !GetFileInformationByHandleEx(h.get(), FileBasicInfo, &info, sizeof(info)))
        return false;
    return static_cast<ULONGLONG>(info.ChangeTime.QuadPart) >= since;
}

// Adds the tree's files of the watched types to the batch, handing the
// batch on whenever it is full. A path that is no folder lists nothing.
static void walk_tree(const std::wstring& dir, int depth, ULONGLONG since, Batch* b)
{
    if (depth > kRescanDepth || engine_stopping())
        return;
    WIN32_FIND_DATAW fd;
    FindHolder find(FindFirstFileW(verbatim_wide(join_wide(dir, L"*", 1)).c_str(), &fd));
    if (!find.ok())
        return;
    char path[TG_PATH_SIZE];
    do {
        if (engine_stopping())
            return;
        if (wcscmp(fd.cFileName, L".") == 0 || wcscmp(fd.cFileName, L"..") == 0)
            continue;
        std::wstring full = join_wide(dir, fd.cFileName, wcslen(fd.cFileName));
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                walk_tree(full, depth + 1, since, b);
            continue;
        }
        if (!wide_path_to_ansi(full, path, sizeof(path)) || !realtime_ext_watched(path))
            continue;
        if (!changed_since(full, fd, since))
            continue;
        batch_add(b, path);
        if (b->files.size() >= kBatchMax)
            inspect_pending(b);
    } while (FindNextFileW(find.get(), &fd));
}

// One pause for the batch, the walks it asks for, then the size checks.
static void handle_batch(Batch* b)
{
    if (b->files.empty() && b->walks.empty())
        return;
    if (engine_sleep(g_engine.cfg.timings.settle_pause_ms))
        return;
    // Paused or switched off by policy: these files are passed over for
    // good, not kept for later.
    if (!cloud_realtime_allowed() || engine_is_paused())
        return;
    for (const Walk& w : b->walks)
        walk_tree(w.folder, 0, w.since, b);
    inspect_pending(b);
    read_buffers_trim();
}

// The records of one completed wait: created files and new names. A folder
// that arrived is walked after the settle pause.
static void collect_records(const Watcher& w, const BYTE* buf, DWORD len, Batch* b)
{
    DWORD off = 0;
    char path[TG_PATH_SIZE];
    const DWORD head = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    while (off <= len && len - off >= head && b->files.size() + b->walks.size() < kBatchMax) {
        const FILE_NOTIFY_INFORMATION* fi =
            reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buf + off);
        DWORD name_bytes = fi->FileNameLength;
        if (name_bytes > len - off - head)
            break; // a record that runs past the data: the rest is not trusted
        if (fi->Action == FILE_ACTION_ADDED || fi->Action == FILE_ACTION_RENAMED_NEW_NAME) {
            std::wstring full = join_wide(w.wfolder, fi->FileName, name_bytes / sizeof(WCHAR));
            DWORD attrs = GetFileAttributesW(verbatim_wide(full).c_str());
            if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
                if (!(attrs & FILE_ATTRIBUTE_REPARSE_POINT))
                    b->walks.push_back(Walk{full, 0});
            } else if (!wide_path_to_ansi(full, path, sizeof(path))) {
                log_msg("WARN", "realtime: a new file in %s has no usable name; not inspected",
                        w.folder);
            } else {
                batch_add(b, path);
            }
        }
        DWORD next = fi->NextEntryOffset;
        if (next == 0 || next > len - off)
            break;
        off += next;
    }
}

namespace {

// One watched folder of a watcher thread.
struct Slot {
    Watcher w = {};
    HandleHolder dir;
    HandleHolder done; // the overlapped read's event
    OVERLAPPED ov = {};
    BYTE* buf = nullptr;   // kNotifyBufferBytes, VirtualAlloc'd: resident only once written
    bool reading = false;  // a read is outstanding
    bool retrying = false; // a read failed: wait until retry_at
    DWORD retry_at = 0;    // tick count
};

// What watcher_start hands to its thread (a page block, freed by the thread).
struct WatchList {
    int count;
    char folder[kWatchesPerThread][TG_PATH_SIZE];
};

} // namespace

static void issue_read(Slot* s);

static bool open_slot(Slot* s, const char* folder)
{
    bounded_copy(s->w.folder, folder, sizeof(s->w.folder));
    const bool named = ansi_to_wide(s->w.folder, &s->w.wfolder);
    if (named)
        s->dir.reset(CreateFileW(verbatim_wide(s->w.wfolder).c_str(), FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                                 nullptr));
    s->done.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (s->dir.ok() && s->done.ok() && named)
        s->buf = static_cast<BYTE*>(
            VirtualAlloc(nullptr, kNotifyBufferBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (s->buf == nullptr) {
        log_msg("WARN", "watcher: cannot open %s", s->w.folder);
        return false;
    }
    s->w.last_pass = system_time_now();
    // The first read starts the recording of changes: issued before the
    // line that says the folder is watched.
    issue_read(s);
    log_msg("INFO", "realtime watcher on %s", s->w.folder);
    return true;
}

static void close_slot(Slot* s)
{
    if (s->reading) {
        // The read must be over before its buffer goes away.
        DWORD got = 0;
        CancelIoEx(s->dir.get(), &s->ov);
        GetOverlappedResult(s->dir.get(), &s->ov, &got, TRUE);
        s->reading = false;
    }
    if (s->buf != nullptr)
        VirtualFree(s->buf, 0, MEM_RELEASE);
    s->buf = nullptr;
}

static void read_failed(Slot* s)
{
    log_msg("WARN", "watcher error on %s", s->w.folder);
    s->retrying = true;
    s->retry_at = GetTickCount() + g_engine.cfg.timings.watcher_error_sleep_ms;
}

static void issue_read(Slot* s)
{
    s->ov = OVERLAPPED{};
    s->ov.hEvent = s->done.get();
    ResetEvent(s->ov.hEvent);
    if (ReadDirectoryChangesW(s->dir.get(), s->buf, kNotifyBufferBytes, TRUE, kNotifyFilter,
                              nullptr, &s->ov, nullptr))
        s->reading = true;
    else
        read_failed(s);
}

// A read of `s` has completed: its records, or a walk when they were lost.
static void complete_read(Slot* s)
{
    s->reading = false;
    DWORD got = 0;
    BOOL ok = GetOverlappedResult(s->dir.get(), &s->ov, &got, FALSE);
    DWORD err = ok ? 0 : GetLastError();
    ULONGLONG previous = s->w.last_pass;
    s->w.last_pass = system_time_now();
    if (!ok && err != ERROR_NOTIFY_ENUM_DIR) {
        read_failed(s);
        return;
    }
    Batch b;
    if (!ok || got == 0) {
        log_msg("WARN", "realtime: change records lost on %s; rescanning for new files",
                s->w.folder);
        // Never 0, which would mean every file of the tree.
        ULONGLONG since = previous > kRescanMargin ? previous - kRescanMargin : 1;
        b.walks.push_back(Walk{s->w.wfolder, since});
    } else {
        collect_records(s->w, s->buf, got, &b);
    }
    // Issued again before the batch is handled: changes during the
    // handling are recorded, not lost.
    issue_read(s);
    handle_batch(&b);
}

// Waits on every folder's read and the wake event at once. After each wake
// every folder with a completed read is served, in turn, so a busy folder
// cannot starve the others.
static void watch_loop(Slot* slots, int count)
{
    while (!engine_stopping()) {
        HANDLE waits[kWatchesPerThread + 1];
        DWORD n = 0;
        DWORD timeout = INFINITE;
        DWORD now = GetTickCount();
        for (int i = 0; i < count; i++) {
            Slot* s = &slots[i];
            if (s->buf == nullptr)
                continue;
            if (s->retrying) {
                DWORD left = s->retry_at - now;
                if (static_cast<LONG>(left) > 0) {
                    timeout = left < timeout ? left : timeout;
                    continue;
                }
                s->retrying = false;
            }
            if (!s->reading)
                issue_read(s);
            if (s->reading)
                waits[n++] = s->done.get();
        }
        if (g_engine.wake != nullptr)
            waits[n++] = g_engine.wake;
        if (n == 0) {
            if (timeout == INFINITE)
                return; // nothing left to watch
            Sleep(timeout);
            continue;
        }
        // The waits are long: what the last batch wrote on the stack goes.
        thread_stack_trim();
        DWORD r = WaitForMultipleObjects(n, waits, FALSE, timeout);
        if (r == WAIT_FAILED) {
            Sleep(100);
            continue;
        }
        for (int i = 0; i < count && !engine_stopping(); i++) {
            Slot* s = &slots[i];
            if (s->reading && WaitForSingleObject(s->done.get(), 0) == WAIT_OBJECT_0)
                complete_read(s);
        }
    }
}

DWORD WINAPI watcher_thread(LPVOID param)
{
    LiveGuard live;
    WatchList* list = static_cast<WatchList*>(param);
    int count = list->count;
    std::vector<Slot> slots(static_cast<size_t>(count));
    int opened = 0;
    for (int i = 0; i < count; i++)
        opened += open_slot(&slots[i], list->folder[i]) ? 1 : 0;
    page_block_free(list);
    if (opened > 0 && !engine_stopping())
        watch_loop(slots.data(), count);
    for (Slot& s : slots)
        close_slot(&s);
    return opened > 0 ? 0 : 1;
}

// Starts one thread for up to kWatchesPerThread folders.
static bool start_group(const char (*folders)[TG_PATH_SIZE], int count)
{
    if (count <= 0)
        return false;
    WatchList* list = static_cast<WatchList*>(page_block_alloc(sizeof(WatchList)));
    if (list == nullptr)
        return false;
    list->count = count;
    for (int i = 0; i < count; i++)
        bounded_copy(list->folder[i], folders[i], TG_PATH_SIZE);
    InterlockedIncrement(&g_engine.watchers_live);
    HANDLE h = CreateThread(nullptr, kWatcherStack, watcher_thread, list,
                            STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (h == nullptr) {
        InterlockedDecrement(&g_engine.watchers_live);
        page_block_free(list);
        return false;
    }
    CloseHandle(h);
    return true;
}

bool watcher_start(const char* folder)
{
    char one[1][TG_PATH_SIZE];
    bounded_copy(one[0], folder, TG_PATH_SIZE);
    return start_group(one, 1);
}

int watchers_start_list(const char (*folders)[TG_PATH_SIZE], int count)
{
    int threads = 0;
    for (int i = 0; i < count; i += kWatchesPerThread)
        threads += start_group(folders + i, std::min(count - i, kWatchesPerThread)) ? 1 : 0;
    return threads;
}

void watchers_start()
{
    using Location = char[TG_PATH_SIZE];
    Location* list = static_cast<Location*>(page_block_alloc(kQuickLocations * sizeof(Location)));
    if (list == nullptr)
        return;
    int n = quick_locations(list);
    watchers_start_list(list, n);
    page_block_free(list);
    log_msg("INFO", "realtime: %d watchers started", n);
}
