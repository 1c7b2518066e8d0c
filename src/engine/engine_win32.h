// The protection loop shared by the service and the tray: its state, its
// configuration, start and stop.
//
// State lives in g_engine. Its waits come from an EngineTimings, its clocks
// and the work it drives from function pointers, so that a test can run the
// real loop in-process with shrunken waits, a fake clock and recorded
// scans. engine_setup() with engine_defaults() gives the shipped program.
#pragma once

#include "common/localtime.h"
#include "common/win.h"
#include "detect/scan_win32.h"
#include "engine/timers.h"

#include <cstddef>
#include <cstdint>

#define TG_ENGINE_VERSION "1.4.4"

// Where the engine takes the time from.
struct EngineClock {
    uint32_t (*ticks)();       // milliseconds since boot, wrapping (GetTickCount)
    LocalTime (*local_time)(); // the local wall clock (clock_now)
};

// The work the loop drives. engine_defaults() points these at the
// detection shell, the fleet client and the guards; the last three come
// from the layers above the engine, which fill them in (a null one is
// skipped).
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
    int (*uninstall_run)(); // the remote "uninstall" (installation)
    // What the tray shows, when this process has a tray window.
    void (*post_threat)(const char* threat, const char* path); // a realtime detection
    void (*post_alert)(const char* title, const char* text);   // the remote reboot's warning
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

// Has the loop run the catch-up after its wait.
void schedule_arm_catch_up();
