#include "detect/sha256_win32.h"

#include "common/handles.h"
#include "detect/fileio_win32.h"
#include "detect/sha256.h"

int sha256_file(const char* path, char* out)
{
    HandleHolder h(open_disk_file(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  FILE_FLAG_SEQUENTIAL_SCAN));
    if (!h.ok())
        return -1;
    ReadBuffers b;
    read_buffers_take(&b);
    Sha256Ctx ctx;
    sha256_init(&ctx);
    // Both halves of the pooled buffer make one larger read block here.
    unsigned char* block = b.head;
    size_t size = b.owned != nullptr ? b.head_size + b.block_size : b.head_size;
    sha256_feed_rest(h.get(), &ctx, block, size);
    read_buffers_give(&b);
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_final(&ctx, digest);
    sha256_digest_hex(digest, out);
    return 0;
}
