// SHA-256 compression with the x86 SHA extensions (SHA-NI).
#pragma once

#include <cstddef>
#include <cstdint>

// Runs `blocks` 64-byte blocks of `data` through `state`. May only be called
// when sha256_hw_available() is true.
void sha256_compress_shani(uint32_t state[8], const uint8_t* data, size_t blocks);
// SHA-NI over `blocks` blocks of `data` and then `tail_blocks` blocks of
// `tail`, the state kept in registers between the two (the one-shot digest).
void sha256_compress_shani_two(uint32_t state[8], const uint8_t* data, size_t blocks,
                               const uint8_t* tail, size_t tail_blocks);
// Whether this CPU has SHA-NI with SSSE3 and SSE4.1.
bool sha256_shani_cpu();
