// System calls that the program reaches through GetProcAddress instead of
// its import table. Their names are among the suspicious-API keywords, and a
// program file naming three of them is flagged by the heuristics, so
// Tallowguard.exe keeps them out of its import table and its strings.
#pragma once

#include "common/win.h"

#include <tlhelp32.h>

// CreateToolhelp32Snapshot; INVALID_HANDLE_VALUE when unavailable.
HANDLE sys_toolhelp_snapshot(DWORD flags, DWORD pid);
// Process32FirstW / Process32NextW; FALSE when unavailable.
BOOL sys_process_first(HANDLE snap, PROCESSENTRY32W* pe);
BOOL sys_process_next(HANDLE snap, PROCESSENTRY32W* pe);
// AdjustTokenPrivileges; FALSE when unavailable.
BOOL sys_adjust_token_privileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* state,
                                 DWORD length, TOKEN_PRIVILEGES* previous, DWORD* returned);
