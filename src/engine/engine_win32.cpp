// The protection loop: start-up in a fixed order, the start-up quick scan,
// then one round a tick (heartbeat with remote commands, feed refresh,
// update check, periodic quick scan, scheduled full scan) until a stop.
#include "engine/engine_win32.h"

#include "cloud/cloud_win32.h"
#include "cloud/fleet_win32.h"
#include "common/clock_win32.h"
#include "common/eventlog.h"
#include "common/files_win32.h"
#include "common/handles.h"
#include "common/log_win32.h"
#include "common/paths_win32.h"
#include "common/settings_win32.h"
#include "common/text.h"
#include "detect/fileio_win32.h"
#include "detect/scan_win32.h"
#include "detect/scanlog_win32.h"
#include "engine/actions_win32.h"
#include "engine/control_win32.h"
#include "engine/schedule_win32.h"
#include "engine/watcher_win32.h"
#include "guard/guard_win32.h"

#include <algorithm>
#include <string>

EngineState g_engine;

static uint32_t real_ticks()
{
    return GetTickCount();
}

static int feed_sync()
{
    return webprotect_feed_sync(g_cloud.server_url);
}

EngineConfig engine_defaults(bool tray_role)
{
    EngineConfig c = {};
    c.tray_role = tray_role;
    c.timings = engine_timings_shipped();
    c.clock.ticks = real_ticks;
    c.clock.local_time = clock_now;
    c.hooks.quick_scan = quick_scan;
    c.hooks.full_scan = full_scan;
    c.hooks.cloud_register = cloud_register;
    c.hooks.cloud_heartbeat = cloud_heartbeat;
    c.hooks.cloud_pop_command = cloud_pop_command;
    c.hooks.cloud_check_update = cloud_check_update;
    c.hooks.feed_sync = feed_sync;
    c.hooks.watchers_start = watchers_start;
    c.hooks.advanced_rtp_start = advanced_rtp_start;
    return c;
}

void engine_setup(const EngineConfig& cfg)
{
    g_engine.cfg = cfg;
    if (g_engine.wake == nullptr)
        g_engine.wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    else
        ResetEvent(g_engine.wake);
    InterlockedExchange(&g_engine.stop, 0);
    InterlockedExchange(&g_engine.loop_ticks, 0);
    InterlockedExchange(&g_engine.startup_done, 0);
}

const char* engine_role_word()
{
    return g_engine.cfg.tray_role ? "tray" : "service";
}

const char* engine_stop_event_name()
{
    return g_engine.cfg.tray_role ? "Local\\Tallowguard_Tray_Stop"
                                  : "Global\\Tallowguard_Stop_Event";
}

bool engine_stopping()
{
    return g_engine.stop != 0;
}

// Sets the flag and wakes every wait; does not touch the named event.
static void raise_stop()
{
    InterlockedExchange(&g_engine.stop, 1);
    if (g_engine.wake != nullptr)
        SetEvent(g_engine.wake);
}

void engine_request_stop()
{
    raise_stop();
    HandleHolder ev(OpenEventA(EVENT_MODIFY_STATE, FALSE, engine_stop_event_name()));
    if (ev.ok())
        SetEvent(ev.get());
}

bool engine_sleep(DWORD ms)
{
    if (engine_stopping())
        return true;
    if (g_engine.wake == nullptr)
        Sleep(ms);
    else
        WaitForSingleObject(g_engine.wake, ms);
    return engine_stopping();
}

bool engine_wait_watchers(DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    while (g_engine.watchers_live > 0) {
        if (GetTickCount() - start >= timeout_ms)
            return false;
        Sleep(10);
    }
    return true;
}

static EngineSettings read_settings()
{
    std::string text;
    bool have = file_read_all(g_app.paths.config_ini, &text);
    EngineSettings s;
    engine_settings_parse(have ? text.data() : nullptr, text.size(), &s);
    return s;
}

