// The daily log, the Windows event log and the notification log.
#pragma once

#include "common/text.h"
#include "common/win.h"

// Appends "[time] [LEVEL] message" to today's log file and echoes it to the
// console. Safe from any thread.
void log_msg(const char* level, const char* fmt, ...) TG_PRINTF(2, 3);

// Windows event log: one event under the "Tallowguard" source; absent (null)
// insertion strings are skipped. Types: 1 error, 2 warning, 4 information.
void report_event(DWORD event_id, WORD type, const char* s1 = nullptr, const char* s2 = nullptr,
                  const char* s3 = nullptr);
// Registers the event source with `message_file` as its message table.
void register_event_source(const char* message_file);

// Adds one alert line to the notification log.
void notify_log_append(const char* title, const char* text);
