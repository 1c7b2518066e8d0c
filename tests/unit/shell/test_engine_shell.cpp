// The protection engine's shell: the real loop run in this process with
// shrunken waits, a fake clock and recorded scans; the service control
// handler; remote commands; the realtime watchers on a temporary folder; the
// tamper PIN against config.ini.
#include "shell_test.h"

#include "common/handles.h"
#include "common/limits.h"
#include "common/localtime.h"
#include "detect/scan_win32.h"
#include "engine/actions_win32.h"
#include "engine/control_win32.h"
#include "engine/engine_win32.h"
#include "engine/pin.h"
#include "engine/pin_win32.h"
#include "engine/watcher_win32.h"
#include "frontdoor/wiring_win32.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

// ---- fake clock ---------------------------------------------------------------
volatile LONG g_ticks = 0;
SRWLOCK g_now_lock = SRWLOCK_INIT;
LocalTime g_now = {2025, 1, 8, 10, 0, 0, 3}; // a Wednesday

uint32_t fake_ticks()
{
    return static_cast<uint32_t>(InterlockedCompareExchange(&g_ticks, 0, 0));
}

void set_ticks(uint32_t v)
{
    InterlockedExchange(&g_ticks, static_cast<LONG>(v));
}

LocalTime fake_now()
{
    AcquireSRWLockShared(&g_now_lock);
    LocalTime t = g_now;
    ReleaseSRWLockShared(&g_now_lock);
    return t;
}

void set_now(int y, int mo, int d, int h, int mi)
{
    AcquireSRWLockExclusive(&g_now_lock);
    g_now = LocalTime{y, mo, d, h, mi, 0, 0};
    ReleaseSRWLockExclusive(&g_now_lock);
}

// ---- recorded work -------------------------------------------------------------------
struct Recorder {
    volatile LONG quick, full, reg, heartbeat, update, feed, watchers, rtp;
    volatile LONG stop_pointer_bad; // a scan was given anything but the stop flag
    volatile LONG scanning;         // inside a scan hook
    bool scan_until_stop;           // the quick scan runs until it sees the stop flag
    long scan_files_seen;           // files that scan counted before it stopped
    int update_result;
    SRWLOCK lock;
    std::deque<std::string> commands;
};
Recorder* g_rec = nullptr;

void check_stop_pointer(ScanStats* st)
{
    if (st->stop != &g_engine.stop || st->files != 0 || st->threats != 0 || st->verbose != 0)
        InterlockedIncrement(&g_rec->stop_pointer_bad);
}

void rec_quick(ScanStats* st)
{
    check_stop_pointer(st);
    InterlockedIncrement(&g_rec->quick);
    if (g_rec->scan_until_stop) {
        InterlockedExchange(&g_rec->scanning, 1);
        // One "file" every few ms, as a scan driver would go, checking the
        // flag before each; bounded so a broken stop cannot hang the test.
        for (int i = 0; i < 20000 && *st->stop == 0; i++) {
            st->files++;
            Sleep(2);
        }
        g_rec->scan_files_seen = st->files;
        InterlockedExchange(&g_rec->scanning, 0);
        return;
    }
    st->files = 3;
    st->threats = 1;
}

void rec_full(ScanStats* st)
{
    check_stop_pointer(st);
    InterlockedIncrement(&g_rec->full);
    st->files = 5;
}

int rec_register()
{
    InterlockedIncrement(&g_rec->reg);
    return 1;
}

int rec_heartbeat()
{
    InterlockedIncrement(&g_rec->heartbeat);
    return 1;
}

int rec_pop(char* dest, size_t size)
{
    AcquireSRWLockExclusive(&g_rec->lock);
    bool have = !g_rec->commands.empty();
    if (have) {
        bounded_copy(dest, g_rec->commands.front().c_str(), size);
        g_rec->commands.pop_front();
    }
    ReleaseSRWLockExclusive(&g_rec->lock);
    return have ? 1 : 0;
}

int rec_update()
{
    InterlockedIncrement(&g_rec->update);
    return g_rec->update_result;
}

int rec_feed()
{
    InterlockedIncrement(&g_rec->feed);
    return 0;
}

void rec_watchers()
{
    InterlockedIncrement(&g_rec->watchers);
}

void rec_rtp()
{
    InterlockedIncrement(&g_rec->rtp);
}

// One fake hour is 1000 fake ticks, one fake minute 100: the periods stay
// far apart and the 32-bit arithmetic is the shipped one.
const uint32_t kHour = 1000;
const uint32_t kMinute = 100;

EngineConfig test_config()
{
    EngineConfig c = engine_defaults(false);
    c.timings.tick_wait_ms = 5;
    c.timings.startup_sleep_ms = 0;
    c.timings.catch_up_wait_ms = 30;
    c.timings.feed_startup_wait_ms = 0;
    c.timings.settle_pause_ms = 100;
    c.timings.settle_retry_ms = 50;
    c.timings.watcher_error_sleep_ms = 50;
    c.timings.hour_ms = kHour;
    c.timings.minute_ms = kMinute;
    c.clock.ticks = fake_ticks;
    c.clock.local_time = fake_now;
    c.hooks.quick_scan = rec_quick;
    c.hooks.full_scan = rec_full;
    c.hooks.cloud_register = rec_register;
    c.hooks.cloud_heartbeat = rec_heartbeat;
    c.hooks.cloud_pop_command = rec_pop;
    c.hooks.cloud_check_update = rec_update;
    c.hooks.feed_sync = rec_feed;
    c.hooks.watchers_start = rec_watchers;
    c.hooks.advanced_rtp_start = rec_rtp;
    return c;
}

