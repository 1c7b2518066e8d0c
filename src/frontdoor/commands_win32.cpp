#include "frontdoor/commands_win32.h"

#include "cloud/cloud.h"
#include "cloud/cloud_win32.h"
#include "common/console_win32.h"
#include "common/files_win32.h"
#include "common/handles.h"
#include "common/log_win32.h"
#include "common/paths_win32.h"
#include "common/settings_win32.h"
#include "detect/fileio_win32.h"
#include "detect/quarantine.h"
#include "detect/sigs.h"
#include "engine/control_win32.h"
#include "engine/engine_win32.h"
#include "frontdoor/cli.h"
#include "frontdoor/wiring_win32.h"
#include "install/service_win32.h"

#include <string>

int cmd_not_available(const char* option)
{
    console_open();
    console_print("%s is not available in this build.\n", option);
    return 1;
}

int cmd_status()
{
    console_open();
    StatusInfo s{};
    s.installed = file_exists(g_app.paths.installed_exe);
    s.installed_exe = g_app.paths.installed_exe;
    char mode[32];
    config_get("install_mode", mode, sizeof(mode), "service");
    s.install_mode = mode;
    char state[32] = "";
    s.service_registered = service_query(state, sizeof(state));
    s.service_state = state;
    s.signatures = sig_count();
    s.signatures_db = g_app.paths.signatures_db;
    counters_load();
    s.scanned = counters_scanned();
    s.detected = counters_detected();
    char last_quick[64], last_full[64];
    stats_get("last_quick", last_quick, sizeof(last_quick), "never");
    stats_get("last_full", last_full, sizeof(last_full), "never");
    s.last_quick = last_quick;
    s.last_full = last_full;
    cloud_load_state();
    s.server_url = g_cloud.server_url;
    s.install_id = g_cloud.install_id;
    s.realtime_allowed = cloud_realtime_allowed() != 0;
    std::string text = cli_status_text(s);
    console_write(text.data(), text.size());
    return 0;
}

int cmd_installed_status()
{
    cmd_status();
    console_print("\nPress Enter to close...");
    char line[256];
    console_read_line(line, sizeof(line));
    return 0;
}

int cmd_set_server(const char* url)
{
    console_open();
    std::string u = cli_normalise_server_url(url);
    if (!u.empty() && !cloud_url_acceptable(u.c_str())) {
        console_print("Not a server URL: it must begin with http:// or https:// and name a host "
                      "(and a port from 1 to 65535, if any), with no control characters. "
                      "Nothing was changed.\n");
        return 1;
    }
    // The new server and the end of the old enrolment go together.
    const char* keys[] = {"server_url", "install_id", "install_token"};
    const char* values[] = {u.c_str(), "", ""};
    if (!settings_write_keys(g_app.paths.config_ini, keys, values, 3)) {
        console_print("Could not write %s (read-only or disk full?): the server was not set.\n",
                      g_app.paths.config_ini);
        return 1;
    }
    console_print("Server set to %s\n", u.empty() ? "(standalone)" : u.c_str());
    return 0;
}

int cmd_quarantine_list()
{
    console_open();
    std::string db;
    if (!file_read_all(g_app.paths.quarantine_db, &db)) {
        console_print("Quarantine is empty.\n");
        return 0;
    }
    std::string text = quar_list_text(db.data(), db.size());
    console_write(text.data(), text.size());
    return 0;
}

InstanceClaim instance_claim(const char* name, HANDLE* mutex, DWORD* err)
{
    *mutex = CreateMutexA(nullptr, FALSE, name);
    *err = GetLastError();
    if (*mutex == nullptr)
        return InstanceClaim::Unverified;
    return *err == ERROR_ALREADY_EXISTS ? InstanceClaim::Running : InstanceClaim::First;
}

// `--service`: the service dispatcher, or the protection loop run by hand
// when no Service Control Manager started the process.
int cmd_service()
{
    engine_setup(wiring_engine_config(false));
    // This thread waits in the dispatcher for as long as the service runs.
    thread_stack_trim();
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("Tallowguard"), service_main},
                                    {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherA(table))
        return 0;
    DWORD err = GetLastError();
    if (err != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        log_msg("ERROR", "StartServiceCtrlDispatcher failed (%lu)", err);
        return 1;
    }
    log_msg("INFO", "--service launched manually: running protection loop directly");
    const char* name = "Global\\Tallowguard_Instance_Mutex";
    HANDLE h = nullptr;
    DWORD claim_err = 0;
    InstanceClaim claim = instance_claim(name, &h, &claim_err);
    HandleHolder mutex(h);
    if (claim == InstanceClaim::Running) {
        log_msg("WARN", "another instance is running");
        return 0;
    }
    if (claim == InstanceClaim::Unverified) {
        log_msg("ERROR",
                "cannot open the single-instance mutex %s (%lu): another instance may be "
                "running; not starting a second protection loop",
                name, claim_err);
        return 1;
    }
    engine_run();
    engine_wait_watchers(kWatcherDrainMs);
    counters_save();
    return 0;
}
