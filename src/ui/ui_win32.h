// What the engine posts to the tray window. Nothing is sent while this
// process has no tray window (service, command line).
#pragma once

#include "common/win.h"

extern HWND ui_window;

// Posts a detection notice (threat, path) to the tray window.
void ui_post_threat(const char* threat, const char* path);
// Posts a titled alert (title, text) to the tray window.
void ui_post_alert(const char* title, const char* text);