template <typename Pred> bool wait_until(Pred pred, DWORD timeout_ms = 20000)
{
    DWORD start = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - start > timeout_ms)
            return pred();
        Sleep(2);
    }
    return true;
}

std::string all_logs(const TempDir& dir)
{
    std::string out;
    WIN32_FIND_DATAA fd;
    std::string logs = dir.file("logs");
    HANDLE h = FindFirstFileA((logs + "\\*.log").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return out;
    std::vector<std::string> names;
    do {
        names.push_back(fd.cFileName);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names)
        out += read_file(logs + "\\" + n);
    return out;
}

size_t count_of(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        n++;
    return n;
}

DWORD WINAPI run_engine_thread(LPVOID)
{
    engine_run();
    return 0;
}

// A data directory, a recorder and the engine loop on a thread of its own.
struct EngineFixture : testing::Test {
    TempDir dir;
    Recorder rec{};
    HANDLE thread = nullptr;

    void SetUp() override
    {
        use_data_dir(dir.path);
        InitializeSRWLock(&rec.lock);
        g_rec = &rec;
        set_ticks(0);
        set_now(2025, 1, 8, 10, 0);
    }

    void TearDown() override
    {
        stop();
        g_rec = nullptr;
    }

    // Replaced in one move, as the settings writer does: the loop reads the
    // file every tick and must never see it half written.
    void config(const std::string& text)
    {
        ASSERT_TRUE(file_replace_atomic(dir.file("config.ini").c_str(), text));
    }

    void start(EngineConfig c = test_config())
    {
        engine_setup(c);
        thread = CreateThread(nullptr, 0, run_engine_thread, nullptr, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        ASSERT_TRUE(wait_until([] { return g_engine.startup_done != 0; }));
    }

    // Waits until the loop has completed `n` more rounds.
    void rounds(int n)
    {
        LONG target = g_engine.loop_ticks + n;
        ASSERT_TRUE(wait_until([&] { return g_engine.loop_ticks >= target; }));
    }

    // True when the loop thread ended within `ms`.
    bool stop(DWORD ms = 20000)
    {
        if (thread == nullptr)
            return true;
        engine_request_stop();
        bool ended = WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
        CloseHandle(thread);
        thread = nullptr;
        // The watchers must be gone before the next run re-arms the engine.
        return engine_wait_watchers(ms) && ended;
    }

    std::string logs() const { return all_logs(dir); }
    std::string notify() const { return read_file(dir.file("notify.log")); }
    std::string scans() const { return read_file(dir.file("scans.log")); }
    std::string stats() const { return read_file(dir.file("stats.ini")); }
};

using EngineLoop = EngineFixture;
using ServiceControl = EngineFixture;
using RemoteCommands = EngineFixture;
using ScheduledScans = EngineFixture;
using TamperPin = EngineFixture;

} // namespace

// ---- the loop ------------------------------------------------------------------------------

TEST_F(EngineLoop, StartupRunsEveryStepAndTheStartupScan)
{
    config("server_url=\n");
    // A stop event left signalled by an earlier stop must not end this run.
    HandleHolder old(CreateEventA(nullptr, TRUE, TRUE, "Global\\Tallowguard_Stop_Event"));
    start();
    rounds(3);
    EXPECT_EQ(rec.reg, 1);
    EXPECT_EQ(rec.watchers, 1);
    EXPECT_EQ(rec.rtp, 1);
    EXPECT_EQ(rec.quick, 1);
    EXPECT_EQ(rec.heartbeat, 1);
    EXPECT_TRUE(wait_until([&] { return rec.feed == 1; }));
    EXPECT_EQ(rec.stop_pointer_bad, 0);
    EXPECT_EQ(rec.full, 0);

    std::string log = logs();
    char started[96];
    snprintf(started, sizeof(started), "[INFO] Tallowguard 1.4.4 service started (pid %lu)\n",
             GetCurrentProcessId());
    EXPECT_NE(log.find(started), std::string::npos) << log;
    EXPECT_NE(log.find("[INFO] service: initial quick scan\n"), std::string::npos);
    EXPECT_NE(log.find("[INFO] service: initial quick scan done (3 files, 1 threats)\n"),
              std::string::npos);

    char active[128];
    snprintf(active, sizeof(active),
             "\tTallowguard protection is active\t%d threat signatures loaded - realtime "
             "monitoring on\n",
             engine_signature_count());
    std::string n = notify();
    EXPECT_NE(n.find(active), std::string::npos) << n;
    EXPECT_NE(n.find("\tStartup scan complete\t3 files scanned - 1 threat found\n"),
              std::string::npos)
        << n;
    EXPECT_LT(n.find("protection is active"), n.find("Startup scan complete"));
    std::string s = scans();
    EXPECT_NE(s.find("|quick|0|3|1\n"), std::string::npos) << s;

    ASSERT_TRUE(stop());
    EXPECT_NE(logs().find("[INFO] service stopped\n"), std::string::npos);
}

TEST_F(EngineLoop, PausedAtStartSkipsScansButFleetDutiesGoOn)
{
    config("paused=1\n");
    start();
    EXPECT_EQ(rec.quick, 0);
    EXPECT_EQ(rec.heartbeat, 1); // the first heartbeat is sent anyway
    LONG feed = rec.feed, update = rec.update;
    set_ticks(168 * kHour);
    rounds(3);
    EXPECT_EQ(rec.quick, 0);
    EXPECT_EQ(rec.heartbeat, 2);
    EXPECT_GT(rec.feed, feed);
    EXPECT_EQ(rec.update, update + 1);
    EXPECT_EQ(logs().find("initial quick scan"), std::string::npos);
}

// Each duty fires at its clamped period and not a tick before, counted from
// a start just below the 32-bit wrap so that every period crosses it.
TEST_F(EngineLoop, PeriodsFollowClampedSettingsAcrossTheTickWrap)
{
    enum Duty { Heartbeat, Feed, Update, Quick };
    struct Case {
        const char* setting;
        uint32_t period;
        Duty duty;
    } cases[] = {
        {"heartbeat_minutes=1", 5 * kMinute, Heartbeat},
        {"heartbeat_minutes=0", 5 * kMinute, Heartbeat},
        {"heartbeat_minutes=soon", 5 * kMinute, Heartbeat},
        {"heartbeat_minutes=7", 7 * kMinute, Heartbeat},
        {"heartbeat_minutes=100000", 1440 * kMinute, Heartbeat},
        {"feed_refresh_hours=48", 24 * kHour, Feed},
        {"feed_refresh_hours=-3", 1 * kHour, Feed},
        {"update_interval_hours=500", 168 * kHour, Update},
        {"scan_interval_hours=0", 1 * kHour, Quick},
        {"scan_interval_hours=200", 168 * kHour, Quick},
    };
    // Every other period is pushed out of the way.
    const char* others = "heartbeat_minutes=1440\nfeed_refresh_hours=24\n"
                         "update_interval_hours=168\nscan_interval_hours=168\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting);
        config(std::string(c.setting) + "\n" + others);
        const uint32_t base = 0xFFFFFFFFu - 50;
        set_ticks(base);
        start();
        volatile LONG* counter = c.duty == Heartbeat ? &rec.heartbeat
                                 : c.duty == Feed    ? &rec.feed
                                 : c.duty == Update  ? &rec.update
                                                     : &rec.quick;
        ASSERT_TRUE(wait_until([&] { return rec.feed >= 1; })); // the start-up sync is done
        LONG before = *counter;
        set_ticks(base + c.period - 1);
        rounds(3);
        EXPECT_EQ(*counter, before);
        set_ticks(base + c.period);
        rounds(2);
        EXPECT_EQ(*counter, before + 1);
        ASSERT_TRUE(stop());
        rec.heartbeat = rec.feed = rec.update = rec.quick = 0;
    }
}

