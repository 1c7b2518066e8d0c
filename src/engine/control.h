// Service control and remote commands as pure decisions: the service status
// record the shell reports to the SCM, the control handler's table and the
// classification of remote command texts. The shell (service main, handler,
// command executor) does the Win32 calls and the logging.
#pragma once

#include "engine/limits.h"
#include "engine/timers.h"

#include <cstdint>

// The Win32 numbers, under names of our own so that they do not meet the
// <winsvc.h> macros in shell files.
constexpr uint32_t SVC_TYPE_OWN_PROCESS = 16; // SERVICE_WIN32_OWN_PROCESS

constexpr uint32_t SVC_STATE_STOPPED = 1;
constexpr uint32_t SVC_STATE_START_PENDING = 2;
constexpr uint32_t SVC_STATE_STOP_PENDING = 3;
constexpr uint32_t SVC_STATE_RUNNING = 4;

constexpr uint32_t SVC_CONTROL_STOP = 1;
constexpr uint32_t SVC_CONTROL_INTERROGATE = 4;
constexpr uint32_t SVC_CONTROL_SHUTDOWN = 5;
constexpr uint32_t SVC_CONTROL_POWEREVENT = 13;

// SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT.
constexpr uint32_t SVC_ACCEPT_MASK = 0x45;

constexpr uint32_t SVC_NO_ERROR = 0;
constexpr uint32_t SVC_ERROR_CALL_NOT_IMPLEMENTED = 120;

// The fields of SERVICE_STATUS, in its order.
struct ServiceStatusRecord {
    uint32_t service_type;
    uint32_t current_state;
    uint32_t controls_accepted;
    uint32_t win32_exit_code;
    uint32_t service_exit_code;
    uint32_t checkpoint;
    uint32_t wait_hint;
};

// One per process: the record last reported and the checkpoint counter,
// which starts at 1 and goes up by one with each pending state reported. The
// shell guards it if the handler and the service thread can both move it.
struct ServiceStatusState {
    ServiceStatusRecord status;
    uint32_t checkpoint_counter;
};

void service_status_init(ServiceStatusState* s);

// Each sets the record for one state; the shell then reports s->status with
// SetServiceStatus. Pending states take the next checkpoint and the wait
// hint from `t`; RUNNING and STOPPED carry checkpoint 0 and hint 0.
// START_PENDING accepts no controls, the others SVC_ACCEPT_MASK.
void service_status_start_pending(ServiceStatusState* s, const EngineTimings& t);
void service_status_running(ServiceStatusState* s);
void service_status_stop_pending(ServiceStatusState* s, const EngineTimings& t);
void service_status_stopped(ServiceStatusState* s);

enum class ControlAction {
    Stop,          // report STOP_PENDING first, then request the stop
    ReportCurrent, // report s->status again
    Nothing,
};

struct ControlDecision {
    ControlAction action;
    uint32_t result; // what the handler returns
};

// The handler's table. STOP and SHUTDOWN stop the engine: the shell reports
// STOP_PENDING (service_status_stop_pending) and then requests the stop,
// which sets the stop flag and signals the stop event, so that the loop
// leaves its one-minute wait at once and the service stops well inside the
// 15 s wait hint. INTERROGATE reports the current status, POWEREVENT is
// accepted and ignored; all give 0. Any other control gives 120.
ControlDecision service_control_decide(uint32_t control);

enum class RemoteCommand {
    Unknown,
    ScanNow,   // "scan-now"
    UpdateNow, // "update-now"
    RebootNow, // "reboot-now"
    Uninstall, // "uninstall"
};

// Classifies a command text taken from the heartbeat reply: only its first
// TG_COMMAND_SIZE - 1 characters count (the shell keeps the text in a
// char[TG_COMMAND_SIZE] cut with bounded_copy), and the match is exact
// and case-sensitive, so "Scan-now" is Unknown. NULL is Unknown.
RemoteCommand classify_remote_command(const char* text);

// The command's own text ("scan-now", ...), or "" for Unknown.
const char* remote_command_name(RemoteCommand command);
