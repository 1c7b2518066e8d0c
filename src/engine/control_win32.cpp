// The service main and its control handler.
#include "engine/control_win32.h"

#include "common/handles.h"
#include "common/log_win32.h"
#include "common/settings_win32.h"
#include "detect/fileio_win32.h"
#include "engine/engine_win32.h"

// The status record is written by the service thread and by the control
// handler on the dispatcher's thread; the lock keeps each report whole and
// in order (STOP_PENDING is never reported after STOPPED).
static CRITICAL_SECTION g_status_lock;
static INIT_ONCE g_status_once = INIT_ONCE_STATIC_INIT;
static ServiceStatusState g_status;
static SERVICE_STATUS_HANDLE g_status_handle = nullptr;
static bool g_stopped_reported = false; // STOPPED went out: nothing may follow it

static BOOL CALLBACK init_status(PINIT_ONCE, PVOID, PVOID*)
{
    InitializeCriticalSection(&g_status_lock);
    service_status_init(&g_status);
    return TRUE;
}

static void status_lock()
{
    InitOnceExecuteOnce(&g_status_once, init_status, nullptr, nullptr);
    EnterCriticalSection(&g_status_lock);
}

static void status_unlock()
{
    LeaveCriticalSection(&g_status_lock);
}

// With the lock held.
static void report_locked()
{
    if (g_status_handle == nullptr)
        return;
    const ServiceStatusRecord& r = g_status.status;
    SERVICE_STATUS s = {};
    s.dwServiceType = r.service_type;
    s.dwCurrentState = r.current_state;
    s.dwControlsAccepted = r.controls_accepted;
    s.dwWin32ExitCode = r.win32_exit_code;
    s.dwServiceSpecificExitCode = r.service_exit_code;
    s.dwCheckPoint = r.checkpoint;
    s.dwWaitHint = r.wait_hint;
    if (!SetServiceStatus(g_status_handle, &s))
        log_msg("WARN", "service: SetServiceStatus failed (%lu)", GetLastError());
}

ServiceStatusRecord service_status_current()
{
    status_lock();
    ServiceStatusRecord r = g_status.status;
    status_unlock();
    return r;
}

void service_report_stopped()
{
    status_lock();
    service_status_stopped(&g_status);
    report_locked();
    g_stopped_reported = true;
    g_status_handle = nullptr;
    status_unlock();
}

DWORD WINAPI service_control_handler(DWORD control, DWORD, LPVOID, LPVOID)
{
    ControlDecision d = service_control_decide(control);
    switch (d.action) {
    case ControlAction::Stop:
        status_lock();
        if (!g_stopped_reported) {
            service_status_stop_pending(&g_status, g_engine.cfg.timings);
            report_locked();
        }
        status_unlock();
        // STOP_PENDING is on record first; then the flag and both events,
        // so the loop leaves its tick wait now instead of within a minute,
        // a running scan ends at its next file and the watchers end too.
        engine_request_stop();
        break;
    case ControlAction::ReportCurrent:
        status_lock();
        report_locked();
        status_unlock();
        // The dispatcher's thread waits for controls as long as the service
        // runs; give back the stack pages it no longer uses.
        thread_stack_trim();
        break;
    case ControlAction::Nothing:
        break;
    }
    return d.result;
}

// The control dispatcher runs on the thread that called the dispatcher on
// Windows, on a thread of its own under Wine, and controls are the only code
// it runs for us: one INTERROGATE sent to ourselves lets the handler trim
// that thread's stack, which otherwise stays resident however idle the
// service is.
static void trim_dispatcher_stack()
{
    ScHolder scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm.ok())
        return;
    ScHolder svc(OpenServiceA(scm.get(), "Tallowguard", SERVICE_INTERROGATE));
    if (!svc.ok())
        return;
    SERVICE_STATUS st;
    ControlService(svc.get(), SERVICE_CONTROL_INTERROGATE, &st);
}

void WINAPI service_main(DWORD, LPSTR*)
{
    SERVICE_STATUS_HANDLE h =
        RegisterServiceCtrlHandlerExA("Tallowguard", service_control_handler, nullptr);
    if (h == nullptr) {
        log_msg("ERROR", "service: RegisterServiceCtrlHandlerEx failed (%lu)", GetLastError());
        return;
    }
    status_lock();
    g_status_handle = h;
    g_stopped_reported = false;
    service_status_start_pending(&g_status, g_engine.cfg.timings);
    report_locked();
    service_status_running(&g_status);
    report_locked();
    status_unlock();

    log_msg("INFO", "Tallowguard " TG_ENGINE_VERSION " service running under SCM");
    trim_dispatcher_stack();
    engine_run();
    log_msg("INFO", "Tallowguard service stopping (clean)");

    // The loop may have ended through the named event rather than a STOP
    // control: say that the stop is under way while the watchers finish.
    status_lock();
    if (g_status.status.current_state != SVC_STATE_STOP_PENDING) {
        service_status_stop_pending(&g_status, g_engine.cfg.timings);
        report_locked();
    }
    status_unlock();
    engine_wait_watchers(kWatcherDrainMs);
    counters_save();
    service_report_stopped();
}
