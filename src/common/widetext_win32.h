// The one path between ANSI text (the process's code page) and UTF-16.
// Every conversion is exact or fails: a character the other side cannot
// spell is never replaced by '?' or a look-alike, which would name another
// file (or, on a command line, another argument).
//
// Under a UTF-8 ANSI code page every valid UTF-16 text converts exactly;
// an unpaired surrogate does not.
#pragma once

#include "common/win.h"

#include <cstddef>
#include <string>

// ANSI text as UTF-16. False (and *out empty) when the bytes are not valid
// text of the code page.
bool ansi_to_wide(const char* s, std::wstring* out);
// The same into `out` of `cap` characters (terminator included); false when
// it does not convert or does not fit.
bool ansi_to_wide(const char* s, wchar_t* out, size_t cap);

// UTF-16 text (`len` characters, or up to its terminator when `len` is
// npos) in the ANSI code page. False when some character has no exact ANSI
// form; *out then holds an inexact form (stand-in characters) for messages.
bool wide_to_ansi(const wchar_t* w, size_t len, std::string* out);
inline bool wide_to_ansi(const std::wstring& w, std::string* out)
{
    return wide_to_ansi(w.data(), w.size(), out);
}
// The exact form into `out` of `cap` bytes (terminator included); false
// when it is not exact or does not fit (`out` then holds "").
bool wide_to_ansi(const wchar_t* w, char* out, size_t cap);

// The ANSI form of a path that names an existing file or folder: each
// component with no exact ANSI form is replaced by its short (8.3) name.
// False when some component has neither, or the result does not fit in
// `cap` bytes; `out` then holds the inexact form, for messages.
bool wide_path_to_ansi(const std::wstring& path, char* out, size_t cap);

// The "\\?\" form of a path, which the file system takes as it stands: a
// name such as "nul.exe", "CON", "name." or "name " reaches the file of
// that name, not a device, and MAX_PATH does not apply. Relative paths are
// made absolute and "." and ".." components resolved first; a path already
// in "\\?\" or "\\.\" form is left alone. Empty when the text does not
// convert.
std::wstring verbatim_wide(const std::wstring& path);
std::wstring verbatim_path(const char* path);
