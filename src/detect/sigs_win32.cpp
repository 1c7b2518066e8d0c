#include "detect/sigs_win32.h"

#include "common/handles.h"
#include "common/paths_win32.h"
#include "detect/fileio_win32.h"
#include "detect/sigs.h"

#include <atomic>
#include <cstdint>
#include <cstring>

// Feeds signatures.db block by block into `b`.
static void feed_file(SigBuilder* b, HANDLE h)
{
    ReadBuffers buf;
    read_buffers_take(&buf);
    unsigned char* block = buf.head;
    size_t size = buf.owned != nullptr ? buf.head_size + buf.block_size : buf.head_size;
    for (bool first = true;; first = false) {
        size_t n = read_full(h, block, size);
        if (n == 0)
            break;
        // A UTF-8 byte-order mark (editors save one) is no part of the
        // first line.
        size_t skip = first && n >= 3 && memcmp(block, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
        sig_builder_feed(b, reinterpret_cast<const char*>(block) + skip, n - skip);
        if (n < size)
            break;
    }
    read_buffers_give(&buf);
}

// Builds base (the current list, or only the built-in entry for a reload)
// plus the file aside and publishes it in one swap.
static void load(bool reload)
{
    HandleHolder h(CreateFileA(g_app.paths.signatures_db, GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!h.ok() && !reload)
        return;
    LARGE_INTEGER size{};
    if (h.ok())
        GetFileSizeEx(h.get(), &size);
    // The hint only reserves memory; a file larger than the address space
    // is read without one.
    size_t hint = size.QuadPart > 0 && static_cast<unsigned long long>(size.QuadPart) <
                                           static_cast<unsigned long long>(SIZE_MAX / 2)
                      ? static_cast<size_t>(size.QuadPart)
                      : 0;
    SigBuilderPtr b(sig_builder_new(hint));
    if (!b)
        return;
    if (reload) {
        if (!sig_builder_add_builtin(b.get()))
            return;
    } else if (!sig_builder_add_table(b.get(), sigs_snapshot().get())) {
        return;
    }
    if (h.ok())
        feed_file(b.get(), h.get());
    SigSnapshot t = sig_builder_finish(b.get());
    if (t)
        sigs_publish(t);
}

void sigs_load()
{
    load(false);
}

void sigs_reload()
{
    load(true);
}

void sigs_startup()
{
    sigs_add_builtin();
    sigs_load();
}

// The background load: g_ready is false from its start until the table it
// built is published; the thread's handle is signalled when it ends.
static std::atomic<bool> g_ready{true};
static HandleHolder g_loader;

static DWORD WINAPI load_thread(LPVOID)
{
    sigs_load();
    g_ready.store(true, std::memory_order_release);
    return 0;
}

void sigs_startup_background()
{
    sigs_add_builtin();
    g_ready.store(false, std::memory_order_relaxed);
    g_loader.reset(CreateThread(nullptr, 0, load_thread, nullptr, 0, nullptr));
    if (!g_loader.ok()) {
        sigs_load();
        g_ready.store(true, std::memory_order_release);
    }
}

bool sigs_ready()
{
    return g_ready.load(std::memory_order_acquire);
}

void sigs_wait_ready()
{
    if (!sigs_ready())
        WaitForSingleObject(g_loader.get(), INFINITE);
}

void sigs_write_default()
{
    if (file_exists(g_app.paths.signatures_db))
        return;
    // CREATE_NEW: a file written by someone else meanwhile is left alone.
    HandleHolder h(CreateFileA(g_app.paths.signatures_db, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.ok())
        return;
    DWORD n = 0;
    WriteFile(h.get(), SIGS_DEFAULT_TEXT, static_cast<DWORD>(strlen(SIGS_DEFAULT_TEXT)), &n,
              nullptr);
}
