// The small engine actions: pause and resume, the manual quick scan, the
// remote commands the heartbeat brings, the remote reboot, and the thin
// wrappers other areas reach the detection engine through.
#pragma once

#include "common/win.h"

#include <cstddef>

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
// Event-log entry TG_MSG_THREAT_DETECTED and the fleet detection report.
void engine_report_detection(const char* threat, const char* path);
