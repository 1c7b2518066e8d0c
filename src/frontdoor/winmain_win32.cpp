// Process entry: turns the wide command line into ANSI arguments (exactly,
// or not at all), decides the per-user flag, prepares the shared state and
// runs exactly one action.
#include "common/console_win32.h"
#include "common/handles.h"
#include "common/log_win32.h"
#include "common/paths_win32.h"
#include "common/settings_win32.h"
#include "common/text.h"
#include "common/widetext_win32.h"
#include "detect/sigs_win32.h"
#include "frontdoor/cli.h"
#include "frontdoor/commands_win32.h"
#include "frontdoor/scan_commands_win32.h"
#include "frontdoor/wiring_win32.h"
#include "install/service_win32.h"

#include <shellapi.h>

#include <string>
#include <vector>

static bool run_value_present()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    bool found =
        RegQueryValueExA(key, "Tallowguard", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

static bool decide_per_user(const char* arg1)
{
    if (arg1 != nullptr &&
        (ascii_stricmp(arg1, "--tray") == 0 || ascii_stricmp(arg1, "--service") == 0 ||
         ascii_stricmp(arg1, "--notify") == 0))
        return cli_per_user(arg1, false, false);
    char state[32];
    bool registered = service_query(state, sizeof(state));
    return cli_per_user(arg1, registered, registered ? false : run_value_present());
}

// Whether this process is the installed program (started from its Start
// menu entry, say): then a run without arguments shows the status instead of
// installing again.
static bool running_installed_copy()
{
    wchar_t wself[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, wself, MAX_PATH);
    char self[TG_PATH_SIZE];
    return n > 0 && n < MAX_PATH && wide_path_to_ansi(std::wstring(wself, n), self, sizeof(self)) &&
           ascii_stricmp(self, g_app.paths.installed_exe) == 0;
}

static int run_action(CliAction action, int argc, const char* const* argv)
{
    switch (action) {
    case CliAction::Service:
        return cmd_service();
    case CliAction::ScanQuick:
        return cmd_scan_quick();
    case CliAction::ScanFull:
        return cmd_scan_full();
    case CliAction::Scan:
        return cmd_scan(argv[2]);
    case CliAction::Status:
        return cmd_status();
    case CliAction::SetServer:
        return cmd_set_server(argv[2]);
    case CliAction::QuarantineList:
        return cmd_quarantine_list();
    case CliAction::QuarantineRestore:
        return cmd_quarantine_restore(argv[2]);
    case CliAction::QuarantineDelete:
        return cmd_quarantine_delete(argv[2]);
    case CliAction::Usage: {
        console_open();
        std::string text = cli_usage_text(argv[0], g_app.paths.signatures_db);
        console_write(text.data(), text.size());
        return 1;
    }
    case CliAction::Setup:
        if (argc == 1 && running_installed_copy())
            return cmd_installed_status();
        return cmd_not_available(argc > 1 ? argv[1] : "Setup");
    default:
        return cmd_not_available(argv[1]);
    }
}

static int run(int argc, const char* const* argv)
{
    wiring_install();
    g_app.per_user = decide_per_user(argc > 1 ? argv[1] : nullptr);
    std::string unnamed;
    const bool named = paths_init(g_app.per_user, &unnamed);
    const bool made = make_dir_path(g_app.paths.data_dir);
    const DWORD made_err = GetLastError();
    const CliAction action = cli_select(argc, argv);
    if (!named || !made) {
        // Said where it can be seen: the console of a command (the service
        // and the tray have none), and the log when it can still be written.
        if (action != CliAction::Service && action != CliAction::Tray &&
            action != CliAction::Notify)
            console_open();
        if (!named)
            log_msg("ERROR", "the folder %s has no name in the ANSI code page", unnamed.c_str());
        if (!made)
            log_msg("ERROR", "cannot create the data directory %s (%lu)", g_app.paths.data_dir,
                    made_err);
    }
    // A scan starts reading files while signatures.db loads; every other
    // command wants the whole list from the start.
    if (action == CliAction::Scan || action == CliAction::ScanQuick ||
        action == CliAction::ScanFull)
        sigs_startup_background();
    else
        sigs_startup();
    counters_load();
    const int rc = run_action(action, argc, argv);
    sigs_wait_ready();
    return rc;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    int wargc = 0;
    LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    std::vector<std::string> args;
    int inexact = -1; // the first argument with no exact ANSI form
    if (wargv != nullptr) {
        for (int i = 0; i < wargc; i++) {
            std::string a;
            if (!wide_to_ansi(wargv[i], std::wstring::npos, &a) && inexact < 0)
                inexact = i;
            args.push_back(a);
        }
        LocalFree(wargv);
    }
    if (inexact >= 0) {
        // A stand-in character would name another file or another id (a
        // full-width digit is not the quarantine id it looks like).
        console_open();
        console_print("Argument %d has characters the ANSI code page cannot represent: %s\n",
                      inexact, args[static_cast<size_t>(inexact)].c_str());
        return 1;
    }
    if (args.empty())
        args.push_back("Tallowguard.exe");
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return run(static_cast<int>(args.size()), argv.data());
}
