#include "detect/fileio_win32.h"

#include "common/log_win32.h"
#include "common/widetext_win32.h"
#include "detect/limits_scan.h"

#include <algorithm>
#include <cstdlib>

HANDLE open_disk_file(const char* path, DWORD access, DWORD share, DWORD flags)
{
    const std::wstring w = verbatim_path(path);
    if (w.empty()) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = CreateFileW(w.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return h;
    const DWORD type = GetFileType(h);
    if (type == FILE_TYPE_DISK)
        return h;
    CloseHandle(h);
    log_msg("WARN", "%s is not a file on disk (type %lu); not opened", path, type);
    SetLastError(ERROR_BAD_FILE_TYPE);
    return INVALID_HANDLE_VALUE;
}

// A few buffers are kept between files: one per scanning thread is the
// common case (a scan plus a watcher or two).
static const int kPoolSlots = 4;
static void* volatile g_pool[kPoolSlots];

void read_buffers_take(ReadBuffers* b)
{
    void* p = nullptr;
    for (int i = 0; i < kPoolSlots && p == nullptr; i++)
        p = InterlockedExchangePointer(const_cast<void**>(&g_pool[i]), nullptr);
    if (p == nullptr)
        p = malloc(TG_INSPECT_HEAD_BYTES + TG_READ_BLOCK_BYTES);
    b->owned = p;
    if (p != nullptr) {
        b->head = static_cast<unsigned char*>(p);
        b->head_size = TG_INSPECT_HEAD_BYTES;
        b->block = b->head + TG_INSPECT_HEAD_BYTES;
        b->block_size = TG_READ_BLOCK_BYTES;
    } else {
        b->head = b->fallback[0];
        b->head_size = sizeof(b->fallback[0]);
        b->block = b->fallback[1];
        b->block_size = sizeof(b->fallback[1]);
    }
}

void read_buffers_give(ReadBuffers* b)
{
    void* p = b->owned;
    b->owned = nullptr;
    if (p == nullptr)
        return;
    for (int i = 0; i < kPoolSlots; i++)
        if (InterlockedCompareExchangePointer(const_cast<void**>(&g_pool[i]), p, nullptr) ==
            nullptr)
            return;
    free(p);
}

void read_buffers_trim()
{
    for (int i = 0; i < kPoolSlots; i++)
        free(InterlockedExchangePointer(const_cast<void**>(&g_pool[i]), nullptr));
}

void* page_block_alloc(size_t bytes)
{
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void page_block_free(void* block)
{
    if (block != nullptr)
        VirtualFree(block, 0, MEM_RELEASE);
}

// Stack left alone below the caller's frame: the frames of the calls made
// from there down to the system call (a few hundred bytes) live in it.
static const ULONG_PTR kStackTrimMargin = 16 * 1024;
static const ULONG_PTR kPageBytes = 4096; // x86 and x64

// The run of committed pages of the calling thread's stack that holds
// `frame`, from the lowest committed page up: the stack's reservation is
// walked from its start (uncommitted part, guard page, committed part), as
// VirtualQuery only looks forward from the address it is given.
static bool committed_stack(ULONG_PTR frame, MEMORY_BASIC_INFORMATION* run)
{
    if (VirtualQuery(reinterpret_cast<void*>(frame), run, sizeof(*run)) != sizeof(*run))
        return false;
    char* p = static_cast<char*>(run->AllocationBase);
    for (int i = 0; i < 8; i++) {
        if (VirtualQuery(p, run, sizeof(*run)) != sizeof(*run))
            return false;
        const ULONG_PTR base = reinterpret_cast<ULONG_PTR>(run->BaseAddress);
        if (frame >= base && frame - base < run->RegionSize)
            return run->State == MEM_COMMIT && run->Protect == PAGE_READWRITE;
        p = static_cast<char*>(run->BaseAddress) + run->RegionSize;
    }
    return false;
}

// Out of line, so that `here` lies below every frame of the caller.
__attribute__((noinline)) void thread_stack_trim()
{
    volatile char here = 0;
    const ULONG_PTR frame = reinterpret_cast<ULONG_PTR>(&here);
    MEMORY_BASIC_INFORMATION run;
    if (!committed_stack(frame, &run))
        return;
    const ULONG_PTR low = reinterpret_cast<ULONG_PTR>(run.BaseAddress);
    if (frame < low + kStackTrimMargin + kPageBytes)
        return;
    const ULONG_PTR high = (frame - kStackTrimMargin) & ~(kPageBytes - 1);
    // The pages stay committed: the stack may grow into them again later.
    VirtualAlloc(run.BaseAddress, high - low, MEM_RESET, PAGE_READWRITE);
}

size_t read_full(HANDLE h, unsigned char* buf, size_t size)
{
    size_t got = 0;
    while (got < size) {
        DWORD want = static_cast<DWORD>(std::min<size_t>(size - got, 1u << 30));
        DWORD n = 0;
        if (!ReadFile(h, buf + got, want, &n, nullptr) || n == 0)
            break;
        got += n;
    }
    return got;
}

void sha256_feed_rest(HANDLE h, Sha256Ctx* ctx, unsigned char* block, size_t block_size)
{
    for (;;) {
        DWORD n = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(block_size, 1u << 30));
        if (!ReadFile(h, block, want, &n, nullptr) || n == 0)
            return;
        sha256_update(ctx, block, n);
    }
}