TEST_F(EngineLoop, PeriodicQuickScanLeavesItsTraces)
{
    config("scan_interval_hours=2\n");
    start();
    set_ticks(2 * kHour);
    ASSERT_TRUE(wait_until([&] { return rec.quick == 2; }));
    rounds(2);
    std::string log = logs();
    EXPECT_NE(log.find("[INFO] service: scheduled quick scan\n"), std::string::npos);
    EXPECT_NE(log.find("[INFO] service: scheduled scan done (3 files, 1 threats)\n"),
              std::string::npos);
    EXPECT_NE(scans().find("|scheduled|0|3|1\n"), std::string::npos);
    EXPECT_NE(notify().find("\tScheduled scan complete\t3 files scanned - 1 threat found\n"),
              std::string::npos);
    // Measured from when it last ran: nothing more until two hours later.
    set_ticks(4 * kHour - 1);
    rounds(3);
    EXPECT_EQ(rec.quick, 2);
    set_ticks(4 * kHour);
    EXPECT_TRUE(wait_until([&] { return rec.quick == 3; }));
}

TEST_F(EngineLoop, PauseAndResumeAreLoggedOnceAndStopScans)
{
    config("scan_interval_hours=1\n");
    start();
    config("scan_interval_hours=1\npaused=1\n");
    rounds(4);
    set_ticks(5 * kHour);
    rounds(4);
    EXPECT_EQ(rec.quick, 1); // only the start-up scan
    config("scan_interval_hours=1\npaused=0\n");
    ASSERT_TRUE(wait_until([&] { return rec.quick == 2; }));
    rounds(3);
    std::string log = logs();
    EXPECT_EQ(count_of(log, "[INFO] service: protection paused, paused by user\n"), 1u) << log;
    EXPECT_EQ(count_of(log, "[INFO] service: protection resumed\n"), 1u) << log;
    EXPECT_LT(log.find("protection paused"), log.find("protection resumed"));
}

