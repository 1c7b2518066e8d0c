// SHA-256: the context handling, padding, hex text and the portable
// compression function. The SHA-NI compression is in sha256_shani.cpp.
#include "detect/sha256.h"

#include "detect/sha256_shani.h"

#include <atomic>
#include <cstring>

namespace {

typedef void (*CompressFn)(uint32_t state[8], const uint8_t* data, size_t blocks);

} // namespace

alignas(16) extern const uint32_t sha256_round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

namespace {

const uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// Null until the first hash decides; both candidates are safe to race on.
std::atomic<CompressFn> g_compress{nullptr};
// 0 = not probed yet, 1 = no SHA-NI, 2 = SHA-NI available.
std::atomic<int> g_hw_probe{0};

inline uint32_t rotr(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

inline uint32_t load_be32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void store_be32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

CompressFn pick_compress()
{
    CompressFn fn = g_compress.load(std::memory_order_acquire);
    if (fn == nullptr) {
        fn = sha256_hw_available() ? sha256_compress_shani : sha256_compress_portable;
        g_compress.store(fn, std::memory_order_release);
    }
    return fn;
}

} // namespace

// One round with the working variables renamed by the caller instead of
// shifted: only d and h change.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, k, w)                                                 \
    do {                                                                                           \
        uint32_t t1 = (h) + (rotr((e), 6) ^ rotr((e), 11) ^ rotr((e), 25)) +                       \
                      ((g) ^ ((e) & ((f) ^ (g)))) + (k) + (w);                                     \
        uint32_t t2 =                                                                              \
            (rotr((a), 2) ^ rotr((a), 13) ^ rotr((a), 22)) + (((a) & (b)) | ((c) & ((a) | (b))));  \
        (d) += t1;                                                                                 \
        (h) = t1 + t2;                                                                             \
    } while (0)

// Message word i (i >= 16) in the 16-word window.
#define SHA256_SCHEDULE(w, i)                                                                      \
    ((w)[(i)&15] +=                                                                                \
     (rotr((w)[((i)-2) & 15], 17) ^ rotr((w)[((i)-2) & 15], 19) ^ ((w)[((i)-2) & 15] >> 10)) +     \
     (w)[((i)-7) & 15] +                                                                           \
     (rotr((w)[((i)-15) & 15], 7) ^ rotr((w)[((i)-15) & 15], 18) ^ ((w)[((i)-15) & 15] >> 3)))

#define SHA256_EIGHT(i, W)                                                                         \
    do {                                                                                           \
        SHA256_ROUND(a, b, c, d, e, f, g, h, sha256_round_constants[(i) + 0], W((i) + 0));         \
        SHA256_ROUND(h, a, b, c, d, e, f, g, sha256_round_constants[(i) + 1], W((i) + 1));         \
        SHA256_ROUND(g, h, a, b, c, d, e, f, sha256_round_constants[(i) + 2], W((i) + 2));         \
        SHA256_ROUND(f, g, h, a, b, c, d, e, sha256_round_constants[(i) + 3], W((i) + 3));         \
        SHA256_ROUND(e, f, g, h, a, b, c, d, sha256_round_constants[(i) + 4], W((i) + 4));         \
        SHA256_ROUND(d, e, f, g, h, a, b, c, sha256_round_constants[(i) + 5], W((i) + 5));         \
        SHA256_ROUND(c, d, e, f, g, h, a, b, sha256_round_constants[(i) + 6], W((i) + 6));         \
        SHA256_ROUND(b, c, d, e, f, g, h, a, sha256_round_constants[(i) + 7], W((i) + 7));         \
    } while (0)

void sha256_compress_portable(uint32_t state[8], const uint8_t* data, size_t blocks)
{
    uint32_t w[16];
    for (; blocks > 0; --blocks, data += SHA256_BLOCK_SIZE) {
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
#define SHA256_W_LOAD(i) (w[i] = load_be32(data + 4 * (i)))
#define SHA256_W_NEXT(i) SHA256_SCHEDULE(w, i)
        SHA256_EIGHT(0, SHA256_W_LOAD);
        SHA256_EIGHT(8, SHA256_W_LOAD);
        SHA256_EIGHT(16, SHA256_W_NEXT);
        SHA256_EIGHT(24, SHA256_W_NEXT);
        SHA256_EIGHT(32, SHA256_W_NEXT);
        SHA256_EIGHT(40, SHA256_W_NEXT);
        SHA256_EIGHT(48, SHA256_W_NEXT);
        SHA256_EIGHT(56, SHA256_W_NEXT);
#undef SHA256_W_LOAD
#undef SHA256_W_NEXT
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#undef SHA256_EIGHT
#undef SHA256_SCHEDULE
#undef SHA256_ROUND

bool sha256_hw_available()
{
    int probe = g_hw_probe.load(std::memory_order_acquire);
    if (probe == 0) {
        probe = sha256_shani_cpu() ? 2 : 1;
        g_hw_probe.store(probe, std::memory_order_release);
    }
    return probe == 2;
}

bool sha256_use_hw(bool on)
{
    bool hw = on && sha256_hw_available();
    g_compress.store(hw ? sha256_compress_shani : sha256_compress_portable,
                     std::memory_order_release);
    return hw;
}

bool sha256_hw_in_use()
{
    return pick_compress() == sha256_compress_shani;
}

void sha256_init(Sha256Ctx* ctx)
{
    memcpy(ctx->state, kInitial, sizeof(kInitial));
    ctx->length = 0;
    ctx->pending = 0;
}

void sha256_update(Sha256Ctx* ctx, const void* data, size_t length)
{
    if (length == 0) {
        return;
    }
    CompressFn compress = pick_compress();
    const uint8_t* p = static_cast<const uint8_t*>(data);
    ctx->length += length;
    if (ctx->pending > 0) {
        size_t take = SHA256_BLOCK_SIZE - ctx->pending;
        if (take > length) {
            take = length;
        }
        memcpy(ctx->block + ctx->pending, p, take);
        ctx->pending += take;
        p += take;
        length -= take;
        if (ctx->pending < SHA256_BLOCK_SIZE) {
            return;
        }
        compress(ctx->state, ctx->block, 1);
        ctx->pending = 0;
    }
    size_t blocks = length / SHA256_BLOCK_SIZE;
    if (blocks > 0) {
        compress(ctx->state, p, blocks);
        p += blocks * SHA256_BLOCK_SIZE;
        length -= blocks * SHA256_BLOCK_SIZE;
    }
    if (length > 0) {
        memcpy(ctx->block, p, length);
        ctx->pending = length;
    }
}

void sha256_final(Sha256Ctx* ctx, uint8_t digest[SHA256_DIGEST_SIZE])
{
    CompressFn compress = pick_compress();
    uint64_t bits = ctx->length * 8;
    size_t n = ctx->pending;
    ctx->block[n++] = 0x80;
    if (n > SHA256_BLOCK_SIZE - 8) {
        memset(ctx->block + n, 0, SHA256_BLOCK_SIZE - n);
        compress(ctx->state, ctx->block, 1);
        n = 0;
    }
    memset(ctx->block + n, 0, SHA256_BLOCK_SIZE - 8 - n);
    store_be32(ctx->block + 56, static_cast<uint32_t>(bits >> 32));
    store_be32(ctx->block + 60, static_cast<uint32_t>(bits));
    compress(ctx->state, ctx->block, 1);
    for (int i = 0; i < 8; ++i) {
        store_be32(digest + 4 * i, ctx->state[i]);
    }
    ctx->pending = 0;
}

void sha256(const void* data, size_t length, uint8_t digest[SHA256_DIGEST_SIZE])
{
    // One pass: the whole blocks straight from `data`, then the padded
    // tail (one block, or two when fewer than 9 bytes of room are left).
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const size_t blocks = length / SHA256_BLOCK_SIZE;
    const size_t rest = length % SHA256_BLOCK_SIZE;
    uint8_t tail[2 * SHA256_BLOCK_SIZE];
    const size_t tail_blocks = rest < SHA256_BLOCK_SIZE - 8 ? 1 : 2;
    const size_t tail_len = tail_blocks * SHA256_BLOCK_SIZE;
    if (rest > 0) {
        memcpy(tail, p + blocks * SHA256_BLOCK_SIZE, rest);
    }
    tail[rest] = 0x80;
    memset(tail + rest + 1, 0, tail_len - 8 - rest - 1);
    const uint64_t bits = static_cast<uint64_t>(length) * 8;
    store_be32(tail + tail_len - 8, static_cast<uint32_t>(bits >> 32));
    store_be32(tail + tail_len - 4, static_cast<uint32_t>(bits));

    uint32_t state[8];
    memcpy(state, kInitial, sizeof(state));
    const CompressFn compress = pick_compress();
    if (compress == sha256_compress_shani) {
        sha256_compress_shani_two(state, p, blocks, tail, tail_blocks);
    } else {
        compress(state, p, blocks);
        compress(state, tail, tail_blocks);
    }
    for (int i = 0; i < 8; ++i) {
        store_be32(digest + 4 * i, state[i]);
    }
}

void sha256_digest_hex(const uint8_t digest[SHA256_DIGEST_SIZE], char out[65])
{
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < SHA256_DIGEST_SIZE; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 15];
    }
    out[64] = '\0';
}

void sha256_hex(const void* data, size_t length, char out[65])
{
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256(data, length, digest);
    sha256_digest_hex(digest, out);
}

namespace {

// Hex digit values (either case), -1 for any other byte.
struct HexValues {
    int8_t v[256];
    constexpr HexValues() : v()
    {
        for (int i = 0; i < 256; ++i) {
            v[i] = -1;
        }
        for (int i = 0; i < 10; ++i) {
            v['0' + i] = static_cast<int8_t>(i);
        }
        for (int i = 0; i < 6; ++i) {
            v['a' + i] = static_cast<int8_t>(10 + i);
            v['A' + i] = static_cast<int8_t>(10 + i);
        }
    }
};
constexpr HexValues kHexValues;

inline int hex_value(char c)
{
    return kHexValues.v[static_cast<unsigned char>(c)];
}

} // namespace

int sha256_parse_hex(const char* hex, uint8_t digest[SHA256_DIGEST_SIZE])
{
    for (size_t i = 0; i < SHA256_DIGEST_SIZE; ++i) {
        // A NUL fails the first test, so the second character is never read
        // past the end of a short string.
        int hi = hex_value(hex[2 * i]);
        if (hi < 0) {
            return 0;
        }
        int lo = hex_value(hex[2 * i + 1]);
        if (lo < 0) {
            return 0;
        }
        digest[i] = static_cast<uint8_t>((hi << 4) | lo);
    }
    return 1;
}
