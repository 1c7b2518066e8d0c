#include "shell_test.h"

#include "common/handles.h"
#include "common/settings.h"
#include "frontdoor/commands_win32.h"

#include <cstdlib>
#include <cstring>

namespace {

// Child: writes `key`=1..count into the settings file at `path`.
int settings_writer(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    int count = atoi(argv[2]);
    for (int i = 1; i <= count; i++)
        if (!settings_write(argv[0], argv[1], std::to_string(i).c_str()))
            return 3;
    return 0;
}
ChildRole writer_role("settings-writer", settings_writer);

// Child: appends `count` alerts titled `tag` to the notification log at `path`.
int notify_writer(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    use_data_dir(argv[0]);
    for (int i = 0; i < atoi(argv[2]); i++)
        notify_log_append(argv[1], std::to_string(i).c_str());
    return 0;
}
ChildRole notify_role("notify-writer", notify_writer);

std::string get(const std::string& text, const char* key)
{
    char v[64];
    settings_get(text.data(), text.size(), key, v, sizeof(v), "<missing>");
    return v;
}

// Tallowguard.exe as TG_EXE names it; empty when it is not set. ctest passes
// the Linux path; Wine maps "/" paths through drive Z:.
std::string program_path()
{
    const char* exe = getenv("TG_EXE");
    if (exe == nullptr)
        return "";
    std::string path = std::string("Z:") + exe;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

} // namespace

TEST(SettingsFile, ConcurrentWritersLoseNothingAndReadersNeverSeeATornFile)
{
    TempDir dir;
    use_data_dir(dir.path);
    std::string path = dir.file("config.ini");
    // More lines than the 256 the format promises, all of which must survive.
    std::string original = "# Tallowguard configuration\n";
    for (int i = 0; i < 300; i++)
        original += "k" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    write_file(path, original);

    HANDLE kids[3];
    const char* keys[3] = {"alpha", "beta", "gamma"};
    for (int i = 0; i < 3; i++) {
        kids[i] = spawn_child("settings-writer", {path, keys[i], "200"});
        ASSERT_NE(kids[i], nullptr);
    }
    int reads = 0, bad = 0;
    while (WaitForMultipleObjects(3, kids, TRUE, 0) == WAIT_TIMEOUT) {
        std::string text;
        if (file_read_all(path.c_str(), &text)) {
            reads++;
            if (text.compare(0, original.size(), original) != 0 || text.back() != '\n')
                bad++;
        }
    }
    for (HANDLE k : kids)
        EXPECT_EQ(wait_child(k), 0u);
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";

    std::string text = read_file(path);
    EXPECT_EQ(text.compare(0, original.size(), original), 0);
    for (const char* k : keys)
        EXPECT_EQ(get(text, k), "200") << k;
    EXPECT_EQ(text.size(), original.size() + strlen("alpha=200\nbeta=200\ngamma=200\n"));
}

TEST(SettingsFile, MissingFileReadsDefaultsAndIsCreatedByAWrite)
{
    TempDir dir;
    use_data_dir(dir.path);
    char v[16];
    config_get("scan_time", v, sizeof(v), "02:00");
    EXPECT_STREQ(v, "02:00");
    ASSERT_TRUE(config_set("paused", "1"));
    EXPECT_EQ(read_file(dir.file("config.ini")), "paused=1\n");
    // A directory where the file should be is left alone.
    CreateDirectoryA(dir.file("stats.ini").c_str(), nullptr);
    EXPECT_FALSE(stats_set("scanned", "1"));
}

// A read that fails is no read, even after a part arrived: nothing is made
// of the part, and the settings writer leaves the file as it is. On Windows
// the read fails past the first megabyte, on a range another handle has
// locked. Wine does not hold byte-range locks against reads (a Wine gap), so
// there a Linux file whose every read fails (EINVAL) stands in.
TEST(SettingsFile, AFailedReadIsNoReadAndTheWriterLeavesTheFile)
{
    TempDir dir;
    use_data_dir(dir.path);
    const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    std::string path = dir.file("config.ini"), original;
    HandleHolder holder;
    OVERLAPPED at{};
    if (wine) {
        path = "Z:\\sys\\class\\net\\lo\\speed";
        ASSERT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    } else {
        original = "# Tallowguard configuration\n";
        for (int i = 0; original.size() < 1500 * 1024; i++)
            original += "k" + std::to_string(i) + "=" + std::to_string(i * 7) + "\n";
        write_file(path, original);
        holder.reset(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder.ok());
        at.Offset = 1200 * 1024;
        ASSERT_TRUE(LockFileEx(holder.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                               4096, 0, &at));
    }
    std::string text = "stale";
    EXPECT_FALSE(file_read_all(path.c_str(), &text));
    EXPECT_EQ(text, "");
    EXPECT_FALSE(settings_write(path.c_str(), "paused", "1"));
    if (!wine) {
        UnlockFileEx(holder.get(), 0, 4096, 0, &at);
        holder.reset();
        EXPECT_EQ(read_file(path), original);
    }
}

// Only a file that is not there may be started afresh by a writer.
TEST(SettingsFile, ReadExistingTellsMissingFromUnreadable)
{
    TempDir dir;
    write_file(dir.file("there.ini"), "a=1\n");
    write_file(dir.file("held.ini"), "a=1\n");
    HandleHolder held(CreateFileA(dir.file("held.ini").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.ok());
    CreateDirectoryA(dir.file("folder.ini").c_str(), nullptr);
    struct Case {
        std::string path;
        FileRead want;
        const char* text;
    } cases[] = {
        {dir.file("there.ini"), FileRead::Read, "a=1\n"},
        {dir.file("missing.ini"), FileRead::Missing, ""},
        {dir.file("no-folder\\missing.ini"), FileRead::Missing, ""},
        {dir.file("held.ini"), FileRead::Unreadable, ""},
        {dir.file("folder.ini"), FileRead::Unreadable, ""},
    };
    for (const Case& c : cases) {
        std::string text = "stale";
        EXPECT_EQ(file_read_existing(c.path.c_str(), &text), c.want) << c.path;
        EXPECT_EQ(text, c.text) << c.path;
    }
    // The writers act on it: the held file stays as it was.
    EXPECT_FALSE(settings_write(dir.file("held.ini").c_str(), "b", "2"));
    held.reset();
    EXPECT_EQ(read_file(dir.file("held.ini")), "a=1\n");
}

TEST(SettingsFile, DefaultConfigurationOnlyWhenMissing)
{
    TempDir dir;
    use_data_dir(dir.path);
    config_write_default();
    EXPECT_EQ(read_file(dir.file("config.ini")),
              "# Tallowguard configuration\nrealtime=1\nscan_interval_hours=6\nquarantine=1\n");
    write_file(dir.file("config.ini"), "mine=1\n");
    config_write_default();
    EXPECT_EQ(read_file(dir.file("config.ini")), "mine=1\n");
}

TEST(Counters, SavesAddThisProcessIncrementsToTheFile)
{
    TempDir dir;
    use_data_dir(dir.path);
    write_file(dir.file("stats.ini"), "scanned=10\ndetected=1\nlast_full=x\n");
    counters_load();
    counters_add_scanned(5);
    counters_add_detected(2);
    EXPECT_EQ(counters_scanned(), 15);
    // Another run saved its own scan meanwhile.
    write_file(dir.file("stats.ini"), "scanned=100\ndetected=4\nlast_full=x\n");
    counters_save();
    EXPECT_EQ(read_file(dir.file("stats.ini")), "scanned=105\ndetected=6\nlast_full=x\n");
    counters_save(); // nothing new: nothing added twice
    EXPECT_EQ(read_file(dir.file("stats.ini")), "scanned=105\ndetected=6\nlast_full=x\n");
}

// A damaged file's negative count is taken as 0: the scans that follow
// count again instead of leaving it where it was.
TEST(Counters, ANegativeStoredCountStartsAgainFromZero)
{
    TempDir dir;
    use_data_dir(dir.path);
    write_file(dir.file("stats.ini"), "scanned=-5\ndetected=-2147483648\n");
    counters_load();
    EXPECT_EQ(counters_scanned(), 0);
    counters_add_scanned(3);
    counters_add_detected(1);
    EXPECT_EQ(counters_scanned(), 3);
    counters_save();
    EXPECT_EQ(read_file(dir.file("stats.ini")), "scanned=3\ndetected=1\n");
    EXPECT_EQ(counters_scanned(), 3);
    EXPECT_EQ(counters_detected(), 1);
}

namespace {
LocalTime g_fake;
void fake_clock(LocalTime* t)
{
    *t = g_fake;
}
} // namespace

TEST(Log, MidnightStartsANewFileAndAMissingFolderIsRecreated)
{
    TempDir dir;
    use_data_dir(dir.path);
    clock_set_override(fake_clock);
    g_fake = LocalTime{2026, 12, 31, 23, 59, 59, 4};
    log_msg("INFO", "engine: before %s", "midnight");
    g_fake = LocalTime{2027, 1, 1, 0, 0, 0, 5};
    log_msg("DETECT", "engine: after %d", 12);
    EXPECT_EQ(read_file(dir.file("logs\\tallowguard-2026-12-31.log")),
              "[2026-12-31 23:59:59] [INFO] engine: before midnight\n");
    EXPECT_EQ(read_file(dir.file("logs\\tallowguard-2027-01-01.log")),
              "[2027-01-01 00:00:00] [DETECT] engine: after 12\n");

    DeleteFileA(dir.file("logs\\tallowguard-2026-12-31.log").c_str());
    DeleteFileA(dir.file("logs\\tallowguard-2027-01-01.log").c_str());
    ASSERT_TRUE(RemoveDirectoryA(dir.file("logs").c_str()));
    log_msg("WARN", "%s", std::string(5000, 'x').c_str());
    std::string line = read_file(dir.file("logs\\tallowguard-2027-01-01.log"));
    EXPECT_EQ(line.size(), strlen("[2027-01-01 00:00:00] [WARN] ") + 4095 + 1);
    EXPECT_EQ(line.back(), '\n');
    clock_set_override(nullptr);
}

TEST(NotifyLogFile, KeepsNewestAndLosesNoConcurrentAlert)
{
    TempDir dir;
    use_data_dir(dir.path);
    std::string old;
    for (int i = 0; i < 30; i++)
        old += "2026-01-01 00:00:00\tt\tline" + std::to_string(i) + "\n";
    write_file(dir.file("notify.log"), old);
    notify_log_append("Threat quarantined", "EICAR-Test-File\nC:\\x\\y.exe");
    std::string text = read_file(dir.file("notify.log"));
    EXPECT_EQ(text.find("line5\n"), std::string::npos);
    EXPECT_NE(text.find("line6\n"), std::string::npos);
    EXPECT_NE(text.find("\tThreat quarantined\tEICAR-Test-File\\nC:\\\\x\\\\y.exe\n"),
              std::string::npos);

    DeleteFileA(dir.file("notify.log").c_str());
    HANDLE kids[3];
    const char* tags[3] = {"A", "B", "C"};
    for (int i = 0; i < 3; i++)
        kids[i] = spawn_child("notify-writer", {dir.path, tags[i], "8"});
    for (HANDLE k : kids)
        EXPECT_EQ(wait_child(k), 0u);
    text = read_file(dir.file("notify.log"));
    for (const char* t : tags)
        for (int i = 0; i < 8; i++)
            EXPECT_NE(text.find(std::string("\t") + t + "\t" + std::to_string(i) + "\n"),
                      std::string::npos)
                << t << i;
}

TEST(EventLog, MessageTableHoldsEveryEventText)
{
    std::string path = program_path();
    ASSERT_FALSE(path.empty()) << "TG_EXE names Tallowguard.exe";
    HMODULE mod = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(mod, nullptr) << GetLastError();
    struct Msg {
        DWORD id;
        const wchar_t* text;
    } msgs[] = {
        {0x4FFF0001, L"The Tallowguard protection service started (version %1).\n"},
        {0x4FFF0002, L"The Tallowguard protection service stopped.\n"},
        {0x4FFF00C8, L"Tallowguard updated: %1\n"},
        {0x4FFF00C9,
         L"Tallowguard signature database updated to version %1 (%2 signatures loaded).\n"},
        {0x4FFF0190, L"Tallowguard %1 scan completed: %2 files scanned, %3 threats found.\n"},
        {0x8FFF0064, L"Threat detected: %1\nFile: %2\n"},
        {0x8FFF0065, L"Threat quarantined: %1\nOriginal path: %2\nQuarantine ID: %3\n"},
        {0xCFFF012D, L"Tallowguard real-time protection paused: %1\n"},
    };
    for (const Msg& m : msgs) {
        wchar_t buf[512] = {0};
        DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, mod,
                                 m.id, 0, buf, 512, nullptr);
        EXPECT_GT(n, 0u) << std::hex << m.id;
        // The table stores each line end as LF; FormatMessage hands them out
        // as CRLF.
        std::wstring got(buf);
        for (size_t p; (p = got.find(L"\r\n")) != std::wstring::npos;)
            got.erase(p, 1);
        EXPECT_EQ(got, std::wstring(m.text)) << std::hex << m.id;
    }
    FreeLibrary(mod);
}

TEST(EventLog, SourceRegistration)
{
    TempDir dir;
    use_data_dir(dir.path);
    register_event_source("C:\\Program Files\\Tallowguard\\Tallowguard.exe");
    HKEY key;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                      "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tallowguard", 0,
                      KEY_READ, &key),
        ERROR_SUCCESS);
    char file[MAX_PATH];
    DWORD size = sizeof(file), type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "EventMessageFile", nullptr, &type,
                               reinterpret_cast<BYTE*>(file), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_STREQ(file, "C:\\Program Files\\Tallowguard\\Tallowguard.exe");
    DWORD types = 0;
    size = sizeof(types);
    EXPECT_EQ(RegQueryValueExA(key, "TypesSupported", nullptr, &type,
                               reinterpret_cast<BYTE*>(&types), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);
    RegCloseKey(key);
    // Reports go nowhere under Wine but must not fail or crash.
    report_event(0x8FFF0065, 2, "EICAR-Test-File", nullptr, "7");
}

