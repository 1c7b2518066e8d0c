#include "ui/ui_win32.h"

#include <cstdlib>
#include <cstring>

HWND ui_window = nullptr;

// Both strings, each with its NUL, in one heap block that the window
// procedure frees; nothing is sent without a window.
static void post_pair(UINT msg, const char* a, const char* b)
{
    HWND w = ui_window;
    if (w == nullptr || a == nullptr || b == nullptr)
        return;
    size_t la = strlen(a) + 1, lb = strlen(b) + 1;
    char* block = static_cast<char*>(malloc(la + lb));
    if (block == nullptr)
        return;
    memcpy(block, a, la);
    memcpy(block + la, b, lb);
    if (!PostMessageA(w, msg, 0, reinterpret_cast<LPARAM>(block)))
        free(block);
}

void ui_post_threat(const char* threat, const char* path)
{
    post_pair(WM_APP + 12, threat, path);
}

void ui_post_alert(const char* title, const char* text)
{
    post_pair(WM_APP + 15, title, text);
}
