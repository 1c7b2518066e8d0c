// The command-line scans and quarantine actions (detection engine). Each
// opens the console, does its work and returns the process exit code.
#pragma once

int cmd_scan_quick();
int cmd_scan_full();
int cmd_scan(const char* path);
int cmd_quarantine_restore(const char* id_text);
int cmd_quarantine_delete(const char* id_text);