// A quick scan as the loop runs it at start-up and on its period: scans.log
// under `kind`, the log line `done_fmt`, the "scan completed" event under
// `event_kind`, the notification `title`, and the counters saved.
static void loop_quick_scan(const char* kind, const char* done_fmt, const char* title,
                            const char* event_kind)
{
    const EngineConfig& c = g_engine.cfg;
    ScanStats st = {};
    st.stop = &g_engine.stop;
    uint32_t t0 = c.clock.ticks();
    c.hooks.quick_scan(&st);
    long secs = scan_duration_seconds(elapsed(c.clock.ticks(), t0));
    scans_log_append(kind, secs, st.files, st.threats);
    log_msg("INFO", done_fmt, st.files, st.threats);
    char files[48], threats[48];
    bounded_format(files, sizeof(files), "%ld files scanned", st.files);
    bounded_format(threats, sizeof(threats), "%ld threats found", st.threats);
    report_event(TG_MSG_SCAN_COMPLETED, EVENTLOG_INFORMATION_TYPE, event_kind, files, threats);
    char body[TG_SCAN_BODY_SIZE];
    format_scan_body(body, sizeof(body), st.files, st.threats);
    notify_log_append(title, body);
    counters_save();
}

// The two one-shot jobs of start-up: the first threat-feed sync and, when a
// scheduled scan was missed, the catch-up scan. They run on the loop's
// thread when their time comes, inside the loop's waits: under Wine every
// thread costs about 1 MB that stays taken even after the thread has ended,
// and the loop spends nearly all its life waiting anyway.
struct OneShot {
    bool pending;
    DWORD due; // real tick count (GetTickCount)
};
static OneShot g_feed_job;
static OneShot g_catch_up_job;

static void arm(OneShot* job, DWORD delay_ms)
{
    job->pending = true;
    job->due = GetTickCount() + delay_ms;
}

void schedule_arm_catch_up()
{
    arm(&g_catch_up_job, g_engine.cfg.timings.catch_up_wait_ms);
}

// Milliseconds until the job is due (0 when it is), or INFINITE.
static DWORD job_wait(const OneShot& job, DWORD now)
{
    if (!job.pending)
        return INFINITE;
    LONG left = static_cast<LONG>(job.due - now);
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

static void run_due_jobs()
{
    DWORD now = GetTickCount();
    if (g_feed_job.pending && job_wait(g_feed_job, now) == 0 && !engine_stopping()) {
        g_feed_job.pending = false;
        g_engine.cfg.hooks.feed_sync();
    }
    if (g_catch_up_job.pending && job_wait(g_catch_up_job, now) == 0 && !engine_stopping()) {
        g_catch_up_job.pending = false;
        schedule_catch_up();
    }
}

// Step 8 of a round: another process may have signalled the role's event
// by name (the installer, the uninstaller, a command-line run).
static void check_named_stop_event()
{
    HandleHolder ev(OpenEventA(SYNCHRONIZE, FALSE, engine_stop_event_name()));
    if (ev.ok() && WaitForSingleObject(ev.get(), 0) == WAIT_OBJECT_0)
        raise_stop();
}

// Waits `ms` on the stop event and the wake event, running the one-shot
// jobs that fall due meanwhile; true when stopping.
static bool wait_tick(DWORD ms)
{
    HANDLE waits[2];
    DWORD n = 0;
    if (g_engine.wake != nullptr)
        waits[n++] = g_engine.wake;
    if (g_engine.stop_event != nullptr)
        waits[n++] = g_engine.stop_event;
    DWORD start = GetTickCount();
    for (;;) {
        run_due_jobs();
        if (engine_stopping())
            return true;
        DWORD now = GetTickCount();
        DWORD spent = now - start;
        if (spent >= ms)
            return false;
        DWORD wait = ms - spent;
        wait = std::min(wait, job_wait(g_feed_job, now));
        wait = std::min(wait, job_wait(g_catch_up_job, now));
        // The duties of the round may have gone deep into the stack.
        thread_stack_trim();
        DWORD r =
            n > 0 ? WaitForMultipleObjects(n, waits, FALSE, wait) : (Sleep(wait), WAIT_TIMEOUT);
        // Whoever signalled, the whole engine stops: the watchers only see
        // the flag and the wake event.
        if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + n)
            raise_stop();
    }
}

void engine_hand_off_to_updater()
{
    log_msg("INFO", "service: update staged — handing off to updater");
    report_event(TG_MSG_UPDATED, EVENTLOG_INFORMATION_TYPE, "engine update downloaded, restarting");
    notify_log_append("Tallowguard updated",
                      "New protection update downloaded - restarting to apply it.");
    // The watchers and guards end with the process; the flag keeps them
    // from starting anything new meanwhile.
    raise_stop();
    if (g_engine.stop_event != nullptr) {
        CloseHandle(g_engine.stop_event);
        g_engine.stop_event = nullptr;
    }
    counters_save();
    service_report_stopped();
    ExitProcess(0);
}

