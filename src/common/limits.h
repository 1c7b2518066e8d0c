// Fixed limits shared by every area. Text longer than a limit is cut to fit;
// nothing is ever written past a buffer.
#pragma once

#include <cstddef>

constexpr size_t TG_PATH_SIZE = 1024; // paths: at most 1023 characters, longer ones are cut
constexpr size_t TG_SETTING_LINE_SIZE =
    1024; // a settings line is read in pieces of at most 1023 bytes
constexpr size_t TG_SETTINGS_SLOTS =
    256; // lines the settings writer expects; longer files are kept whole
constexpr size_t TG_LOG_MESSAGE_SIZE =
    4096; // a log message is cut to 4095 bytes; the line still ends in LF
constexpr size_t TG_NOTIFY_TITLE_SIZE = 192; // escaped notification title, terminator included
constexpr size_t TG_NOTIFY_TEXT_SIZE = 384;  // escaped notification text, terminator included
constexpr size_t TG_NOTIFY_LINE_SIZE =
    768; // notification log lines are read in pieces of at most 767 bytes
constexpr size_t TG_NOTIFY_KEEP = 25; // lines the notification log holds; older ones are dropped
constexpr size_t TG_SYSTEM_DRIVE_SIZE = 8; // SystemDrive value; a longer value falls back to "C:"
constexpr size_t TG_SERVER_URL_SIZE =
    512; // server URL: at most 511 characters, longer ones are cut
