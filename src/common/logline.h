// Daily log and console echo formatting (pure).
#pragma once

#include "common/localtime.h"

#include <cstddef>
#include <string>

// "<logs_dir>\tallowguard-YYYY-MM-DD.log" for the given day, cut to `size`.
void log_file_name(char* out, size_t size, const char* logs_dir, const LocalTime& t);

// "[YYYY-MM-DD hh:mm:ss] [LEVEL] message\n". The message is cut to 4095
// bytes; the line always ends with its line feed.
std::string log_format_line(const LocalTime& t, const char* level, const char* message);

// "[LEVEL] message\n", the console echo of the same message.
std::string log_format_echo(const char* level, const char* message);

// "YYYY-MM-DD hh:mm:ss" into `out` (at least 20 bytes).
void format_local_timestamp(char* out, size_t size, const LocalTime& t);