// Only a mutex this process created itself lets the protection loop run.
// The name held by another kind of object (CreateMutex then fails with
// ERROR_INVALID_HANDLE) stands for a mutex this account may not open: Wine
// does not enforce access rights, so the access-denied case cannot be made
// here.
TEST(SingleInstance, RunsOnlyWhenItCreatedTheMutex)
{
    char name[96];
    snprintf(name, sizeof(name), "Local\\tgtest_instance_%lu", GetCurrentProcessId());
    HANDLE first = nullptr, second = nullptr;
    DWORD err = 0;
    EXPECT_EQ(instance_claim(name, &first, &err), InstanceClaim::First);
    HandleHolder hold_first(first);
    EXPECT_EQ(instance_claim(name, &second, &err), InstanceClaim::Running);
    HandleHolder hold_second(second);
    EXPECT_EQ(err, static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    char other[96];
    snprintf(other, sizeof(other), "Local\\tgtest_instance_event_%lu", GetCurrentProcessId());
    HandleHolder event(CreateEventA(nullptr, TRUE, FALSE, other));
    ASSERT_TRUE(event.ok());
    HANDLE none = nullptr;
    EXPECT_EQ(instance_claim(other, &none, &err), InstanceClaim::Unverified);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(err, static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // The program run by hand refuses to start its loop beside the name it
    // cannot check (before, it ran a second engine).
    std::string exe = program_path();
    ASSERT_FALSE(exe.empty()) << "TG_EXE names Tallowguard.exe";
    HandleHolder taken(CreateEventA(nullptr, TRUE, FALSE, "Global\\Tallowguard_Instance_Mutex"));
    ASSERT_TRUE(taken.ok());
    HandleHolder proc(start_command("\"" + exe + "\" --service"));
    ASSERT_TRUE(proc.ok());
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(proc.get(), 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(proc.get(), &code);
    else
        TerminateProcess(proc.get(), 99); // a second engine: the fault
    EXPECT_EQ(code, 1u);
}
