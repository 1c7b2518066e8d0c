#include "frontdoor/cli.h"

#include "common/limits.h"
#include "common/text.h"

#include <cstdio>
#include <cstring>

static bool is(const char* a, const char* opt)
{
    return a != nullptr && ascii_stricmp(a, opt) == 0;
}

CliAction cli_select(int argc, const char* const* argv)
{
    const char* a = argc > 1 ? argv[1] : nullptr;
    bool op1 = argc > 2;
    bool op2 = argc > 3;
    if (is(a, "--service"))
        return CliAction::Service;
    if (is(a, "--tray"))
        return CliAction::Tray;
    if (is(a, "--notify"))
        return CliAction::Notify;
    if (is(a, "--set-mode") && op1)
        return CliAction::SetMode;
    if (a == nullptr || is(a, "--install"))
        return CliAction::Setup;
    if (is(a, "--uninstall"))
        return CliAction::Uninstall;
    if (is(a, "--scan-quick"))
        return CliAction::ScanQuick;
    if (is(a, "--scan-full"))
        return CliAction::ScanFull;
    if (is(a, "--scan") && op1)
        return CliAction::Scan;
    if (is(a, "--status"))
        return CliAction::Status;
    if (is(a, "--register"))
        return CliAction::Register;
    if (is(a, "--heartbeat"))
        return CliAction::Heartbeat;
    if (is(a, "--check-update"))
        return CliAction::CheckUpdate;
    if (is(a, "--set-server") && op1)
        return CliAction::SetServer;
    if (is(a, "--apply-update") && op2)
        return CliAction::ApplyUpdate;
    if (is(a, "--quarantine-list"))
        return CliAction::QuarantineList;
    if (is(a, "--quarantine-restore") && op1)
        return CliAction::QuarantineRestore;
    if (is(a, "--quarantine-delete") && op1)
        return CliAction::QuarantineDelete;
    return CliAction::Usage;
}

bool cli_per_user(const char* arg1, bool service_registered, bool run_value_present)
{
    if (is(arg1, "--tray"))
        return true;
    if (is(arg1, "--service") || is(arg1, "--notify"))
        return false;
    if (service_registered)
        return false;
    return run_value_present;
}

namespace {

void add(std::string& out, const char* text)
{
    out += text;
}

// One "%s<rest>" usage line.
void add_cmd(std::string& out, const char* argv0, const char* rest)
{
    out += argv0;
    out += rest;
}

} // namespace

std::string cli_usage_text(const char* argv0, const char* signatures_db)
{
    std::string o;
    const char* a = argv0 ? argv0 : "Tallowguard.exe";
    o += "Tallowguard 1.4.4 - antivirus protection service\n\n";
    add(o, "Usage (run elevated for install/uninstall/status):\n");
    add_cmd(o, a, "                  install (double-click the Setup exe)\n");
    add_cmd(o, a, " --install        install / repair installation\n");
    add_cmd(o, a, " --tray           run the interactive tray interface\n");
    add_cmd(o, a, " --notify         status notifier: balloon popups for the service mode\n");
    add_cmd(o, a, " --set-mode service|tray\n");
    // The continuation lines up with the descriptions of the other lines,
    // which start 18 columns after the program name.
    o.append(strlen(a) + 18, ' ');
    add(o, "switch an installed copy between modes\n");
    add_cmd(o, a, " --uninstall      stop service and remove program files\n");
    add_cmd(o, a, " --service        service entry point (started by Windows)\n");
    add_cmd(o, a, " --scan-quick     scan system temp + all users' temp/downloads/desktop\n");
    add_cmd(o, a, " --scan-full      scan all fixed drives\n");
    add_cmd(o, a, " --scan <path>    scan a file or folder\n");
    add_cmd(o, a, " --status         show install / service state\n");
    add_cmd(o, a, " --quarantine-list\n");
    add_cmd(o, a, " --quarantine-restore <id>\n");
    add_cmd(o, a, " --quarantine-delete <id>\n");
    add_cmd(o, a, " --register           register this install with the server\n");
    add_cmd(o, a, " --heartbeat          send a monitoring heartbeat now\n");
    add_cmd(o, a, " --check-update       check for engine/signature updates now\n");
    add_cmd(o, a,
            " --set-server <url>   point at an update/monitoring server (empty = standalone)\n");
    add(o, "\nDetection: SHA-256 signature database (");
    add(o, signatures_db ? signatures_db : "");
    add(o, ") plus\n");
    add(o, "heuristics (double extensions, disguised executables, suspicious\n");
    add(o, "API/script keywords). Threats are moved to quarantine automatically.\n");
    add(o, "Verify with the harmless EICAR test file - it must be detected.\n");
    add(o, "\nCloud: with a server URL set, installs auto-update, report heartbeats\n");
    add(o, "and detections, and follow fleet policies. Without a server\n");
    add(o, "URL the AV runs standalone with full protection.\n");
    return o;
}

std::string cli_normalise_server_url(const char* url)
{
    const char* s = url ? url : "";
    while (*s == ' ' || *s == '\t')
        s++;
    // A setting's value ends at its line end: what follows would not be stored.
    std::string u(s, strcspn(s, "\r\n"));
    if (u.size() > TG_SERVER_URL_SIZE - 1)
        u.resize(TG_SERVER_URL_SIZE - 1);
    while (!u.empty() && (u.back() == '/' || u.back() == ' '))
        u.pop_back();
    return u;
}

std::string cli_status_text(const StatusInfo& s)
{
    char buf[2048];
    std::string o = "Tallowguard 1.4.4\n";
    bounded_format(buf, sizeof(buf), "  Installed : %s  (%s)\n", s.installed ? "yes" : "no",
                   s.installed_exe ? s.installed_exe : "");
    o += buf;
    bool tray = s.install_mode != nullptr && strcmp(s.install_mode, "tray") == 0;
    bounded_format(buf, sizeof(buf), "  Mode      : %s\n",
                   tray ? "User interface (system tray)" : "Windows service");
    o += buf;
    if (s.service_registered)
        bounded_format(buf, sizeof(buf), "  Service   : %s%s\n",
                       s.service_state ? s.service_state : "unknown",
                       " (automatic start, LocalSystem)");
    else
        bounded_format(buf, sizeof(buf), "  Service   : %s%s\n", "not registered", "");
    o += buf;
    bounded_format(buf, sizeof(buf), "  Signatures: %d loaded (%s)\n", s.signatures,
                   s.signatures_db ? s.signatures_db : "");
    o += buf;
    bounded_format(buf, sizeof(buf), "  Scanned   : %ld files | Detected: %ld threats\n", s.scanned,
                   s.detected);
    o += buf;
    bounded_format(buf, sizeof(buf), "  Last quick scan: %s | Last full scan: %s\n",
                   s.last_quick ? s.last_quick : "never", s.last_full ? s.last_full : "never");
    o += buf;
    bool standalone = s.server_url == nullptr || s.server_url[0] == '\0';
    bounded_format(buf, sizeof(buf), "  Server    : %s\n",
                   standalone ? "(standalone)" : s.server_url);
    o += buf;
    if (!standalone) {
        bool reg = s.install_id != nullptr && s.install_id[0] != '\0';
        bounded_format(buf, sizeof(buf), "  Install ID: %s\n",
                       reg ? s.install_id : "(not registered)");
        o += buf;
        bounded_format(buf, sizeof(buf), "  Realtime  : %s\n",
                       s.realtime_allowed ? "ON" : "OFF (server policy)");
        o += buf;
    }
    return o;
}
