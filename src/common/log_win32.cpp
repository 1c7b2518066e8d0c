#include "common/log_win32.h"

#include "common/clock_win32.h"
#include "common/console_win32.h"
#include "common/eventlog.h"
#include "common/files_win32.h"
#include "common/handles.h"
#include "common/limits.h"
#include "common/localtime.h"
#include "common/logline.h"
#include "common/notifylog.h"
#include "common/paths_win32.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void log_msg(const char* level, const char* fmt, ...)
{
    char msg[TG_LOG_MESSAGE_SIZE];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(msg, sizeof(msg), fmt, ap);
    va_end(ap);
    if (n < 0)
        msg[0] = '\0';

    LocalTime t = clock_now();
    make_dir_path(g_app.paths.logs_dir);
    char file[TG_PATH_SIZE];
    log_file_name(file, sizeof(file), g_app.paths.logs_dir, t);
    // Append-only handle: each line goes out in one write at the end of the
    // file, so lines of different threads and processes never interleave.
    HandleHolder h(CreateFileA(file, FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.ok())
        return;
    std::string line = log_format_line(t, level, msg);
    DWORD done = 0;
    WriteFile(h.get(), line.data(), static_cast<DWORD>(line.size()), &done, nullptr);
    h.reset();
    if (g_app.console) {
        std::string echo = log_format_echo(level, msg);
        console_write(echo.data(), echo.size());
    }
}

void report_event(DWORD event_id, WORD type, const char* s1, const char* s2, const char* s3)
{
    HANDLE src = RegisterEventSourceA(nullptr, "Tallowguard");
    if (src == nullptr)
        return;
    const char* strings[3];
    WORD count = static_cast<WORD>(event_strings(s1, s2, s3, strings));
    ReportEventA(src, type, 0, event_id, nullptr, count, 0, count ? strings : nullptr, nullptr);
    DeregisterEventSource(src);
}

void register_event_source(const char* message_file)
{
    HKEY key = nullptr;
    LONG rc =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                        "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tallowguard",
                        0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        log_msg("WARN", "could not register event log source");
        return;
    }
    RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE*>(message_file),
                   static_cast<DWORD>(strlen(message_file) + 1));
    DWORD types = 7;
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                   sizeof(types));
    RegCloseKey(key);
    log_msg("INFO", "event log source registered");
}

void notify_log_append(const char* title, const char* text)
{
    const char* path = g_app.paths.notify_log;
    if (path[0] == '\0')
        return;
    std::string line = notify_format_line(clock_now(), title, text);
    // Writers in the service's threads and other processes take turns, so
    // that no alert is lost to a concurrent rewrite.
    FileLock lock(path);
    std::string old;
    FileRead r = file_read_existing(path, &old);
    if (r == FileRead::Unreadable)
        return;
    bool exists = r == FileRead::Read;
    file_replace_atomic(path, notify_rewrite(exists ? old.data() : nullptr, old.size(), line));
}
