// The detection engine's Win32 shell: hashing files, the one-open
// inspection, the quarantine store under its lock, and the refusals that
// keep a swapped file or folder from being moved.
#include "shell_test.h"

#include "common/handles.h"
#include "detect/exclusions_win32.h"
#include "detect/fileio_win32.h"
#include "detect/inspect_win32.h"
#include "detect/protected_path_win32.h"
#include "detect/quarantine.h"
#include "detect/quarantine_win32.h"
#include "detect/scan_win32.h"
#include "detect/sha256.h"
#include "detect/sha256_win32.h"
#include "detect/sigs.h"

#include <psapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <cstring>
#include <set>

namespace {

// The EICAR marker, built from pieces so that this source is no sample.
std::string eicar_marker()
{
    return std::string("EICAR-STANDARD-") + "ANTIVIRUS-TEST-FILE";
}

std::string hex_digest(const std::string& data)
{
    char out[65];
    sha256_hex(data.data(), data.size(), out);
    return out;
}

// Deterministic filler that is not all one byte.
std::string filler(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>('a' + (x >> 16) % 26);
    }
    return s;
}

std::string data_dir_in(const TempDir& dir)
{
    std::string data = dir.file("data");
    make_dir_path(data.c_str());
    use_data_dir(data);
    return data;
}

std::string logs_text()
{
    std::string all;
    WIN32_FIND_DATAA fd;
    std::string pattern = std::string(g_app.paths.logs_dir) + "\\*.log";
    FindHolder f(FindFirstFileA(pattern.c_str(), &fd));
    if (f.ok()) {
        do
            all += read_file(std::string(g_app.paths.logs_dir) + "\\" + fd.cFileName);
        while (FindNextFileA(f.get(), &fd));
    }
    return all;
}