TEST_F(EngineLoop, SetPausedWritesTheKeyAndLogs)
{
    engine_setup(test_config());
    engine_set_paused(true);
    EXPECT_TRUE(engine_is_paused());
    EXPECT_NE(read_file(dir.file("config.ini")).find("paused=1\n"), std::string::npos);
    engine_set_paused(false);
    EXPECT_FALSE(engine_is_paused());
    std::string log = logs();
    EXPECT_NE(log.find("[INFO] service: protection paused by user\n"), std::string::npos);
    EXPECT_NE(log.find("[INFO] service: protection resumed by user\n"), std::string::npos);
}

// ---- stopping ------------------------------------------------------------------------------

TEST_F(EngineLoop, StopEndsARunningScanAtItsNextFile)
{
    config("");
    rec.scan_until_stop = true;
    engine_setup(test_config());
    thread = CreateThread(nullptr, 0, run_engine_thread, nullptr, 0, nullptr);
    ASSERT_TRUE(wait_until([&] { return rec.scanning != 0; }));
    Sleep(50);
    ASSERT_TRUE(stop());
    EXPECT_GT(rec.scan_files_seen, 0);
    EXPECT_LT(rec.scan_files_seen, 20000);
    EXPECT_EQ(rec.heartbeat, 0); // start-up ends where it was stopped
    std::string log = logs();
    EXPECT_NE(log.find("[INFO] service stopped\n"), std::string::npos);
}

