#include "common/console_win32.h"

#include "common/paths_win32.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

static bool usable_std_handle(HANDLE h)
{
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return false;
    DWORD type = GetFileType(h);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR;
}

void console_open()
{
    if (g_app.console)
        return;
    // Output the caller redirected (a file, a pipe, a script reading us) is
    // used as it is: rebinding it to CONOUT$ would lose the text.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (usable_std_handle(out)) {
        g_app.out = out;
        InterlockedExchange(&g_app.console, 1);
        return;
    }
    if (!AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole())
        return;
    HANDLE con =
        CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (con == INVALID_HANDLE_VALUE)
        return;
    SetStdHandle(STD_OUTPUT_HANDLE, con);
    SetStdHandle(STD_ERROR_HANDLE, con);
    FILE* f = nullptr;
    f = freopen("CONOUT$", "w", stdout);
    f = freopen("CONOUT$", "w", stderr);
    (void)f;
    g_app.out = con;
    InterlockedExchange(&g_app.console, 1);
}

void console_write(const char* text, size_t len)
{
    if (!g_app.console || len == 0)
        return;
    DWORD done = 0;
    WriteFile(g_app.out, text, static_cast<DWORD>(len), &done, nullptr);
}

void console_print(const char* fmt, ...)
{
    if (!g_app.console)
        return;
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) >= sizeof(buf)) {
        // Long text (a status line with a long path): format again on the heap.
        std::vector<char> big(static_cast<size_t>(n) + 1);
        va_start(ap, fmt);
        vsnprintf(big.data(), big.size(), fmt, ap);
        va_end(ap);
        console_write(big.data(), static_cast<size_t>(n));
        return;
    }
    console_write(buf, static_cast<size_t>(n));
}

bool console_read_line(char* out, size_t size)
{
    if (size == 0)
        return false;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE) {
        in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
        if (in == INVALID_HANDLE_VALUE)
            return false;
        SetStdHandle(STD_INPUT_HANDLE, in);
    }
    size_t n = 0;
    bool any = false;
    for (;;) {
        char c;
        DWORD got = 0;
        if (!ReadFile(in, &c, 1, &got, nullptr) || got == 0)
            break;
        any = true;
        if (c == '\n')
            break;
        if (n + 1 < size)
            out[n++] = c;
    }
    out[n] = '\0';
    // Cut at the first CR or LF, as a line typed at a console ends in CRLF.
    for (size_t i = 0; i < n; i++)
        if (out[i] == '\r') {
            out[i] = '\0';
            break;
        }
    return any;
}
