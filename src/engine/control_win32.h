// The service entry and its control handler.
#pragma once

#include "common/win.h"
#include "engine/control.h"

// Longest wait for the watcher threads after the loop has returned, before
// the process reports STOPPED and ends anyway. Idle ones end at once; one in
// the middle of inspecting a large file finishes that file first.
constexpr DWORD kWatcherDrainMs = 3000;

void WINAPI service_main(DWORD argc, LPSTR* argv);
DWORD WINAPI service_control_handler(DWORD control, DWORD event_type, LPVOID event_data,
                                     LPVOID context);
// The status record last reported (or prepared, outside the SCM).
ServiceStatusRecord service_status_current();
// Reports STOPPED when the process runs under the SCM (update hand-off,
// remote uninstall) and forgets the status handle.
void service_report_stopped();
