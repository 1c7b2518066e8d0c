// The command line: which action an argument vector selects, and the texts
// the front door prints (usage, status report). Pure.
#pragma once

#include <string>

enum class CliAction {
    Service,
    Tray,
    Notify,
    SetMode,
    Setup, // no argument or --install
    Uninstall,
    ScanQuick,
    ScanFull,
    Scan,
    Status,
    Register,
    Heartbeat,
    CheckUpdate,
    SetServer,
    ApplyUpdate,
    QuarantineList,
    QuarantineRestore,
    QuarantineDelete,
    Usage,
};

// The action of argv[1] (case-insensitive), in the fixed comparison order; an
// option whose operand is missing is not recognised and selects Usage.
CliAction cli_select(int argc, const char* const* argv);

// Per-user data directory decision: set for --tray, clear for --service and
// --notify; otherwise clear when the service is registered, else set exactly
// when the user's Run key has the "Tallowguard" value.
bool cli_per_user(const char* arg1, bool service_registered, bool run_value_present);

// The usage text with every "%s" replaced by `argv0`; `signatures_db` is the
// full path of the signature database.
std::string cli_usage_text(const char* argv0, const char* signatures_db);

// `--set-server` operand as it is stored: leading blanks skipped, cut at the
// first CR or LF and to 511 characters, then trailing '/' and ' ' removed.
std::string cli_normalise_server_url(const char* url);

struct StatusInfo {
    bool installed;
    const char* installed_exe;
    const char* install_mode; // config.ini install_mode
    bool service_registered;
    const char* service_state; // state word when registered
    int signatures;
    const char* signatures_db;
    long scanned;
    long detected;
    const char* last_quick; // "never" when absent
    const char* last_full;
    const char* server_url; // empty = standalone
    const char* install_id; // empty = not registered
    bool realtime_allowed;
};

// The status report, line by line.
std::string cli_status_text(const StatusInfo& s);
