#include "detect/scanlog_win32.h"

#include "common/clock_win32.h"
#include "common/files_win32.h"
#include "common/paths_win32.h"
#include "detect/scanlog.h"

#include <string>

void scans_log_append(const char* kind, long seconds, long files, long threats)
{
    const char* path = g_app.paths.scans_log;
    if (path[0] == '\0')
        return;
    char line[TG_SCANLOG_LINE_SIZE];
    scanlog_format_line(line, sizeof(line), clock_now(), kind, seconds, files, threats);
    // The service, the tray and command-line scans all append here: the
    // read-modify-write runs under the file's lock, and the new text replaces
    // the old in one move, so a crash never leaves a half-written log.
    FileLock lock(path);
    std::string old;
    if (file_read_existing(path, &old) == FileRead::Unreadable)
        return; // do not replace it with one line
    std::string text = scanlog_rewrite(old.data(), old.size(), line);
    file_replace_atomic(path, text);
}
