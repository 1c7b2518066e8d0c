// SHA-256 (FIPS 180-4): a streaming init / update / final triple, one-shot
// helpers and lower-case hex text. Two compression paths share the context:
// portable C++ and the x86 SHA extensions (SHA-NI), picked once per process
// from cpuid. Every function is thread-safe for distinct contexts.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t SHA256_DIGEST_SIZE = 32;
constexpr size_t SHA256_BLOCK_SIZE = 64;

struct Sha256Ctx {
    uint32_t state[8];
    uint64_t length;   // bytes fed so far
    uint8_t block[64]; // pending bytes of an incomplete block
    size_t pending;    // how many bytes of `block` are in use (0..63)
};

void sha256_init(Sha256Ctx* ctx);
// Feeds `length` bytes; `data` may be null when `length` is 0.
void sha256_update(Sha256Ctx* ctx, const void* data, size_t length);
// Writes the 32-byte digest. The context must be initialised again before
// it is reused.
void sha256_final(Sha256Ctx* ctx, uint8_t digest[SHA256_DIGEST_SIZE]);

// Digest of a memory buffer.
void sha256(const void* data, size_t length, uint8_t digest[SHA256_DIGEST_SIZE]);

// Digest of a memory buffer as 64 lower-case hex characters (high nibble
// first) and a NUL, into a 65-byte `out`.
void sha256_hex(const void* data, size_t length, char out[65]);

// 64 lower-case hex characters and a NUL for a 32-byte digest.
void sha256_digest_hex(const uint8_t digest[SHA256_DIGEST_SIZE], char out[65]);

// Reads 64 hex digits (either case) into 32 bytes. Returns 1 when all 64
// characters are hex digits, 0 otherwise (then `digest` is unspecified).
// Reads at most 64 characters and stops at a NUL.
int sha256_parse_hex(const char* hex, uint8_t digest[SHA256_DIGEST_SIZE]);

// Compression paths. sha256_hw_available() says whether this CPU has SHA-NI
// (with SSSE3 and SSE4.1). sha256_use_hw(false) forces the portable path,
// sha256_use_hw(true) goes back to SHA-NI when the CPU has it; the result is
// whether SHA-NI is in use afterwards. Both paths give the same digests, so
// switching is safe at any time, even while other threads hash; it is meant
// for tests and benchmarks.
bool sha256_hw_available();
bool sha256_use_hw(bool on);
bool sha256_hw_in_use();

// The portable compression function: runs `blocks` 64-byte blocks of `data`
// through `state`. The SHA-NI one is in sha256_shani.h.
void sha256_compress_portable(uint32_t state[8], const uint8_t* data, size_t blocks);

// The 64 round constants of SHA-256 (16-byte aligned), shared by both
// compression paths.
extern const uint32_t sha256_round_constants[64];
