// Appending to the scan log scans.log.
#pragma once

// Adds "time|kind|seconds|files|threats" to scans.log, keeping the newest 200 lines.
void scans_log_append(const char* kind, long seconds, long files, long threats);