static void startup()
{
    const EngineConfig& c = g_engine.cfg;
    const char* role = engine_role_word();

    // 1. The stop event may exist already, left signalled by an earlier stop.
    g_engine.stop_event = CreateEventA(nullptr, TRUE, FALSE, engine_stop_event_name());
    if (g_engine.stop_event != nullptr)
        ResetEvent(g_engine.stop_event);
    else
        log_msg("WARN", "%s: cannot create stop event %s (%lu)", role, engine_stop_event_name(),
                GetLastError());

    log_msg("INFO", "Tallowguard " TG_ENGINE_VERSION " %s started (pid %lu)", role,
            GetCurrentProcessId());
    report_event(TG_MSG_SERVICE_STARTED, EVENTLOG_INFORMATION_TYPE, TG_ENGINE_VERSION);

    cloud_load_state();
    c.hooks.cloud_register();

    schedule_startup_check();

    c.hooks.watchers_start();
    c.hooks.advanced_rtp_start();
    arm(&g_feed_job, c.timings.feed_startup_wait_ms);

    char body[128];
    bounded_format(body, sizeof(body), "%d threat signatures loaded - realtime monitoring %s",
                   engine_signature_count(), "on");
    notify_log_append("Tallowguard protection is active", body);

    if (wait_tick(c.timings.startup_sleep_ms))
        return;
    if (!engine_is_paused()) {
        log_msg("INFO", "%s: initial quick scan", role);
        loop_quick_scan("quick", "service: initial quick scan done (%ld files, %ld threats)",
                        "Startup scan complete", "initial quick");
    }
    if (engine_stopping())
        return;
    c.hooks.cloud_heartbeat();
}

// One round after the tick's wait.
static void run_round(EngineMarks* marks, bool* active)
{
    const EngineConfig& c = g_engine.cfg;
    const char* role = engine_role_word();
    uint32_t now = c.clock.ticks();
    EngineSettings s = read_settings();

    bool act = !s.paused;
    if (act != *active) {
        log_msg("INFO", "%s: protection %s%s", role, act ? "resumed" : "paused",
                s.paused ? ", paused by user" : "");
        if (!act)
            report_event(TG_MSG_PROTECTION_PAUSED, EVENTLOG_ERROR_TYPE, "paused by user");
        *active = act;
    }

    EngineDuties due = engine_due_duties(*marks, s, c.timings, now, act);
    if (due.heartbeat) {
        c.hooks.cloud_heartbeat();
        char cmd[TG_COMMAND_SIZE];
        while (!engine_stopping() && c.hooks.cloud_pop_command(cmd, sizeof(cmd)))
            engine_execute_command(cmd);
        marks->heartbeat = now;
    }
    if (due.feed) {
        c.hooks.feed_sync();
        marks->feed = now;
    }
    if (due.update) {
        if (c.hooks.cloud_check_update() == 1)
            engine_hand_off_to_updater();
        marks->update = now;
    }
    if (act && !engine_stopping()) {
        if (due.quick_scan) {
            log_msg("INFO", "service: scheduled quick scan");
            loop_quick_scan("scheduled", "service: scheduled scan done (%ld files, %ld threats)",
                            "Scheduled scan complete", "scheduled quick");
            marks->quick_scan = now;
        }
        if (!engine_stopping())
            schedule_tick();
    }
}

void engine_run()
{
    if (g_engine.cfg.clock.ticks == nullptr)
        engine_setup(engine_defaults(false));
    const EngineConfig& c = g_engine.cfg;
    g_feed_job.pending = false;
    g_catch_up_job.pending = false;

    startup();
    InterlockedExchange(&g_engine.startup_done, 1);

    EngineMarks marks;
    engine_marks_reset(&marks, c.clock.ticks());
    bool active = !engine_is_paused();

    while (!engine_stopping()) {
        if (wait_tick(c.timings.tick_wait_ms))
            break;
        run_round(&marks, &active);
        check_named_stop_event();
        InterlockedIncrement(&g_engine.loop_ticks);
    }

    if (g_engine.stop_event != nullptr) {
        CloseHandle(g_engine.stop_event);
        g_engine.stop_event = nullptr;
    }
    report_event(TG_MSG_SERVICE_STOPPED, EVENTLOG_INFORMATION_TYPE);
    log_msg("INFO", "%s stopped", engine_role_word());
}
