// The small engine actions: pause and resume, the manual quick scan, the
// remote commands the heartbeat brings, the remote reboot, and the thin
// wrappers other areas reach the detection engine through.
#include "engine/actions_win32.h"

#include "cloud/cloud_win32.h"
#include "cloud/fleet_win32.h"
#include "common/console_win32.h"
#include "common/eventlog.h"
#include "common/handles.h"
#include "common/localtime.h"
#include "common/log_win32.h"
#include "common/settings_win32.h"
#include "common/sysapi_win32.h"
#include "common/text.h"
#include "detect/inspect_win32.h"
#include "detect/quarantine_win32.h"
#include "detect/scan_win32.h"
#include "detect/scanlog_win32.h"
#include "detect/sigs.h"
#include "engine/control_win32.h"
#include "engine/engine_win32.h"

#include <shlobj.h>

#include <cstring>

bool engine_is_paused()
{
    char v[8];
    config_get("paused", v, sizeof(v), "0");
    return strcmp(v, "1") == 0;
}

void engine_set_paused(bool paused)
{
    config_set("paused", paused ? "1" : "0");
    log_msg("INFO", "%s: protection %s by user", engine_role_word(), paused ? "paused" : "resumed");
}

int engine_signature_count()
{
    return sig_count();
}

void engine_manual_quick_scan()
{
    const EngineConfig& c = g_engine.cfg;
    const char* role = engine_role_word();
    log_msg("INFO", "%s: manual quick scan started", role);
    ScanStats st = {};
    st.stop = &g_engine.stop;
    uint32_t t0 = c.clock.ticks();
    c.hooks.quick_scan(&st);
    long secs = scan_duration_seconds(elapsed(c.clock.ticks(), t0));
    scans_log_append("quick", secs, st.files, st.threats);
    LocalTime t = c.clock.local_time();
    char when[32];
    bounded_format(when, sizeof(when), "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour,
                   t.minute);
    stats_set("last_quick", when);
    counters_save();
    log_msg("INFO", "%s: manual quick scan done (%ld files, %ld threats)", role, st.files,
            st.threats);
}

static void remote_uninstall()
{
    log_msg("INFO", "engine: remote uninstall requested by fleet admin");
    console_open();
    if (IsUserAnAdmin()) {
        if (g_engine.cfg.hooks.uninstall_run != nullptr)
            g_engine.cfg.hooks.uninstall_run();
    } else {
        console_print("Uninstall requires administrator rights.\n");
        console_print("Right-click and choose 'Run as administrator'.\n");
    }
    log_msg("INFO", "engine: remote uninstall finished — exiting");
    // The process ends here: the engine's threads see the flag first, and
    // under the SCM the service reports STOPPED, so that an ending that was
    // asked for is not counted as a crash and restarted by the recovery
    // actions.
    engine_request_stop();
    counters_save();
    service_report_stopped();
    ExitProcess(0);
}

void engine_execute_command(const char* command)
{
    char cmd[TG_COMMAND_SIZE];
    bounded_copy(cmd, command != nullptr ? command : "", sizeof(cmd));
    log_msg("INFO", "engine: running remote command: %s", cmd);
    switch (classify_remote_command(cmd)) {
    case RemoteCommand::ScanNow:
        log_msg("INFO", "engine: remote scan-now");
        engine_manual_quick_scan();
        counters_save();
        break;
    case RemoteCommand::UpdateNow:
        log_msg("INFO", "engine: remote update-now");
        // A staged updater waits for this process to end before it swaps
        // the program file, so a staged update is handed off at once.
        if (g_engine.cfg.hooks.cloud_check_update() == 1)
            engine_hand_off_to_updater();
        break;
    case RemoteCommand::RebootNow: {
        HANDLE h = CreateThread(nullptr, 0, engine_reboot_thread, nullptr, 0, nullptr);
        if (h != nullptr)
            CloseHandle(h);
        break;
    }
    case RemoteCommand::Uninstall:
        remote_uninstall();
        break;
    case RemoteCommand::Unknown:
        break;
    }
}

DWORD WINAPI engine_reboot_thread(LPVOID)
{
    // The warning reaches the tray window when this process has one; the
    // service has none, and the log line below is all that remains of it.
    if (g_engine.cfg.hooks.post_alert != nullptr)
        g_engine.cfg.hooks.post_alert("Tallowguard", "Your administrator has scheduled a restart.\n"
                                                     "The computer will reboot in 60 seconds.");
    log_msg("INFO", "engine: reboot-now — rebooting in 60s");
    Sleep(g_engine.cfg.timings.reboot_wait_ms);
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        TOKEN_PRIVILEGES tp = {};
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &tp.Privileges[0].Luid))
            sys_adjust_token_privileges(token, FALSE, &tp, 0, nullptr, nullptr);
        CloseHandle(token);
    }
    // EWX_REBOOT | EWX_FORCEIFHUNG.
    if (!ExitWindowsEx(EWX_REBOOT | EWX_FORCEIFHUNG, 0))
        log_msg("ERROR", "engine: reboot failed (%lu)", GetLastError());
    return 0;
}

int engine_inspect_file(const char* path, char* threat, size_t threat_size)
{
    return inspect_file(path, threat, threat_size);
}

long engine_quarantine_file(const char* path, const char* threat)
{
    return quarantine_file(path, threat);
}

void engine_report_detection(const char* threat, const char* path)
{
    report_event(TG_MSG_THREAT_DETECTED, EVENTLOG_WARNING_TYPE, threat, path);
    cloud_report_detection(threat, path);
}