bool exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int count_files(const std::string& pattern)
{
    int n = 0;
    WIN32_FIND_DATAA fd;
    FindHolder f(FindFirstFileA(pattern.c_str(), &fd));
    if (f.ok()) {
        do
            n += (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
        while (FindNextFileA(f.get(), &fd));
    }
    return n;
}

typedef char*(CDECL* UnixNameFn)(LPCWSTR);

// Wine's mapping of Windows paths to Linux ones; null on Windows.
UnixNameFn wine_unix_name()
{
    return reinterpret_cast<UnixNameFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
}

std::string unix_path(const std::string& win)
{
    std::wstring w(win.begin(), win.end());
    char* u = wine_unix_name()(w.c_str());
    std::string s = u != nullptr ? u : "";
    if (u != nullptr)
        HeapFree(GetProcessHeap(), 0, u);
    return s;
}

// Runs a Linux program under Wine (started by its Z: path) and waits until
// `done` holds: a Unix process gives no Windows handle to wait on.
bool run_unix(const std::string& cmd, bool (*done)(const std::string&), const std::string& arg)
{
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::vector<char> buf(cmd.begin(), cmd.end());
    buf.push_back('\0');
    if (!CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (int i = 0; i < 200 && !done(arg); i++)
        Sleep(25);
    return done(arg);
}

bool present(const std::string& p)
{
    return GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool absent(const std::string& p)
{
    return !present(p);
}

// Makes `link` a symbolic link to `target`. Under Wine CreateSymbolicLinkW
// is a stub that reports success and makes nothing (a Wine gap), so there
// the Linux ln is run instead.
bool make_symlink(const std::string& target, const std::string& link, bool folder)
{
    if (wine_unix_name() == nullptr)
        return CreateSymbolicLinkA(link.c_str(), target.c_str(),
                                   folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) &&
               present(link);
    std::string dir = link.substr(0, link.find_last_of('\\'));
    std::string name = link.substr(link.find_last_of('\\') + 1);
    return run_unix("Z:\\bin\\ln -s \"" + unix_path(target) + "\" \"" + unix_path(dir) + "/" +
                        name + "\"",
                    present, link);
}

// Removes a symbolic link made by make_symlink. Under Wine, RemoveDirectory
// and DeleteFile act on the link's target (another Wine gap), so rm does it.
void remove_symlink(const std::string& link)
{
    if (wine_unix_name() == nullptr) {
        if (!RemoveDirectoryA(link.c_str()))
            DeleteFileA(link.c_str());
        return;
    }
    std::string dir = link.substr(0, link.find_last_of('\\'));
    std::string name = link.substr(link.find_last_of('\\') + 1);
    run_unix("Z:\\bin\\rm -f \"" + unix_path(dir) + "/" + name + "\"", absent, link);
}

// Child: quarantines `count` new files named <tag>_<i>.exe in `folder`.
int quarantine_many(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    use_data_dir(argv[0]);
    for (int i = 0; i < atoi(argv[3]); i++) {
        std::string path = std::string(argv[1]) + "\\" + argv[2] + "_" + std::to_string(i) + ".exe";
        write_file(path, "sample " + path);
        if (quarantine_file(path.c_str(), "Test.Threat") <= 0)
            return 3;
    }
    return 0;
}
ChildRole quarantine_role("quarantine-many", quarantine_many);

// Child: stays alive for argv[0] milliseconds (a running program).
int sleeper(int argc, char** argv)
{
    Sleep(argc > 0 ? static_cast<DWORD>(atoi(argv[0])) : 5000);
    return 0;
}
ChildRole sleep_role("sleep", sleeper);

// Thread: serves one client of a named pipe with `data`, then hangs up.
struct PipeServe {
    HANDLE pipe;
    std::string data;
};

DWORD WINAPI serve_pipe(LPVOID arg)
{
    PipeServe* s = static_cast<PipeServe*>(arg);
    if (ConnectNamedPipe(s->pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
        DWORD n = 0;
        WriteFile(s->pipe, s->data.data(), static_cast<DWORD>(s->data.size()), &n, nullptr);
        FlushFileBuffers(s->pipe);
    }
    DisconnectNamedPipe(s->pipe);
    return 0;
}

} // namespace

TEST(Sha256File, KnownDigestsAndBlockBoundaries)
{
    TempDir dir;
    const std::string big = filler(3 * 1048576 + 7, 3); // past one pooled read block
    struct Case {
        std::string data;
        std::string hex;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {big, hex_digest(big)},
    };
    for (const Case& c : cases) {
        std::string path = dir.file("h.bin");
        write_file(path, c.data);
        char out[65];
        ASSERT_EQ(sha256_file(path.c_str(), out), 0);
        EXPECT_EQ(std::string(out), c.hex) << c.data.size() << " bytes";
    }
    char out[65];
    EXPECT_EQ(sha256_file(dir.file("missing.bin").c_str(), out), -1);
}

// A named pipe that would deliver a threat is refused unread: only files on
// disk are inspected (a device or a pipe could hold the scan for ever).
TEST(InspectFile, APipeIsRefusedUnread)
{
    static LONG serial = 0;
    std::string sig_data = "pipe-signature-sample-" + std::to_string(GetCurrentProcessId());
    ASSERT_EQ(sig_add(hex_digest(sig_data).c_str(), "Test.PipeSig"), 1);
    std::string api = "MZ" + std::string(64, '\0') + "VirtualAllocEx" + std::string(1, '\0') +
                      "WriteProcessMemory" + std::string(1, '\0') + "CreateRemoteThread";
    struct Case {
        const char* ext;
        std::string data;
        const char* threat;
    } cases[] = {
        {"exe", api, "HEUR:Suspicious.API(3)"}, // MZ and keywords from one read
        {"dat", sig_data, "Test.PipeSig"},      // digest from the same bytes
        {"txt", "xx" + eicar_marker(), "EICAR-Test-File"},
    };
    for (const Case& c : cases) {
        char name[128];
        snprintf(name, sizeof(name), "\\\\.\\pipe\\tgtest-%lu-%ld.%s", GetCurrentProcessId(),
                 InterlockedIncrement(&serial), c.ext);
        HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                       65536, 65536, 0, nullptr);
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
        PipeServe serve{pipe, c.data};
        HANDLE t = CreateThread(nullptr, 0, serve_pipe, &serve, 0, nullptr);
        ASSERT_NE(t, nullptr);
        char threat[160];
        EXPECT_EQ(inspect_file(name, threat, sizeof(threat)), -1) << c.ext << " " << c.threat;
        EXPECT_STREQ(threat, "");
        WaitForSingleObject(t, 10000);
        CloseHandle(t);
        CloseHandle(pipe);
    }
}

TEST(InspectFile, DigestCoversTheWholeFileBeyondTheHead)
{
    TempDir dir;
    std::string data = filler(2 * 1048576 + 100000, 7);
    std::string whole = "Test.Whole" + std::to_string(GetCurrentProcessId());
    std::string head_only = "Test.HeadOnly" + std::to_string(GetCurrentProcessId());
    ASSERT_EQ(sig_add(hex_digest(data.substr(0, 2 * 1048576)).c_str(), head_only.c_str()), 1);
    std::string path = dir.file("big.dat");
    write_file(path, data);
    char threat[160];
    EXPECT_EQ(inspect_file(path.c_str(), threat, sizeof(threat)), 0);
    ASSERT_EQ(sig_add(hex_digest(data).c_str(), whole.c_str()), 1);
    FileIdentity id;
    EXPECT_EQ(inspect_file_ex(path.c_str(), threat, sizeof(threat), &id), 1);
    EXPECT_EQ(threat, whole);
    EXPECT_EQ(id.valid, 1);
}

TEST(InspectFile, CannotOpenGivesMinusOneAndNoThreat)
{
    TempDir dir;
    std::string locked = dir.file("locked.exe");
    write_file(locked, "MZ" + eicar_marker());
    HandleHolder hold(
        CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(hold.ok());
    for (const std::string& path : {dir.file("missing.exe"), locked, dir.path}) {
        char threat[160] = "stale";
        FileIdentity id{};
        id.valid = 1;
        EXPECT_EQ(inspect_file_ex(path.c_str(), threat, sizeof(threat), &id), -1) << path;
        EXPECT_STREQ(threat, "");
        EXPECT_EQ(id.valid, 0);
    }
}

TEST(Quarantine, ThreeProcessesAtOnceLoseNothingAndShareNoId)
{
    TempDir dir;
    std::string data = data_dir_in(dir);
    std::string files = dir.file("files");
    CreateDirectoryA(files.c_str(), nullptr);
    const char* tags[3] = {"a", "b", "c"};
    HANDLE kids[3];
    for (int i = 0; i < 3; i++) {
        kids[i] = spawn_child("quarantine-many", {data, files, tags[i], "100"});
        ASSERT_NE(kids[i], nullptr);
    }
    for (HANDLE k : kids)
        EXPECT_EQ(wait_child(k, 300000), 0u);

    std::string db = read_file(g_app.paths.quarantine_db);
    std::set<long> ids;
    int lines = 0;
    for (size_t at = 0; at < db.size(); at = db.find('\n', at) + 1) {
        lines++;
        ids.insert(quar_line_id(db.data() + at, db.size() - at));
        if (db.find('\n', at) == std::string::npos)
            break;
    }
    EXPECT_EQ(lines, 300);
    EXPECT_EQ(ids.size(), 300u);
    EXPECT_EQ(*ids.begin(), 1);
    EXPECT_EQ(*ids.rbegin(), 300);
    EXPECT_EQ(count_files(std::string(g_app.paths.quarantine_dir) + "\\*.quar"), 300);
    EXPECT_EQ(count_files(files + "\\*"), 0);
    for (long id : ids) {
        char orig[1024], threat[128], quar[1024];
        ASSERT_EQ(quarantine_find(id, orig, threat, quar), 1) << id;
        EXPECT_STREQ(threat, "Test.Threat");
        // The bytes travelled with the name.
        EXPECT_EQ(read_file(quar), std::string("sample ") + orig);
    }
}

TEST(Quarantine, RestoreReplacesAReappearedFileAndDeleteKeepsARecordItCannotHonour)
{
    TempDir dir;
    data_dir_in(dir);
    std::string path = dir.file("x.exe");
    write_file(path, "original");
    long id = quarantine_file(path.c_str(), "Test.Threat");
    ASSERT_GT(id, 0);
    EXPECT_FALSE(exists(path));
    EXPECT_TRUE(exists(std::string(g_app.paths.quarantine_dir) + "\\" + std::to_string(id) +
                       "_x.exe.quar"));
    write_file(path, "reappeared");
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(quarantine_restore(std::to_string(id).c_str()), 0);
    EXPECT_EQ(read_file(path), "original");
    char orig[1024], threat[128], quar[1024];
    EXPECT_EQ(quarantine_find(id, orig, threat, quar), 0);
    EXPECT_EQ(quarantine_restore(std::to_string(id).c_str()), 1);

    // A .quar file held open without delete sharing cannot go: the record stays.
    long id2 = quarantine_file(path.c_str(), "Test.Threat");
    ASSERT_GT(id2, 0);
    ASSERT_EQ(quarantine_find(id2, orig, threat, quar), 1);
    {
        HandleHolder hold(
            CreateFileA(quar, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(hold.ok());
        EXPECT_EQ(quarantine_delete(std::to_string(id2).c_str()), 1);
        EXPECT_EQ(quarantine_find(id2, orig, threat, quar), 1);
    }
    EXPECT_EQ(quarantine_delete(std::to_string(id2).c_str()), 0);
    EXPECT_FALSE(exists(quar));
    EXPECT_EQ(read_file(g_app.paths.quarantine_db), "");
}

TEST(Quarantine, DeletePolicyDeletesAndFallsBackWhenTheDeleteFails)
{
    TempDir dir;
    data_dir_in(dir);
    ASSERT_TRUE(config_set("quar_action", "Delete"));
    std::string path = dir.file("gone.exe");
    write_file(path, "threat");
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(quarantine_file(path.c_str(), "Test.Threat"), 0);
    EXPECT_FALSE(exists(path));
    EXPECT_FALSE(exists(g_app.paths.quarantine_db));

    // A running program's image cannot be deleted, but it can be moved.
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof(self));
    std::string running = dir.file("running.exe");
    ASSERT_TRUE(CopyFileA(self, running.c_str(), FALSE));
    HANDLE child = start_command("\"" + running + "\" --child sleep 20000");
    ASSERT_NE(child, nullptr);
    Sleep(500);
    long id = quarantine_file(running.c_str(), "Test.Threat");
    TerminateProcess(child, 0);
    WaitForSingleObject(child, 10000);
    CloseHandle(child);
    EXPECT_GT(id, 0);
    EXPECT_FALSE(exists(running));
    EXPECT_NE(logs_text().find("delete failed, falling back to quarantine: " + running),
              std::string::npos);
    char orig[1024], threat[128], quar[1024];
    EXPECT_EQ(quarantine_find(id, orig, threat, quar), 1);
    EXPECT_EQ(orig, running);
}

// Between inspection and quarantine the inspected file is swapped for
// another: through a folder of its path replaced by a link, by the file
// itself replaced by a link, or by a new file under the same name (which
// Linux may give the very file index the old one had). Nothing
// may be moved then, and the other file stays untouched.
TEST(Quarantine, RefusesAFileSwappedAfterInspection)
{
    enum Swap { FolderLink, FileLink, NewFile };
    for (Swap swap : {FolderLink, FileLink, NewFile}) {
        SCOPED_TRACE(swap);
        TempDir dir;
        data_dir_in(dir);
        std::string box = dir.file("box"), victim_dir = dir.file("victim");
        CreateDirectoryA(box.c_str(), nullptr);
        CreateDirectoryA(victim_dir.c_str(), nullptr);
        std::string path = box + "\\x.exe", victim = victim_dir + "\\x.exe";
        write_file(path, "MZ" + eicar_marker());
        write_file(victim, "innocent");
        char threat[160];
        FileIdentity id;
        ASSERT_EQ(inspect_file_ex(path.c_str(), threat, sizeof(threat), &id), 1);
        ASSERT_EQ(id.valid, 1);

        if (swap == FolderLink) {
            ASSERT_TRUE(MoveFileA(box.c_str(), dir.file("box.real").c_str()));
            ASSERT_TRUE(make_symlink(victim_dir, box, true));
        } else if (swap == FileLink) {
            // Windows opens the link itself and refuses it as a reparse
            // point; Wine follows a final link to a file even so (a known
            // Wine gap) and the identity check refuses it.
            ASSERT_TRUE(DeleteFileA(path.c_str()));
            ASSERT_TRUE(make_symlink(victim, path, false));
        } else {
            ASSERT_TRUE(DeleteFileA(path.c_str()));
            write_file(path, "MZ" + eicar_marker());
        }
        EXPECT_EQ(quarantine_file_ex(path.c_str(), threat, &id), -1);
        EXPECT_EQ(read_file(victim), "innocent");
        EXPECT_EQ(count_files(std::string(g_app.paths.quarantine_dir) + "\\*"), 0);
        EXPECT_EQ(read_file(g_app.paths.quarantine_db), "");
        std::string log = logs_text();
        EXPECT_TRUE(log.find("no longer the file that was inspected") != std::string::npos ||
                    (swap == FileLink && log.find("is a reparse point") != std::string::npos))
            << log;
        // The unswapped file is still taken.
        if (swap == NewFile) {
            ASSERT_EQ(inspect_file_ex(path.c_str(), threat, sizeof(threat), &id), 1);
            EXPECT_EQ(quarantine_file_ex(path.c_str(), threat, &id), 1);
        }
        if (swap == FolderLink)
            remove_symlink(box);
        else if (swap == FileLink)
            remove_symlink(path);
    }
}

TEST(Quarantine, RefusesAQuarantineFolderThatIsAReparsePoint)
{
    TempDir dir;
    data_dir_in(dir);
    std::string elsewhere = dir.file("elsewhere");
    CreateDirectoryA(elsewhere.c_str(), nullptr);
    ASSERT_TRUE(make_symlink(elsewhere, g_app.paths.quarantine_dir, true));
    std::string path = dir.file("x.exe");
    write_file(path, "threat");
    EXPECT_EQ(quarantine_file(path.c_str(), "Test.Threat"), -1);
    EXPECT_EQ(read_file(path), "threat");
    EXPECT_EQ(count_files(elsewhere + "\\*"), 0);
    EXPECT_FALSE(exists(g_app.paths.quarantine_db));
    EXPECT_NE(logs_text().find("is a reparse point or no folder; refusing to use it"),
              std::string::npos);
    remove_symlink(g_app.paths.quarantine_dir);
}

TEST(Quarantine, CheckReportsRecordsWithoutFilesAndFilesWithoutRecords)
{
    TempDir dir;
    data_dir_in(dir);
    make_dir_path(g_app.paths.quarantine_dir);
    std::string still_here = dir.file("still.exe");
    write_file(still_here, "x");
    write_file(g_app.paths.quarantine_db, "5|2026-01-01 00:00:00|" + still_here + "|T\n" +
                                              "6|2026-01-01 00:00:00|" + dir.file("vanished.exe") +
                                              "|T\n" + "7|2026-01-01 00:00:00|" +
                                              dir.file("kept.exe") + "|T\n");
    write_file(std::string(g_app.paths.quarantine_dir) + "\\7_kept.exe.quar", "k");
    write_file(std::string(g_app.paths.quarantine_dir) + "\\9_orphan.exe.quar", "o");
    quarantine_check();
    std::string log = logs_text();
    EXPECT_NE(log.find("[WARN] quarantine: record 5 has no quarantined file and " + still_here),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("9_orphan.exe.quar has no record in quarantine.db"), std::string::npos);
    EXPECT_EQ(log.find("record 6"), std::string::npos); // gone everywhere: nothing to report
    EXPECT_EQ(log.find("record 7"), std::string::npos);
    EXPECT_EQ(log.find("7_kept"), std::string::npos);
}

// A heuristic verdict leaves files of the Windows and Program Files folders
// where they are, whatever name the path reaches them by; other verdicts
// and other folders are acted on.
TEST(KeptInPlace, HeuristicVerdictsUnderTheSystemFoldersByAnyName)
{
    char windows[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryA(windows, MAX_PATH), 0u);
    char programs[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, programs), S_OK);
    const std::string win_dir = std::string(windows) + "\\tgkept";
    const std::string pf_dir = std::string(programs) + "\\tgkept";
    ASSERT_TRUE(CreateDirectoryA(win_dir.c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(CreateDirectoryA(pf_dir.c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    const std::string win_file = win_dir + "\\some.dll";
    const std::string pf_file = pf_dir + "\\a long program name.exe";
    write_file(win_file, "MZ");
    write_file(pf_file, "MZ");
    TempDir other;
    write_file(other.file("x.dll"), "MZ");
    char short_pf[MAX_PATH];
    ASSERT_GT(GetShortPathNameA(pf_file.c_str(), short_pf, MAX_PATH), 0u);
    ASSERT_STRNE(short_pf, pf_file.c_str());
    char cwd[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, cwd), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(win_dir.c_str()));

    const std::string sys_why = std::string("the system folder ") + windows;
    const std::string pf_why = std::string("the programs folder ") + programs;
    struct Case {
        std::string path;
        const char* threat;
        const char* why; // null: acted on
    } cases[] = {
        {win_file, "HEUR:Suspicious.API(8)", sys_why.c_str()},
        {"some.dll", "HEUR:DisguisedExecutable", sys_why.c_str()}, // relative to the folder
        {short_pf, "HEUR:Suspicious.Script(2)", pf_why.c_str()},
        {win_file, "EICAR-Test-File", nullptr},
        {short_pf, "Trojan.Listed", nullptr},
        {other.file("x.dll"), "HEUR:Suspicious.API(3)", nullptr},
        {std::string(windows) + "apps\\x.dll", "HEUR:Suspicious.API(3)", nullptr},
    };
    for (const Case& c : cases) {
        char why[TG_KEPT_WHY_SIZE] = "x";
        EXPECT_EQ(heuristic_kept_in_place(c.path.c_str(), c.threat, why, sizeof(why)),
                  c.why != nullptr)
            << c.path << " " << c.threat;
        EXPECT_STREQ(why, c.why != nullptr ? c.why : "") << c.path;
    }
    SetCurrentDirectoryA(cwd);
    DeleteFileA(win_file.c_str());
    DeleteFileA(pf_file.c_str());
    RemoveDirectoryA(win_dir.c_str());
    RemoveDirectoryA(pf_dir.c_str());
}

// quarantine.db lost the records of files that are still in quarantine:
// their ids are passed over (the name the new file would get, or another
// name under the same id), the orphans stay, and the start-up check still
// names them.
TEST(Quarantine, OrphanedFilesKeepTheirIdsAndTheNextFreeOneIsTaken)
{
    TempDir dir;
    data_dir_in(dir);
    make_dir_path(g_app.paths.quarantine_dir);
    const std::string q = g_app.paths.quarantine_dir;
    write_file(q + "\\1_x.exe.quar", "orphan one");
    write_file(q + "\\2_other.exe.quar", "orphan two");
    std::string path = dir.file("x.exe");
    write_file(path, "threat");
    EXPECT_EQ(quarantine_file(path.c_str(), "Test.Threat"), 3);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(read_file(q + "\\3_x.exe.quar"), "threat");
    write_file(path, "again");
    EXPECT_EQ(quarantine_file(path.c_str(), "Test.Threat"), 4);
    EXPECT_EQ(read_file(q + "\\1_x.exe.quar"), "orphan one");
    EXPECT_EQ(read_file(q + "\\2_other.exe.quar"), "orphan two");
    quarantine_check();
    std::string log = logs_text();
    EXPECT_NE(log.find("1_x.exe.quar has no record in quarantine.db"), std::string::npos) << log;
    EXPECT_NE(log.find("2_other.exe.quar has no record in quarantine.db"), std::string::npos);
    EXPECT_EQ(log.find("3_x.exe.quar has no record"), std::string::npos);
}

namespace {

// A fleet report that hangs (a server that never answers) on its first call
// until released.
struct HangingReport {
    HANDLE entered, release;
    volatile LONG calls;
} g_hang;

void hanging_report(const char*, const char*)
{
    if (InterlockedIncrement(&g_hang.calls) == 1) {
        SetEvent(g_hang.entered);
        WaitForSingleObject(g_hang.release, 120000);
    }
}

DWORD WINAPI scan_one(LPVOID path)
{
    ScanStats s{};
    scan_file(static_cast<const char*>(path), &s, 1);
    return 0;
}

} // namespace

// While one detection's fleet report waits on the network, another thread's
// detection is logged, quarantined and reported; each one's lines stay
// together.
TEST(ScanFile, AHangingFleetReportHoldsUpNoOtherDetection)
{
    TempDir dir;
    data_dir_in(dir);
    std::string first = dir.file("first.exe"), second = dir.file("second.exe");
    write_file(first, "MZ" + eicar_marker());
    write_file(second, "MZ" + eicar_marker());
    const DetectSink saved = g_detect_sink;
    g_detect_sink.report_detection = hanging_report;
    g_detect_sink.alert_threat = nullptr;
    HandleHolder entered(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HandleHolder release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    g_hang = {entered.get(), release.get(), 0};

    HandleHolder a(
        CreateThread(nullptr, 0, scan_one, const_cast<char*>(first.c_str()), 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(entered.get(), 60000), WAIT_OBJECT_0);
    HandleHolder b(
        CreateThread(nullptr, 0, scan_one, const_cast<char*>(second.c_str()), 0, nullptr));
    // Not a measure of speed: a detection that waits behind the report never ends.
    EXPECT_EQ(WaitForSingleObject(b.get(), 30000), WAIT_OBJECT_0) << "held up by the report";
    EXPECT_EQ(g_hang.calls, 2);
    SetEvent(release.get());
    EXPECT_EQ(WaitForSingleObject(a.get(), 60000), WAIT_OBJECT_0);
    WaitForSingleObject(b.get(), 60000);
    g_detect_sink = saved;

    EXPECT_FALSE(exists(first));
    EXPECT_FALSE(exists(second));
    std::string log = logs_text();
    for (const std::string& path : {first, second}) {
        size_t at = log.find("[DETECT] DETECTED threat=EICAR-Test-File file=" + path + "\n");
        ASSERT_NE(at, std::string::npos) << log;
        size_t next = log.find('\n', at) + 1;
        std::string line = log.substr(next, log.find('\n', next) - next);
        EXPECT_NE(line.find("[DETECT] QUARANTINED id="), std::string::npos) << line;
        EXPECT_NE(line.find("file=" + path), std::string::npos) << line;
    }
}

TEST(ScanTree, CountsFilesSkipsAndExclusions)
{
    TempDir dir;
    data_dir_in(dir);
    std::string root = dir.file("root"), elsewhere = dir.file("elsewhere");
    CreateDirectoryA(root.c_str(), nullptr);
    CreateDirectoryA(elsewhere.c_str(), nullptr);
    write_file(root + "\\a.exe", "clean program");
    write_file(root + "\\b.txt", "MZ");
    write_file(elsewhere + "\\c.exe", "clean program");
    ASSERT_TRUE(make_symlink(elsewhere, root + "\\link", true));

    ScanStats s{};
    scan_tree(root.c_str(), &s, 0);
    EXPECT_EQ(s.files, 1);
    EXPECT_EQ(s.skipped, 2); // b.txt and the link
    EXPECT_EQ(s.errors, 0);

    ASSERT_TRUE(config_set("exclusions", (" " + root + "\\ ;").c_str()));
    exclusions_refresh();
    ScanStats x{};
    scan_tree(root.c_str(), &x, 0);
    EXPECT_EQ(x.files, 0);
    EXPECT_EQ(x.skipped, 1);
    ASSERT_TRUE(config_set("exclusions", ""));
    exclusions_refresh();

    volatile LONG stop = 1;
    ScanStats st{};
    st.stop = &stop;
    scan_tree(root.c_str(), &st, 0);
    EXPECT_EQ(st.files + st.skipped + st.errors, 0);

    ScanStats missing{};
    scan_tree(dir.file("missing").c_str(), &missing, 0);
    EXPECT_EQ(missing.errors, 1);
    remove_symlink(root + "\\link");
}

// The depth limit holds, and the first folder it leaves out is named once
// a scan, however many branches go deeper.
TEST(ScanTree, TheFirstFolderPastTheDepthLimitIsNamedOnceAScan)
{
    TempDir dir;
    data_dir_in(dir);
    std::string root = dir.file("deep");
    CreateDirectoryA(root.c_str(), nullptr);
    std::vector<std::string> past;
    for (const char* branch : {"a", "b"}) {
        std::string p = root + "\\" + branch;
        CreateDirectoryA(p.c_str(), nullptr);
        for (int depth = 2; depth <= 66; depth++) {
            p += "\\d";
            CreateDirectoryA(p.c_str(), nullptr);
            if (depth == 64)
                write_file(p + "\\at64.exe", "clean");
            if (depth == 65) {
                write_file(p + "\\at65.exe", "clean");
                past.push_back(p);
            }
        }
    }
    ScanStats s{};
    scan_tree(root.c_str(), &s, 0);
    EXPECT_EQ(s.files, 2);          // the two at64.exe
    scan_tree(root.c_str(), &s, 0); // the same scan goes on: no second line
    ScanStats again{};
    scan_tree(root.c_str(), &again, 0);
    std::string log = logs_text();
    const std::string warn =
        "[WARN] scan: folders more than 64 levels below the start are not scanned; the first "
        "left out: ";
    size_t first = log.find(warn);
    ASSERT_NE(first, std::string::npos) << log;
    std::string named =
        log.substr(first + warn.size(), log.find('\n', first) - first - warn.size());
    EXPECT_TRUE(named == past[0] || named == past[1]) << named;
    size_t second = log.find(warn, first + 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(log.find(warn, second + 1), std::string::npos);
}

namespace {

// Writes 64 KiB of stack a level, `levels` deep, and sums what it reads
// back (so that no write can be left out). *deepest: the lowest block's
// address.
unsigned deep_stack_write(int levels, uintptr_t* deepest)
{
    volatile unsigned char block[64 * 1024];
    for (size_t i = 0; i < sizeof(block); i += 512)
        block[i] = static_cast<unsigned char>((i >> 9) | 1);
    *deepest = reinterpret_cast<uintptr_t>(block);
    unsigned sum = 0;
    for (size_t i = 0; i < sizeof(block); i += 512)
        sum += block[i];
    return levels > 1 ? sum + deep_stack_write(levels - 1, deepest) : sum;
}

// Pages of [from, from + bytes) in the process's working set.
size_t resident_pages(uintptr_t from, size_t bytes)
{
    std::vector<PSAPI_WORKING_SET_EX_INFORMATION> info(bytes / 4096);
    for (size_t i = 0; i < info.size(); i++)
        info[i].VirtualAddress = reinterpret_cast<void*>(from + i * 4096);
    if (!QueryWorkingSetEx(GetCurrentProcess(), info.data(),
                           static_cast<DWORD>(info.size() * sizeof(info[0]))))
        return SIZE_MAX;
    size_t n = 0;
    for (const PSAPI_WORKING_SET_EX_INFORMATION& e : info)
        n += e.VirtualAttributes.Valid;
    return n;
}

struct StackTrimRun {
    size_t before = 0, after = 0;
    unsigned first = 0, again = 0;
    bool live_intact = false;
};

DWORD WINAPI stack_trim_thread(LPVOID arg)
{
    StackTrimRun* r = static_cast<StackTrimRun*>(arg);
    volatile unsigned char live[8192];
    for (size_t i = 0; i < sizeof(live); i++)
        live[i] = static_cast<unsigned char>(i * 7 + 1);
    uintptr_t deepest = 0;
    r->first = deep_stack_write(8, &deepest);
    // The two deepest levels: far below this frame.
    r->before = resident_pages(deepest, 128 * 1024);
    thread_stack_trim();
    r->after = resident_pages(deepest, 128 * 1024);
    r->again = deep_stack_write(8, &deepest); // the stack grows back into them
    bool intact = true;
    for (size_t i = 0; i < sizeof(live); i++)
        intact = intact && live[i] == static_cast<unsigned char>(i * 7 + 1);
    r->live_intact = intact;
    return 0;
}

} // namespace

// The pages a deep call wrote are given back; the frames still in use, and
// the stack's growing back into the pages given back, are untouched.
TEST(ThreadStack, TrimGivesBackDeepPagesAndKeepsLiveFrames)
{
    StackTrimRun r;
    HandleHolder t(CreateThread(nullptr, 2 * 1024 * 1024, stack_trim_thread, &r,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    ASSERT_TRUE(t.ok());
    ASSERT_EQ(WaitForSingleObject(t.get(), 60000), WAIT_OBJECT_0);
    EXPECT_EQ(r.before, 32u);
    // Wine drops the pages at once; Windows may keep them in the working
    // set until it needs the memory.
    if (wine_unix_name() != nullptr) {
        EXPECT_EQ(r.after, 0u);
    }
    EXPECT_EQ(r.again, r.first);
    EXPECT_TRUE(r.live_intact);
}

// However many threads inspect, the counts add up, each progress line comes
// once, and a detection's lines stay together.
TEST(ScanTree, VerboseProgressAndDetectionLinesUnderParallelInspection)
{
    TempDir dir;
    data_dir_in(dir);
    std::string root = dir.file("many");
    CreateDirectoryA(root.c_str(), nullptr);
    for (int i = 0; i < 4000; i++) {
        std::string sub = root + "\\" + std::to_string(i % 20);
        if (i < 20)
            CreateDirectoryA(sub.c_str(), nullptr);
        write_file(sub + "\\f" + std::to_string(i) + (i % 500 == 7 ? ".pdf.exe" : ".exe"), "x");
    }
    ScanStats s{};
    s.verbose = 1;
    scan_tree(root.c_str(), &s, 0);
    EXPECT_EQ(s.files, 4000);
    EXPECT_EQ(s.threats, 8);
    EXPECT_EQ(s.errors, 0);
    std::string log = logs_text();
    for (const char* line :
         {"[INFO] ... 2000 files scanned\n", "[INFO] ... 4000 files scanned\n"}) {
        size_t at = log.find(line);
        EXPECT_NE(at, std::string::npos) << line;
        EXPECT_EQ(log.find(line, at + 1), std::string::npos) << line;
    }
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = log.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(log.substr(at, nl - at));
    int detections = 0;
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].find("[DETECT] DETECTED threat=HEUR:DoubleExtension") == std::string::npos)
            continue;
        detections++;
        ASSERT_LT(i + 2, lines.size());
        EXPECT_NE(lines[i + 1].find("[DETECT] QUARANTINED id="), std::string::npos);
        EXPECT_NE(lines[i + 2].find("[INFO]  -> quarantined"), std::string::npos);
    }
    EXPECT_EQ(detections, 8);
    EXPECT_EQ(count_files(std::string(g_app.paths.quarantine_dir) + "\\*.quar"), 8);
}
