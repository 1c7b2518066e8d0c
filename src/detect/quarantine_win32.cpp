#include "detect/quarantine_win32.h"

#include "common/clock_win32.h"
#include "common/console_win32.h"
#include "common/eventlog.h"
#include "common/files_win32.h"
#include "common/handles.h"
#include "common/limits.h"
#include "common/log_win32.h"
#include "common/paths.h"
#include "common/paths_win32.h"
#include "common/settings_win32.h"
#include "common/text.h"
#include "common/widetext_win32.h"
#include "detect/fileio_win32.h"
#include "detect/inspect_win32.h"
#include "detect/quarantine.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

// ---- opening what is about to be moved --------------------------------------

enum class OpenResult { Ok, Failed, Refused };

static bool same_file(const BY_HANDLE_FILE_INFORMATION& fi, const FileIdentity& id)
{
    return fi.dwVolumeSerialNumber == id.volume && fi.nFileIndexHigh == id.index_high &&
           fi.nFileIndexLow == id.index_low && fi.nFileSizeHigh == id.size_high &&
           fi.nFileSizeLow == id.size_low && CompareFileTime(&fi.ftLastWriteTime, &id.written) == 0;
}

// Opens `path` for moving or deleting without following a final reparse
// point, and checks that it is a plain file and, with an identity, the very
// file that was inspected. Refusals are logged here; Failed leaves the
// Windows error in *err.
static OpenResult open_inspected(const char* path, const FileIdentity* id, DWORD access,
                                 HandleHolder* out, DWORD* err)
{
    *err = 0;
    // No delete sharing: nobody else can rename or delete it while we hold it.
    out->reset(open_disk_file(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              FILE_FLAG_OPEN_REPARSE_POINT));
    // Wine refuses attribute writes on a read-only file to every Linux user
    // but root (the file has no write permission), yet clears the attributes
    // and deletes through a handle that can only read them. On Windows the
    // first open succeeds.
    if (!out->ok() && GetLastError() == ERROR_ACCESS_DENIED && (access & FILE_WRITE_ATTRIBUTES))
        out->reset(open_disk_file(path, (access & ~FILE_WRITE_ATTRIBUTES) | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  FILE_FLAG_OPEN_REPARSE_POINT));
    if (!out->ok()) {
        *err = GetLastError();
        return OpenResult::Failed;
    }
    BY_HANDLE_FILE_INFORMATION fi;
    if (!GetFileInformationByHandle(out->get(), &fi)) {
        *err = GetLastError();
        out->reset();
        return OpenResult::Failed;
    }
    if (fi.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
        log_msg("ERROR", "quarantine: refused, %s is a reparse point or a folder", path);
        out->reset();
        return OpenResult::Refused;
    }
    if (id != nullptr && id->valid && !same_file(fi, *id)) {
        log_msg("ERROR", "quarantine: refused, %s is no longer the file that was inspected", path);
        out->reset();
        return OpenResult::Refused;
    }
    return OpenResult::Ok;
}

// Read-only and system files cannot be deleted, so the attributes are
// cleared first (through the handle: the same file).
static void clear_attributes(HANDLE h)
{
    FILE_BASIC_INFO bi{};
    bi.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(h, FileBasicInfo, &bi, sizeof(bi));
}

static bool delete_by_handle(HANDLE h)
{
    FILE_DISPOSITION_INFO di{};
    di.DeleteFile = TRUE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &di, sizeof(di)) != 0;
}

