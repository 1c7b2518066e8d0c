// File reading helpers shared by hashing and inspection: whole-buffer reads,
// continuing a digest to the end of a file, and a small pool of the large
// read buffers so that a scan does not map fresh pages for every file. Also
// the giving back of what a scan leaves behind once it is over: the pooled
// buffers and the written stack pages of its threads.
#pragma once

#include "common/win.h"
#include "detect/sha256.h"

#include <cstddef>
#include <string>

// Opens the file `path` names by its "\\?\" form (so that "nul.exe" or
// "name." is that file, not a device or another name) and refuses a handle
// that is not a file on disk (a device, a pipe): that one is closed, logged
// (WARN) and the result is INVALID_HANDLE_VALUE with ERROR_BAD_FILE_TYPE.
// `flags` are CreateFileW's; the share modes and OPEN_EXISTING are the
// caller's to choose.
HANDLE open_disk_file(const char* path, DWORD access, DWORD share, DWORD flags);

// Sizes of the two parts of a pooled buffer: the head that inspection keeps
// for its checks, and the block the rest of a file is hashed through.
constexpr size_t TG_READ_BLOCK_BYTES = 1048576;

// A buffer of `head_size` + `block_size` bytes; head and block do not overlap.
struct ReadBuffers {
    unsigned char* head;
    size_t head_size;
    unsigned char* block;
    size_t block_size;
    void* owned; // pooled allocation, or null when the fallback below is in use
    unsigned char fallback[2][4096];
};

// Takes a pooled buffer (head TG_INSPECT_HEAD_BYTES, block
// TG_READ_BLOCK_BYTES). When memory runs out it falls back to the two 4 KiB
// arrays inside the struct, so callers always get usable buffers.
void read_buffers_take(ReadBuffers* b);
// Gives the buffer back to the pool (or frees it when the pool is full).
void read_buffers_give(ReadBuffers* b);
// Frees the buffers the pool holds. Called when a scan or a batch of the
// realtime watchers is over: the service then idles for hours, and a
// buffer in use elsewhere meanwhile only comes back to a smaller pool.
void read_buffers_trim();

// A zero-filled block of `bytes` straight from the system, for the large
// lists a scan or the watchers need for a moment: given back with
// page_block_free, it leaves no written pages behind in the heap. Null when
// memory runs out.
void* page_block_alloc(size_t bytes);
// Gives back a block from page_block_alloc; null is ignored.
void page_block_free(void* block);

// Tells the system that the calling thread's stack below its current frame
// (less a margin for the calls made from there) holds nothing of interest,
// so that those pages stop taking memory until they are used again. Under
// Wine about 1 MB of every thread's stack is written before the thread's
// code runs, and the pages a deep call wrote stay taken; the long-lived
// threads call this before they wait, and short-lived ones before they end
// (Wine keeps the stack of the last thread that ended). Best effort.
void thread_stack_trim();

// Reads until `size` bytes are in `buf`, the end of the file or a read
// error; returns how many bytes were read.
size_t read_full(HANDLE h, unsigned char* buf, size_t size);

// Feeds the rest of the file, from the handle's position to its end, through
// `block` into the digest. A read error ends it (the digest then covers the
// bytes read so far).
void sha256_feed_rest(HANDLE h, Sha256Ctx* ctx, unsigned char* block, size_t block_size);