namespace {

// Child: sets the service role's stop event, as another process (the
// installer, a test) does. 0 when it was set, 2 when there is none.
int set_stop_event(int, char**)
{
    HandleHolder ev(OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\Tallowguard_Stop_Event"));
    if (!ev.ok())
        return 2;
    return SetEvent(ev.get()) ? 0 : 3;
}
ChildRole set_stop_role("set-stop-event", set_stop_event);

} // namespace

TEST_F(EngineLoop, NamedStopEventEndsTheLoopWithoutWaitingForTheTick)
{
    config("");
    EngineConfig c = test_config();
    c.timings.tick_wait_ms = 60000; // the shipped tick
    start(c);
    HANDLE child = spawn_child("set-stop-event", {});
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(wait_child(child), 0u);
    // Well inside one tick: the wait includes the event.
    EXPECT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
    // Seen by the loop, the event stops the whole engine, not just the loop.
    EXPECT_NE(g_engine.stop, 0);
    EXPECT_NE(logs().find("[INFO] service stopped\n"), std::string::npos);
}

// ---- the service control handler ------------------------------------------------------------

TEST_F(ServiceControl, ControlHandlerTable)
{
    struct Case {
        DWORD control;
        DWORD result;
        bool stops;
    } cases[] = {
        {1, 0, true},    // STOP
        {5, 0, true},    // SHUTDOWN
        {4, 0, false},   // INTERROGATE
        {13, 0, false},  // POWEREVENT
        {2, 120, false}, // PAUSE: not accepted
        {3, 120, false}, // CONTINUE
        {0x10, 120, false},
    };
    HandleHolder named(CreateEventA(nullptr, TRUE, FALSE, "Global\\Tallowguard_Stop_Event"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        engine_setup(test_config());
        ResetEvent(named.get());
        ServiceStatusRecord before = service_status_current();
        EXPECT_EQ(service_control_handler(c.control, 0, nullptr, nullptr), c.result);
        ServiceStatusRecord after = service_status_current();
        EXPECT_EQ(g_engine.stop != 0, c.stops);
        EXPECT_EQ(WaitForSingleObject(g_engine.wake, 0) == WAIT_OBJECT_0, c.stops);
        EXPECT_EQ(WaitForSingleObject(named.get(), 0) == WAIT_OBJECT_0, c.stops);
        if (c.stops) {
            EXPECT_EQ(after.current_state, 3u); // STOP_PENDING
            EXPECT_EQ(after.wait_hint, 15000u);
            EXPECT_EQ(after.controls_accepted, 0x45u);
            EXPECT_GT(after.checkpoint, 0u);
            if (before.current_state == 3u) {
                EXPECT_EQ(after.checkpoint, before.checkpoint + 1);
            }
        } else {
            EXPECT_EQ(after.current_state, before.current_state);
            EXPECT_EQ(after.checkpoint, before.checkpoint);
        }
    }
}

// ---- remote commands -------------------------------------------------------------------------

TEST_F(RemoteCommands, NamesAreExactAndCaseSensitive)
{
    engine_setup(test_config());
    struct Case {
        const char* text;
        LONG quick;
        LONG update;
    } cases[] = {
        {"scan-now", 1, 0},   {"Scan-now", 0, 0},
        {"update-now", 0, 1}, {"UPDATE-NOW", 0, 0},
        {"scan-now ", 0, 0},  {"rm -rf", 0, 0},
        {"", 0, 0},           {"scan-now-and-then-some-more-text-past-31", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        LONG q = rec.quick, u = rec.update;
        engine_execute_command(c.text);
        EXPECT_EQ(rec.quick - q, c.quick);
        EXPECT_EQ(rec.update - u, c.update);
    }
    std::string log = logs();
    EXPECT_NE(log.find("[INFO] engine: running remote command: Scan-now\n"), std::string::npos);
    EXPECT_NE(log.find("[INFO] engine: running remote command: scan-now-and-then-some-more-tex\n"),
              std::string::npos);
    EXPECT_EQ(count_of(log, "[INFO] engine: remote scan-now\n"), 1u);
    EXPECT_EQ(count_of(log, "[INFO] engine: remote update-now\n"), 1u);
    EXPECT_NE(log.find("[INFO] service: manual quick scan started\n"), std::string::npos);
    EXPECT_NE(log.find("[INFO] service: manual quick scan done (3 files, 1 threats)\n"),
              std::string::npos);
    EXPECT_NE(scans().find("|quick|0|3|1\n"), std::string::npos);
    EXPECT_NE(stats().find("last_quick=2025-01-08 10:00\n"), std::string::npos);
}

TEST_F(RemoteCommands, HeartbeatDrainsTheCommandQueueOnTheLoopThread)
{
    config("heartbeat_minutes=5\n");
    rec.commands = {"update-now", "nonsense", "scan-now"};
    start();
    EXPECT_EQ(rec.commands.size(), 3u); // the start-up heartbeat takes no commands
    set_ticks(5 * kMinute);
    ASSERT_TRUE(wait_until([&] { return rec.quick == 2 && rec.update == 1; }));
    EXPECT_TRUE(rec.commands.empty());
    std::string log = logs();
    size_t u = log.find("running remote command: update-now");
    size_t n = log.find("running remote command: nonsense");
    size_t s = log.find("running remote command: scan-now");
    EXPECT_LT(u, n);
    EXPECT_LT(n, s);
}

namespace {

// Child: runs the remote uninstall in a data directory; it never returns.
int remote_uninstall_child(int argc, char** argv)
{
    if (argc < 1)
        return 2;
    use_data_dir(argv[0]);
    engine_setup(wiring_engine_config(false));
    engine_execute_command("uninstall");
    return 7; // not reached: the command ends the process
}
ChildRole uninstall_role("remote-uninstall", remote_uninstall_child);

} // namespace

TEST_F(RemoteCommands, RemoteUninstallEndsTheProcessAfterItsLines)
{
    HANDLE child = spawn_child("remote-uninstall", {dir.path});
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(wait_child(child), 0u);
    std::string log = logs();
    size_t a = log.find("[INFO] engine: running remote command: uninstall\n");
    size_t b = log.find("[INFO] engine: remote uninstall requested by fleet admin\n");
    size_t c = log.find("[ERROR] uninstall is not available in this build\n");
    size_t d = log.find("[INFO] engine: remote uninstall finished — exiting\n");
    ASSERT_NE(d, std::string::npos) << log;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_LT(c, d);
}

namespace {

// Child: the loop with an update check that always stages the updater and
// a clock on which every duty is always due; it never returns.
int update_handoff_child(int argc, char** argv)
{
    if (argc < 1)
        return 2;
    use_data_dir(argv[0]);
    static Recorder rec{};
    InitializeSRWLock(&rec.lock);
    rec.update_result = 1;
    g_rec = &rec;
    EngineConfig c = test_config();
    c.clock.ticks = [] {
        return static_cast<uint32_t>(InterlockedExchangeAdd(&g_ticks, 1000000) + 1000000);
    };
    engine_setup(c);
    engine_run();
    return 7; // not reached: the hand-off ends the process
}
ChildRole handoff_role("update-handoff", update_handoff_child);

} // namespace

TEST_F(RemoteCommands, StagedUpdateHandsOffAndEndsTheProcess)
{
    config("");
    HANDLE child = spawn_child("update-handoff", {dir.path});
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(wait_child(child), 0u);
    std::string log = logs();
    EXPECT_NE(log.find("[INFO] service: update staged — handing off to updater\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("[INFO] service stopped\n"), std::string::npos);
    EXPECT_NE(notify().find("\tTallowguard updated\tNew protection update downloaded - "
                            "restarting to apply it.\n"),
              std::string::npos);
}

// ---- scheduled scans ------------------------------------------------------------------------

TEST_F(ScheduledScans, ScheduledFullScanRunsOnceWhenItsSlotComes)
{
    // Wednesday 2025-01-08; Monday's slot ran.
    config("scan_days=1, 3\nscan_time=2:0\n");
    write_file(dir.file("stats.ini"), "scan_sched_last=2025-01-06\n");
    set_now(2025, 1, 8, 1, 59);
    start();
    rounds(3);
    EXPECT_EQ(rec.full, 0);
    set_now(2025, 1, 8, 2, 0);
    ASSERT_TRUE(wait_until([&] { return rec.full == 1; }));
    set_now(2025, 1, 8, 23, 59);
    rounds(5);
    set_now(2025, 1, 9, 2, 0); // Thursday is not listed
    rounds(5);
    EXPECT_EQ(rec.full, 1);
    EXPECT_EQ(rec.stop_pointer_bad, 0);
    EXPECT_NE(stats().find("scan_sched_last=2025-01-08\n"), std::string::npos);
    std::string log = logs();
    EXPECT_NE(
        log.find("[INFO] service: scheduled full scan starting (weekly, days 1, 3 @ 02:00)\n"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("[INFO] service: scheduled full scan done (5 files, 0 threats)\n"),
              std::string::npos);
    EXPECT_EQ(log.find("was missed"), std::string::npos);
    EXPECT_NE(scans().find("|scheduled|0|5|0\n"), std::string::npos);
    EXPECT_NE(notify().find("\tScheduled full scan complete\t5 files scanned - 0 threats found\n"),
              std::string::npos);
}

TEST_F(ScheduledScans, BadScanTimeWarnsEveryTickAndNeverScans)
{
    config("scan_days=3\nscan_time=24:00\n");
    start();
    rounds(4);
    EXPECT_EQ(rec.full, 0);
    EXPECT_GE(count_of(logs(), "[WARN] service: ignoring bad scan_time value '24:00'\n"), 3u);
}

TEST_F(ScheduledScans, MissedSlotIsCaughtUpAfterTheWait)
{
    // Started on Wednesday 10:00; Mondays at 02:00; last run two Mondays ago.
    config("scan_days=1\n");
    write_file(dir.file("stats.ini"), "scan_sched_last=2024-12-30\n");
    start();
    ASSERT_TRUE(wait_until([&] { return rec.full == 1; }));
    rounds(2);
    std::string log = logs();
    EXPECT_NE(log.find("[INFO] service: scheduled scan of 2025-01-06 was missed — catch-up in 5 "
                       "minutes\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[INFO] service: running missed scheduled full scan (catch-up)\n"),
              std::string::npos);
    EXPECT_NE(log.find("[INFO] service: catch-up full scan done (5 files, 0 threats)\n"),
              std::string::npos);
    EXPECT_NE(scans().find("|scheduled|0|5|0\n"), std::string::npos);
    EXPECT_NE(notify().find("\tMissed scheduled scan completed\t5 files scanned - 0 threats "
                            "found\n"),
              std::string::npos);
    // The slot caught up is recorded: a restart has nothing more to catch up.
    EXPECT_NE(stats().find("scan_sched_last=2025-01-06\n"), std::string::npos);
    ASSERT_TRUE(stop());
    start();
    rounds(3);
    EXPECT_EQ(count_of(logs(), "was missed"), 1u);
}

TEST_F(ScheduledScans, CatchUpOnAScheduledDayLeavesTodaysSlotToRun)
{
    // Wednesday 01:00, slots Monday and Wednesday at 02:00: Monday's is
    // caught up, and Wednesday's still runs when it comes.
    config("scan_days=1,3\n");
    write_file(dir.file("stats.ini"), "scan_sched_last=2025-01-01\n");
    set_now(2025, 1, 8, 1, 0);
    start();
    ASSERT_TRUE(wait_until([&] { return rec.full == 1; }));
    set_now(2025, 1, 8, 2, 0);
    ASSERT_TRUE(wait_until([&] { return rec.full == 2; }));
    EXPECT_NE(stats().find("scan_sched_last=2025-01-08\n"), std::string::npos);
}

TEST_F(ScheduledScans, CatchUpIsSkippedWhilePaused)
{
    config("scan_days=1\npaused=1\n");
    start();
    ASSERT_TRUE(wait_until([&] {
        return logs().find("catch-up scan skipped (protection not allowed/paused)") !=
               std::string::npos;
    }));
    rounds(2);
    EXPECT_EQ(rec.full, 0);
    EXPECT_EQ(stats().find("scan_sched_last"), std::string::npos);
}

// ---- realtime watchers -----------------------------------------------------------------------

namespace {

std::string eicar()
{
    // Assembled at run time: the sample is never stored whole.
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-") +
           "ANTIVIRUS-TEST-FILE!$H+H*";
}

bool exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

struct RealtimeWatchers : EngineFixture {
    TempDir watched;

    void SetUp() override
    {
        EngineFixture::SetUp();
        engine_setup(test_config());
    }

    void TearDown() override
    {
        engine_request_stop();
        EXPECT_TRUE(engine_wait_watchers(10000));
        EngineFixture::TearDown();
    }

    void watch()
    {
        ASSERT_TRUE(watcher_start(watched.path.c_str()));
        std::string line = "[INFO] realtime watcher on " + watched.path + "\n";
        ASSERT_TRUE(wait_until([&] { return logs().find(line) != std::string::npos; }));
    }

    // True once `path` is gone (quarantined), within a generous bound.
    bool quarantined(const std::string& path)
    {
        return wait_until([&] { return !exists(path); }, 15000);
    }

    std::string quarantine_db() const { return read_file(dir.file("quarantine.db")); }
};

} // namespace

TEST_F(RealtimeWatchers, NewAndRenamedExecutablesAreQuarantined)
{
    watch();
    std::string a = watched.file("a.exe");
    write_file(a, eicar());
    CreateDirectoryA(watched.file("sub").c_str(), nullptr);
    std::string tmp = watched.file("sub\\b.tmp"), b = watched.file("sub\\b.scr");
    write_file(tmp, eicar());
    ASSERT_TRUE(MoveFileA(tmp.c_str(), b.c_str()));
    EXPECT_TRUE(quarantined(a));
    EXPECT_TRUE(quarantined(b));
    std::string db = quarantine_db();
    EXPECT_NE(db.find(a), std::string::npos) << db;
    EXPECT_NE(db.find(b), std::string::npos) << db;
    std::string log = logs();
    EXPECT_NE(log.find("[DETECT] REALTIME DETECTED threat=EICAR-Test-File file=" + a + "\n"),
              std::string::npos)
        << log;
}

// Only the folder is reported when a whole folder arrives; what it holds is
// found by walking it.
TEST_F(RealtimeWatchers, FoldersThatArriveAreWalked)
{
    TempDir outside;
    std::string inner = outside.file("kit");
    CreateDirectoryA(inner.c_str(), nullptr);
    CreateDirectoryA((inner + "\\bin").c_str(), nullptr);
    write_file(inner + "\\bin\\tool.exe", eicar());
    write_file(inner + "\\notes.txt", eicar());
    watch();
    std::string moved = watched.file("kit");
    ASSERT_TRUE(MoveFileA(inner.c_str(), moved.c_str()));
    EXPECT_TRUE(quarantined(moved + "\\bin\\tool.exe"));
    EXPECT_TRUE(exists(moved + "\\notes.txt")); // not a watched type
}

TEST_F(RealtimeWatchers, ShortcutsEditsAndPausedDropsAreNotInspected)
{
    std::string edited = watched.file("old.exe");
    write_file(edited, "clean");
    watch();
    std::string lnk = watched.file("x.lnk"), gadget = watched.file("x.gadget");
    write_file(lnk, eicar());
    write_file(gadget, eicar());
    write_file(edited, eicar()); // rewritten in place: a modification only
    // A marker inspected after them shows that their batch was handled.
    std::string marker = watched.file("marker.exe");
    write_file(marker, eicar());
    ASSERT_TRUE(quarantined(marker));
    Sleep(300);
    EXPECT_TRUE(exists(lnk));
    EXPECT_TRUE(exists(gadget));
    EXPECT_TRUE(exists(edited));

    config("paused=1\n");
    std::string dropped = watched.file("dropped.exe");
    write_file(dropped, eicar());
    Sleep(1000);
    config("paused=0\n");
    std::string after = watched.file("after.exe");
    write_file(after, eicar());
    ASSERT_TRUE(quarantined(after));
    EXPECT_TRUE(exists(dropped)); // passed over for good, not kept for later
}

TEST_F(RealtimeWatchers, LostRecordsAreMadeUpByARescan)
{
    watch();
    // The first file holds the watcher in its settle pause while far more
    // records than its 64 KB buffer holds arrive.
    write_file(watched.file("first.exe"), "clean");
    Sleep(20);
    std::string pad(150, 'n');
    std::vector<std::string> threats;
    for (int i = 0; i < 400; i++) {
        std::string p = watched.file((pad + std::to_string(i) + ".exe").c_str());
        bool bad = i % 40 == 7;
        write_file(p, bad ? eicar() : "clean");
        if (bad)
            threats.push_back(p);
    }
    for (const std::string& p : threats)
        EXPECT_TRUE(quarantined(p)) << p;
    EXPECT_NE(logs().find("[WARN] realtime: change records lost on " + watched.path),
              std::string::npos);
}

TEST_F(RealtimeWatchers, WatchersEndOnStop)
{
    watch();
    ASSERT_TRUE(watcher_start(watched.path.c_str()));
    ASSERT_TRUE(
        wait_until([&] { return count_of(logs(), "realtime watcher on " + watched.path) == 2; }));
    EXPECT_EQ(g_engine.watchers_live, 2);
    engine_request_stop();
    EXPECT_TRUE(engine_wait_watchers(10000));
}

TEST_F(RealtimeWatchers, OneThreadServesSeveralFolders)
{
    TempDir second;
    char folders[3][TG_PATH_SIZE];
    bounded_copy(folders[0], watched.path.c_str(), TG_PATH_SIZE);
    bounded_copy(folders[1], watched.file("missing").c_str(), TG_PATH_SIZE);
    bounded_copy(folders[2], second.path.c_str(), TG_PATH_SIZE);
    ASSERT_EQ(watchers_start_list(folders, 3), 1);
    ASSERT_TRUE(wait_until([&] { return count_of(logs(), "realtime watcher on ") == 2; }));
    EXPECT_EQ(g_engine.watchers_live, 1);
    std::string a = watched.file("one.exe"), b = second.file("two.exe");
    write_file(b, eicar());
    write_file(a, eicar());
    EXPECT_TRUE(quarantined(a));
    EXPECT_TRUE(quarantined(b));
    EXPECT_EQ(count_of(logs(), "[WARN] watcher: cannot open " + watched.file("missing")), 1u);
}

TEST_F(RealtimeWatchers, AFolderThatCannotBeOpenedIsReportedOnce)
{
    std::string missing = watched.file("missing");
    ASSERT_TRUE(watcher_start(missing.c_str()));
    EXPECT_TRUE(engine_wait_watchers(10000));
    EXPECT_EQ(count_of(logs(), "[WARN] watcher: cannot open " + missing + "\n"), 1u);
}

// The names of the scan's table, dropped into a watched folder: each is
// inspected by its own name and quarantined, and the watcher goes on.
using NamesRealtime = RealtimeWatchers;
TEST_F(NamesRealtime, EveryNameIsQuarantinedAndTheWatcherGoesOn)
{
    watch();
    const std::wstring root(watched.path.begin(), watched.path.end());
    ASSERT_TRUE(CreateDirectoryW((root + L"\\\u76ee\u5f55").c_str(), nullptr));
    const wchar_t* names[] = {
        L"caf\u00e9.exe", L"\u4e2d\u6587.exe", L"\u76ee\u5f55\\evil.exe",
        L"nul.exe",       L"CON.exe",          L"AUX.exe",
        L"com1.exe",      L"dot.exe.",         L"space.exe ",
    };
    for (const wchar_t* n : names)
        write_wide(root + L"\\" + n, eicar());
    for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); i++)
        EXPECT_TRUE(wait_until([&] { return !exists_wide(root + L"\\" + names[i]); }, 15000))
            << "not quarantined: name " << i << "\n"
            << logs();
    std::string after = watched.file("after.exe");
    write_file(after, eicar());
    EXPECT_TRUE(quarantined(after));
    EXPECT_EQ(logs().find("[ERROR]"), std::string::npos) << logs();
}

TEST(RealtimeExtensions, ExecutableListWithoutShortcutsAndGadgets)
{
    struct Case {
        const char* path;
        bool watched;
    } cases[] = {
        {"C:\\d\\a.exe", true},     {"C:\\d\\a.EXE", true},  {"C:\\d\\a.hta", true},
        {"C:\\d\\a.jse", true},     {"C:\\d\\a.ps1", true},  {"C:\\d\\a.lnk", false},
        {"C:\\d\\a.gadget", false}, {"C:\\d\\a.txt", false}, {"C:\\d\\exe", false},
        {"C:\\d\\.exe", false},     {"C:\\d.exe\\a", false}, {"C:\\d\\a.exe.txt", false},
        {"C:\\d\\a.txt.exe", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(realtime_ext_watched(c.path), c.watched) << c.path;
}

// ---- tamper PIN ---------------------------------------------------------------------------------

TEST_F(TamperPin, PinSetVerifyAndLimits)
{
    EXPECT_FALSE(tamper_pin_is_set());
    EXPECT_FALSE(tamper_pin_verify("1234"));
    ASSERT_TRUE(tamper_pin_set("1234"));
    EXPECT_TRUE(tamper_pin_is_set());
    EXPECT_TRUE(tamper_pin_verify("1234"));
    EXPECT_FALSE(tamper_pin_verify("12345"));
    EXPECT_FALSE(tamper_pin_verify("123"));
    EXPECT_FALSE(tamper_pin_verify(""));
    EXPECT_FALSE(tamper_pin_verify(nullptr));

    std::string p64(64, '7'), p65(65, '7');
    ASSERT_TRUE(tamper_pin_set(p64.c_str()));
    EXPECT_TRUE(tamper_pin_verify(p64.c_str()));
    char before[TG_PIN_READ_SIZE];
    config_get("tamper_pin_hash", before, sizeof(before), "");
    EXPECT_FALSE(tamper_pin_set(p65.c_str()));
    EXPECT_FALSE(tamper_pin_set(""));
    char after[TG_PIN_READ_SIZE];
    config_get("tamper_pin_hash", after, sizeof(after), "");
    EXPECT_STREQ(before, after); // a rejected PIN leaves the old one
    EXPECT_FALSE(tamper_pin_verify(p65.c_str()));
    EXPECT_EQ(count_of(logs(), "[INFO] tamper: protection PIN set/changed\n"), 2u);
}

TEST_F(TamperPin, PinSetTwiceGivesTwoValuesThatBothVerify)
{
    ASSERT_TRUE(tamper_pin_set("0000"));
    char first[TG_PIN_READ_SIZE];
    config_get("tamper_pin_hash", first, sizeof(first), "");
    ASSERT_TRUE(tamper_pin_set("0000"));
    char second[TG_PIN_READ_SIZE];
    config_get("tamper_pin_hash", second, sizeof(second), "");
    EXPECT_EQ(strlen(first), 97u);
    EXPECT_EQ(first[32], ':');
    EXPECT_STRNE(first, second);
    EXPECT_TRUE(pin_verify(first, "0000"));
    EXPECT_TRUE(pin_verify(second, "0000"));
    EXPECT_TRUE(tamper_pin_verify("0000"));
}

TEST_F(TamperPin, DamagedStoredPinIsNoPin)
{
    ASSERT_TRUE(tamper_pin_set("2468"));
    char good[TG_PIN_READ_SIZE];
    config_get("tamper_pin_hash", good, sizeof(good), "");
    std::string g = good;
    std::string salt_bad = g;
    salt_bad[5] = 'g';
    std::string colon_moved = g;
    std::swap(colon_moved[32], colon_moved[33]);
    std::string hash_bad = g;
    hash_bad[96] = hash_bad[96] == '0' ? '1' : '0';
    const std::string damaged[] = {
        "",          g.substr(0, 96),      g + "0",  salt_bad,
        colon_moved, std::string(97, ':'), hash_bad, g + std::string(40, 'a'),
    };
    for (const std::string& d : damaged) {
        SCOPED_TRACE(d);
        config_set("tamper_pin_hash", d.c_str());
        EXPECT_FALSE(tamper_pin_verify("2468"));
        // Only a wrong hash still has the form of a PIN.
        EXPECT_EQ(tamper_pin_is_set(), &d == &damaged[6]);
    }
}
