// Console text of the one-shot commands.
#pragma once

#include "common/text.h"

#include <cstddef>

// Binds console output once: a redirected standard output (file, pipe) is
// used as it is; otherwise the parent's console is attached, or a new one
// allocated. Leaves the flag clear when nothing can be had.
void console_open();
void console_print(const char* fmt, ...) TG_PRINTF(1, 2);
void console_write(const char* text, size_t len);
// Reads one line from standard input (without its line end); false at end.
bool console_read_line(char* out, size_t size);
