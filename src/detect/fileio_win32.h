// File reading helpers shared by hashing and inspection: whole-buffer reads,
// continuing a digest to the end of a file, and a small pool of the large
// read buffers so that a scan does not map fresh pages for every file.
#pragma once

#include "detect/sha256.h"
#include "frontdoor/win.h"

#include <cstddef>
#include <string>

// The UTF-16 form of a path for the wide file functions. A path of 248
// characters or more is made absolute and given the "\\?\" prefix, which
// lifts the MAX_PATH limit the ANSI functions have (paths here go to 1023
// characters). Empty when the text does not convert.
std::wstring long_wide(const std::wstring& path);
std::wstring long_path(const char* path);
// The ANSI text as UTF-16, as it is (no prefix); false when it does not convert.
bool to_wide(const char* s, std::wstring* out);

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

// Reads until `size` bytes are in `buf`, the end of the file or a read
// error; returns how many bytes were read.
size_t read_full(HANDLE h, unsigned char* buf, size_t size);

// Feeds the rest of the file, from the handle's position to its end, through
// `block` into the digest. A read error ends it (the digest then covers the
// bytes read so far).
void sha256_feed_rest(HANDLE h, Sha256Ctx* ctx, unsigned char* block, size_t block_size);