// Renames the open file to `target` (full path). The NT form "\??\C:\..."
// is what the rename takes on every Windows version.
static bool rename_by_handle(HANDLE h, const char* target, DWORD* err)
{
    std::wstring nt = verbatim_path(target);
    if (nt.empty()) {
        *err = ERROR_NO_UNICODE_TRANSLATION;
        return false;
    }
    nt[1] = L'?'; // "\\?\C:\..." becomes "\??\C:\..."
    const int n = static_cast<int>(nt.size()) + 1;
    size_t bytes = sizeof(FILE_RENAME_INFO) + static_cast<size_t>(n) * sizeof(WCHAR);
    std::vector<unsigned char> buf(bytes, 0);
    FILE_RENAME_INFO* ri = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
    ri->ReplaceIfExists = FALSE;
    ri->RootDirectory = nullptr;
    memcpy(ri->FileName, nt.c_str(), static_cast<size_t>(n) * sizeof(WCHAR));
    ri->FileNameLength = static_cast<DWORD>((n - 1) * sizeof(WCHAR));
    if (SetFileInformationByHandle(h, FileRenameInfo, ri, static_cast<DWORD>(bytes)))
        return true;
    *err = GetLastError();
    return false;
}

// The move across volumes: copies the open file's bytes into a new `target`
// and deletes the original through the same handle. Either both happen or
// neither: a copy whose original cannot be removed is deleted again.
static bool copy_then_delete(HANDLE src, const char* target, DWORD* err)
{
    HandleHolder dst(CreateFileW(verbatim_path(target).c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!dst.ok()) {
        *err = GetLastError();
        return false;
    }
    LARGE_INTEGER zero{};
    bool ok = SetFilePointerEx(src, zero, nullptr, FILE_BEGIN) != 0;
    ReadBuffers b;
    read_buffers_take(&b);
    while (ok) {
        DWORD n = 0;
        if (!ReadFile(src, b.head, static_cast<DWORD>(b.head_size), &n, nullptr)) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        DWORD w = 0;
        if (!WriteFile(dst.get(), b.head, n, &w, nullptr) || w != n)
            ok = false;
    }
    read_buffers_give(&b);
    if (ok)
        ok = FlushFileBuffers(dst.get()) != 0;
    if (ok)
        ok = delete_by_handle(src);
    if (!ok)
        *err = GetLastError();
    dst.reset();
    if (!ok)
        DeleteFileW(verbatim_path(target).c_str());
    return ok;
}

// Opens the quarantine folder and keeps it open (without delete sharing,
// so it cannot be renamed or replaced meanwhile). A folder that is a
// reparse point would send quarantined files elsewhere: refused. Wine shows
// a symbolic link's reparse flag only on the path, not on the handle, so
// both are checked.
static bool open_quarantine_dir(HandleHolder* dir)
{
    const char* path = g_app.paths.quarantine_dir;
    dir->reset(CreateFileA(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!dir->ok()) {
        log_msg("ERROR", "quarantine: cannot open the quarantine folder %s (%lu)", path,
                GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION fi;
    DWORD attrs = GetFileAttributesA(path);
    if (!GetFileInformationByHandle(dir->get(), &fi) || attrs == INVALID_FILE_ATTRIBUTES ||
        !(attrs & FILE_ATTRIBUTE_DIRECTORY) || !(fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        ((attrs | fi.dwFileAttributes) & FILE_ATTRIBUTE_REPARSE_POINT)) {
        log_msg("ERROR",
                "quarantine: the quarantine folder %s is a reparse point or no folder; "
                "refusing to use it",
                path);
        dir->reset();
        return false;
    }
    return true;
}

// ---- quarantine.db ------------------------------------------------------------

// Reads quarantine.db: true with its bytes (empty when there is none);
// false when it exists but cannot be read, so that nothing is decided from
// a db that only looks empty.
static bool db_read(std::string* db)
{
    return file_read_existing(g_app.paths.quarantine_db, db) != FileRead::Unreadable;
}

// Caller holds the db lock.
static void db_remove_locked(long id)
{
    std::string db, next;
    if (!file_read_all(g_app.paths.quarantine_db, &db))
        return;
    if (quar_db_remove(db.data(), db.size(), id, &next) &&
        !file_replace_atomic(g_app.paths.quarantine_db, next))
        log_msg("ERROR", "quarantine: could not rewrite %s (%lu)", g_app.paths.quarantine_db,
                GetLastError());
}

void quarantine_db_remove(long id)
{
    FileLock lock(g_app.paths.quarantine_db);
    db_remove_locked(id);
}

// ---- quarantining ----------------------------------------------------------------

static void announce(const char* title, const char* threat, const char* path)
{
    char body[TG_PATH_SIZE + 256];
    bounded_format(body, sizeof(body), "%s\n%s", threat, path);
    notify_log_append(title, body);
}

static bool find_quar_file(long id, const char* original_path, char* out, size_t size);

static long move_to_quarantine(const char* path, const char* threat, const FileIdentity* id)
{
    if (!make_dir_path(g_app.paths.quarantine_dir)) {
        log_msg("ERROR", "quarantine: cannot create the quarantine folder %s (%lu)",
                g_app.paths.quarantine_dir, GetLastError());
        return -1;
    }
    HandleHolder dir;
    if (!open_quarantine_dir(&dir))
        return -1;
    HandleHolder file;
    DWORD err = 0;
    OpenResult r =
        open_inspected(path, id, DELETE | GENERIC_READ | FILE_WRITE_ATTRIBUTES, &file, &err);
    if (r == OpenResult::Refused)
        return -1;
    if (r == OpenResult::Failed) {
        log_msg("ERROR", "quarantine: cannot open %s (%lu)", path, err);
        return -1;
    }
    clear_attributes(file.get());

    long qid = 0;
    {
        // Id, record and move under one lock shared by every process.
        FileLock lock(g_app.paths.quarantine_db);
        std::string db;
        if (!db_read(&db)) {
            log_msg("ERROR", "quarantine: cannot read %s", g_app.paths.quarantine_db);
            return -1;
        }
        qid = quar_next_id(db.data(), db.size());
        char quar[TG_PATH_SIZE];
        // A .quar file whose record was lost (quarantine.db restored from a
        // backup, edited by hand) keeps its id: the next id with no file is
        // taken, and the orphan stays for the start-up check to report. Each
        // id passed over is a file of the folder, so this ends.
        while (qid < LONG_MAX && find_quar_file(qid, path, quar, sizeof(quar)))
            qid++;
        char record[TG_QUAR_RECORD_SIZE];
        if (!quar_file_name(quar, sizeof(quar), g_app.paths.quarantine_dir, qid, path) ||
            !quar_format_record(record, sizeof(record), qid, clock_now(), path, threat)) {
            log_msg("ERROR", "quarantine: path too long for the quarantine: %s", path);
            return -1;
        }
        // The record goes first: should the process die before the move,
        // the file is still in its place and quarantine_check reports the
        // record; were it the other way round, a file could sit in quarantine
        // with no record and its id be handed out again.
        std::string next = db;
        if (!next.empty() && next.back() != '\n')
            next.push_back('\n');
        next += record;
        if (!file_replace_atomic(g_app.paths.quarantine_db, next)) {
            log_msg("ERROR", "quarantine: cannot write %s (%lu)", g_app.paths.quarantine_db,
                    GetLastError());
            return -1;
        }
        DWORD move_err = 0, copy_err = 0;
        if (!rename_by_handle(file.get(), quar, &move_err) &&
            !copy_then_delete(file.get(), quar, &copy_err)) {
            log_msg("ERROR", "quarantine: cannot move %s (%lu) or copy it (%lu)", path, move_err,
                    copy_err);
            db_remove_locked(qid);
            return -1;
        }
        // Closing the handle ends a copy's delete before the lock goes.
        file.reset();
    }

    char id_text[32];
    bounded_format(id_text, sizeof(id_text), "%ld", qid);
    log_msg("DETECT", "QUARANTINED id=%ld threat=%s file=%s", qid, threat, path);
    report_event(TG_MSG_THREAT_QUARANTINED, TG_EVENT_WARNING, threat, path, id_text);
    counters_add_detected(1);
    announce("Threat quarantined", threat, path);
    return qid;
}

// The delete policy. Returns 1 deleted, 0 failed, -1 refused (not the
// inspected file: nothing else may be done to it either).
static int delete_inspected(const char* path, const FileIdentity* id, DWORD* err)
{
    HandleHolder file;
    OpenResult r = open_inspected(path, id, DELETE | FILE_WRITE_ATTRIBUTES, &file, err);
    if (r == OpenResult::Refused)
        return -1;
    if (r == OpenResult::Failed)
        return 0;
    clear_attributes(file.get());
    if (!delete_by_handle(file.get())) {
        *err = GetLastError();
        return 0;
    }
    return 1;
}

long quarantine_file_ex(const char* path, const char* threat, const FileIdentity* id)
{
    if (path == nullptr)
        return -1;
    if (threat == nullptr)
        threat = "";
    char action[64];
    config_get("quar_action", action, sizeof(action), "quarantine");
    if (quar_action_is_delete(action)) {
        DWORD err = 0;
        int r = delete_inspected(path, id, &err);
        if (r < 0)
            return -1;
        if (r > 0) {
            log_msg("INFO", "DELETED threat=%s file=%s (fleet policy: delete)", threat, path);
            report_event(TG_MSG_THREAT_QUARANTINED, TG_EVENT_WARNING, threat, path, "deleted");
            counters_add_detected(1);
            announce("Threat deleted", threat, path);
            return 0;
        }
        log_msg("ERROR", "delete failed, falling back to quarantine: %s", path);
    }
    return move_to_quarantine(path, threat, id);
}

long quarantine_file(const char* path, const char* threat)
{
    return quarantine_file_ex(path, threat, nullptr);
}

// ---- finding, restoring, deleting --------------------------------------------------

static bool is_plain_file(const char* path)
{
    DWORD a = GetFileAttributesW(verbatim_path(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// The .quar file of a record: the name quarantining gives it, or else any
// "<id>_*.quar" in the folder.
static bool find_quar_file(long id, const char* original_path, char* out, size_t size)
{
    if (quar_file_name(out, size, g_app.paths.quarantine_dir, id, original_path) &&
        is_plain_file(out))
        return true;
    char pattern[TG_PATH_SIZE];
    if (!quar_file_pattern(pattern, sizeof(pattern), g_app.paths.quarantine_dir, id))
        return false;
    WIN32_FIND_DATAA fd;
    FindHolder f(FindFirstFileA(pattern, &fd));
    if (!f.ok())
        return false;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        if (!path_join(out, size, g_app.paths.quarantine_dir, fd.cFileName))
            return true;
    } while (FindNextFileA(f.get(), &fd));
    return false;
}

static bool find_in(const std::string& db, long id, QuarRecord* rec, char* quar, size_t size)
{
    return quar_find(db.data(), db.size(), id, rec) && find_quar_file(id, rec->path, quar, size);
}

int quarantine_find(long id, char* original_path, char* threat, char* quar_file)
{
    std::string db;
    if (!file_read_all(g_app.paths.quarantine_db, &db))
        return 0;
    QuarRecord rec;
    char quar[TG_PATH_SIZE];
    if (!find_in(db, id, &rec, quar, sizeof(quar)))
        return 0;
    bounded_copy(original_path, rec.path, TG_PATH_SIZE);
    bounded_copy(threat, rec.threat, TG_QUAR_THREAT_MAX_CHARS + 1);
    bounded_copy(quar_file, quar, TG_PATH_SIZE);
    return 1;
}

static long id_of(const char* id_text)
{
    return id_text != nullptr ? quar_line_id(id_text, strlen(id_text)) : 0;
}

int quarantine_restore(const char* id_text)
{
    long id = id_of(id_text);
    FileLock lock(g_app.paths.quarantine_db);
    std::string db;
    file_read_all(g_app.paths.quarantine_db, &db);
    QuarRecord rec;
    char quar[TG_PATH_SIZE];
    if (!find_in(db, id, &rec, quar, sizeof(quar))) {
        console_print("No quarantined item with id %ld.\n", id);
        return 1;
    }
    HandleHolder dir;
    if (!open_quarantine_dir(&dir)) {
        console_print("Restore failed (%lu).\n", static_cast<unsigned long>(ERROR_ACCESS_DENIED));
        return 1;
    }
    char parent[TG_PATH_SIZE];
    bounded_copy(parent, rec.path, sizeof(parent));
    char* slash = strrchr(parent, '\\');
    if (slash != nullptr && slash != parent) {
        *slash = '\0';
        make_dir_path(parent);
    }
    // A file that has appeared at the original path since is replaced in
    // the same move, so that a failed move never costs it.
    const std::wstring from = verbatim_path(quar), to = verbatim_path(rec.path);
    if (is_plain_file(rec.path))
        SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!MoveFileExW(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
        DWORD err = GetLastError();
        console_print("Restore failed (%lu).\n", err);
        return 1;
    }
    db_remove_locked(id);
    log_msg("INFO", "restored quarantine id=%ld to %s", id, rec.path);
    console_print("Restored id %ld -> %s\n", id, rec.path);
    return 0;
}

int quarantine_delete(const char* id_text)
{
    long id = id_of(id_text);
    FileLock lock(g_app.paths.quarantine_db);
    std::string db;
    file_read_all(g_app.paths.quarantine_db, &db);
    QuarRecord rec;
    char quar[TG_PATH_SIZE];
    if (!find_in(db, id, &rec, quar, sizeof(quar))) {
        console_print("No quarantined item with id %ld.\n", id);
        return 1;
    }
    HandleHolder dir;
    if (!open_quarantine_dir(&dir)) {
        console_print("Delete failed (%lu).\n", static_cast<unsigned long>(ERROR_ACCESS_DENIED));
        return 1;
    }
    const std::wstring wquar = verbatim_path(quar);
    SetFileAttributesW(wquar.c_str(), FILE_ATTRIBUTE_NORMAL);
    // The record goes only with the file: a record without its file could
    // never be acted on again, a file without its record never be found.
    if (!DeleteFileW(wquar.c_str())) {
        DWORD err = GetLastError();
        log_msg("ERROR", "quarantine: could not delete %s (%lu)", quar, err);
        console_print("Delete failed (%lu).\n", err);
        return 1;
    }
    db_remove_locked(id);
    log_msg("INFO", "deleted quarantine id=%ld (%s)", id, rec.threat);
    console_print("Deleted quarantined item %ld.\n", id);
    return 0;
}

// ---- start-up check ------------------------------------------------------------------

void quarantine_check()
{
    FileLock lock(g_app.paths.quarantine_db);
    std::string db;
    file_read_all(g_app.paths.quarantine_db, &db);

    std::set<long> ids;
    for (size_t at = 0; at < db.size();) {
        size_t nl = db.find('\n', at);
        size_t end = nl == std::string::npos ? db.size() : nl;
        long id = quar_line_id(db.data() + at, std::min(end - at, TG_QUAR_LINE_MAX_CHARS));
        if (id > 0)
            ids.insert(id);
        at = end + 1;
    }

    DWORD attrs = GetFileAttributesA(g_app.paths.quarantine_dir);
    bool folder = attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
    if (folder && (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
        log_msg("WARN", "quarantine: the quarantine folder %s is a reparse point",
                g_app.paths.quarantine_dir);
        return;
    }

    for (long id : ids) {
        QuarRecord rec;
        char quar[TG_PATH_SIZE];
        if (!quar_find(db.data(), db.size(), id, &rec))
            continue;
        if (!find_quar_file(id, rec.path, quar, sizeof(quar)) && is_plain_file(rec.path))
            log_msg("WARN",
                    "quarantine: record %ld has no quarantined file and %s is still in "
                    "its place",
                    id, rec.path);
    }

    if (!folder)
        return;
    char pattern[TG_PATH_SIZE];
    if (path_join(pattern, sizeof(pattern), g_app.paths.quarantine_dir, "*.quar"))
        return;
    WIN32_FIND_DATAA fd;
    FindHolder f(FindFirstFileA(pattern, &fd));
    if (!f.ok())
        return;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        long id = quar_line_id(fd.cFileName, strlen(fd.cFileName));
        if (ids.count(id) == 0)
            log_msg("WARN", "quarantine: %s\\%s has no record in quarantine.db",
                    g_app.paths.quarantine_dir, fd.cFileName);
    } while (FindNextFileA(f.get(), &fd));
}
