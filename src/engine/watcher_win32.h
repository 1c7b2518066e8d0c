// The realtime file watchers.
#pragma once

#include "common/limits.h"
#include "common/win.h"

// One watcher per quick location. The watchers share threads, up to 63
// folders a thread (one wait takes 64 handles, the wake event among them).
void watchers_start();
// Watches `count` folders; returns the number of threads started.
int watchers_start_list(const char (*folders)[TG_PATH_SIZE], int count);
// Watches one folder on a thread of its own; false when the thread could
// not be created.
bool watcher_start(const char* folder);
// Thread entry: takes its folder list (a heap block from watcher_start*)
// and frees it. Result 1 when none of its folders could be opened.
DWORD WINAPI watcher_thread(LPVOID list);
// Whether the realtime watchers inspect files of this name (the executable
// list without lnk and gadget).
bool realtime_ext_watched(const char* path);
