// The protection engine's Win32 shell: the protection loop shared by the
// service and the tray, the scheduled and catch-up full scans, the realtime
// watchers, the service entry with its control handler, the small actions
// the tray and the fleet trigger (pause, resume, stop, manual quick scan,
// remote commands, reboot) and the tamper PIN.
//
// State lives in g_engine. Its waits come from an EngineTimings, its clocks
// and the work it drives from function pointers, so that a test can run the
// real loop in-process with shrunken waits, a fake clock and recorded
// scans. engine_setup() with engine_defaults() gives the shipped program.
#pragma once

#include "common/limits.h"
#include "common/localtime.h"
#include "common/win.h"
#include "detect/detect_win32.h"
#include "engine/control.h"
#include "engine/limits.h"
#include "engine/timers.h"

#include <cstddef>
#include <cstdint>

#define TG_ENGINE_VERSION "1.4.4"

// Where the engine takes the time from.
struct EngineClock {
    uint32_t (*ticks)();       // milliseconds since boot, wrapping (GetTickCount)
    LocalTime (*local_time)(); // the local wall clock (clock_now)
};

// The work the loop drives. The shipped program points these at the
// detection shell, the fleet client and the guards.
struct EngineHooks {
    void (*quick_scan)(ScanStats* stats);
    void (*full_scan)(ScanStats* stats);
    int (*cloud_register)();
    int (*cloud_heartbeat)();
    int (*cloud_pop_command)(char* dest, size_t size);
    int (*cloud_check_update)(); // 1: an updater was staged, hand off and exit
    int (*feed_sync)();
    void (*watchers_start)();
    void (*advanced_rtp_start)();
};

struct EngineConfig {
    bool tray_role; // false: service role (also the manual --service run)
    EngineTimings timings;
    EngineClock clock;
    EngineHooks hooks;
};

struct EngineState {
    EngineConfig cfg;
    // The stop flag: 0 while running, set once to 1. Every scan of the
    // engine gets a pointer to it; the watchers poll it.
    volatile LONG stop;
    // Unnamed manual-reset event, set together with the stop flag. Every
    // wait of the engine's threads includes it, so a stop ends them at once.
    // It lives as long as the process (threads may still hold it).
    HANDLE wake;
    // The role's named stop event while the loop runs (null otherwise).
    HANDLE stop_event;
    volatile LONG watchers_live; // watcher threads that have not ended yet
    volatile LONG loop_ticks;    // main-loop rounds completed (tests wait on it)
    volatile LONG startup_done;  // start-up (including its scan) finished
};
extern EngineState g_engine;

// The shipped configuration for a role.
EngineConfig engine_defaults(bool tray_role);
// Installs a configuration and re-arms the engine: clears the stop flag and
// the wake event. Call before engine_run, never while engine threads run.
void engine_setup(const EngineConfig& cfg);

// "service" or "tray".
const char* engine_role_word();
// "Global\Tallowguard_Stop_Event" or "Local\Tallowguard_Tray_Stop".
const char* engine_stop_event_name();

// The protection loop: start-up, start-up scan, then one round a tick until
// the stop flag is set or the role's stop event is signalled. Returns after
// an orderly stop; ends the process itself after a staged update.
void engine_run();

// An update check staged the updater: log, event, notification, report
// STOPPED under the SCM, and end the process with exit code 0.
void engine_hand_off_to_updater();

// Sets the stop flag, wakes every engine wait, and signals the role's stop
// event (a missing event is ignored). Safe from any thread.
void engine_request_stop();
bool engine_stopping();
// Waits up to `timeout_ms` for the watcher threads to end; true when none
// is left.
bool engine_wait_watchers(DWORD timeout_ms);

// Waits for the wake event up to `ms`; true when the engine is stopping.
bool engine_sleep(DWORD ms);

// ---- actions (actions_win32.cpp) -------------------------------------------
bool engine_is_paused();
void engine_set_paused(bool paused);
int engine_signature_count();
// The tray's "Scan now" and the remote scan-now: a quick scan with the scan
// log entry, last_quick and the counters saved.
void engine_manual_quick_scan();
// One remote command (at most 31 characters count). "uninstall" ends the
// process.
void engine_execute_command(const char* command);
// Reboot thread entry: warns, waits, then restarts the machine.
DWORD WINAPI engine_reboot_thread(LPVOID);

// Thin wrappers other areas use (USB guard, user interface).
int engine_inspect_file(const char* path, char* threat, size_t threat_size);
long engine_quarantine_file(const char* path, const char* threat);
// Event-log entry 0x8FFF0064 and the fleet detection report.
void engine_report_detection(const char* threat, const char* path);

// ---- scheduled scans (schedule_win32.cpp) ------------------------------------
// The start-up missed test; arms the catch-up when a slot was missed.
void schedule_startup_check();
// The once-a-tick due test and, when due, the scheduled full scan.
void schedule_tick();
// The catch-up run (what the loop does once the catch-up wait is over).
void schedule_catch_up();
// Has the loop run the catch-up after its wait (engine_win32.cpp).
void schedule_arm_catch_up();

// ---- realtime watchers (watcher_win32.cpp) ------------------------------------
// One watcher per quick location. The watchers share threads, up to 63
// folders a thread (one wait takes 64 handles, the wake event among them).
void watchers_start();
// Watches `count` folders; returns the number of threads started.
int watchers_start_list(const char (*folders)[TG_PATH_SIZE], int count);
// Watches one folder on a thread of its own; false when the thread could
// not be created.
bool watcher_start(const char* folder);
// Thread entry: takes its folder list (a heap block from watcher_start*)
// and frees it. Result 1 when none of its folders could be opened.
DWORD WINAPI watcher_thread(LPVOID list);
// Whether the realtime watchers inspect files of this name (the executable
// list without lnk and gadget).
bool realtime_ext_watched(const char* path);

// ---- service entry (control_win32.cpp) -----------------------------------------
void WINAPI service_main(DWORD argc, LPSTR* argv);
DWORD WINAPI service_control_handler(DWORD control, DWORD event_type, LPVOID event_data,
                                     LPVOID context);
// The status record last reported (or prepared, outside the SCM).
ServiceStatusRecord service_status_current();
// Reports STOPPED when the process runs under the SCM (update hand-off,
// remote uninstall) and forgets the status handle.
void service_report_stopped();

// ---- tamper PIN (pin_win32.cpp) -------------------------------------------------
bool tamper_pin_is_set();
bool tamper_pin_set(const char* pin);
bool tamper_pin_verify(const char* pin);
