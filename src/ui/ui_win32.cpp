#include "ui/ui_win32.h"

#include <cstdlib>
#include <cstring>

HWND ui_window = nullptr;

void ui_post_threat(const char* threat, const char* path)
{
    HWND w = ui_window;
    if (w == nullptr || threat == nullptr || path == nullptr)
        return;
    // Both strings, each with its NUL, in one heap block that the window
    // procedure frees.
    size_t a = strlen(threat) + 1, b = strlen(path) + 1;
    char* block = static_cast<char*>(malloc(a + b));
    if (block == nullptr)
        return;
    memcpy(block, threat, a);
    memcpy(block + a, path, b);
    if (!PostMessageA(w, WM_APP + 12, 0, reinterpret_cast<LPARAM>(block)))
        free(block);
}
