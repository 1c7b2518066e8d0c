// SHA-256 compression with the x86 SHA extensions. Only these functions are
// compiled for SHA-NI (through the target attribute), so the rest of the
// program still runs on CPUs without it; sha256.cpp calls them only after
// sha256_shani_cpu() said yes.
#include "detect/sha256_shani.h"

#include "detect/sha256.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>

namespace {

// The round constants, shared with the portable code (16-byte aligned).
const uint32_t* const kRound = sha256_round_constants;

} // namespace

bool sha256_shani_cpu()
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        return false;
    }
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        return false;
    }
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

// Four rounds of group g (rounds 4g..4g+3) on message words `m`.
#define SHANI_ROUNDS(m, g)                                                                         \
    do {                                                                                           \
        msg = _mm_add_epi32((m),                                                                   \
                            _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * (g))));   \
        cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);                                             \
        msg = _mm_shuffle_epi32(msg, 0x0e);                                                        \
        abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);                                             \
    } while (0)

// Four rounds that also finish the next message words `next` from `cur` and
// `prev`, as the schedule needs them four rounds later.
#define SHANI_ROUNDS_SCHED(cur, prev, next, g)                                                     \
    do {                                                                                           \
        msg = _mm_add_epi32((cur),                                                                 \
                            _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * (g))));   \
        cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);                                             \
        tmp = _mm_alignr_epi8((cur), (prev), 4);                                                   \
        (next) = _mm_add_epi32((next), tmp);                                                       \
        (next) = _mm_sha256msg2_epu32((next), (cur));                                              \
        msg = _mm_shuffle_epi32(msg, 0x0e);                                                        \
        abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);                                             \
    } while (0)

__attribute__((target("sha,sse4.1,ssse3"))) void
sha256_compress_shani_two(uint32_t state[8], const uint8_t* data, size_t blocks,
                          const uint8_t* tail, size_t tail_blocks)
{
    const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);

    // The instructions want the state as ABEF and CDGH.
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i cdgh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    tmp = _mm_shuffle_epi32(tmp, 0xb1);           // CDAB
    cdgh = _mm_shuffle_epi32(cdgh, 0x1b);         // EFGH
    __m128i abef = _mm_alignr_epi8(tmp, cdgh, 8); // ABEF
    cdgh = _mm_blend_epi16(cdgh, tmp, 0xf0);      // CDGH

    // The message's whole blocks, then its padded tail, without leaving
    // the registers in between.
    for (int part = 0; part < 2; ++part) {
        const uint8_t* p = part == 0 ? data : tail;
        for (size_t n = part == 0 ? blocks : tail_blocks; n > 0; --n, p += SHA256_BLOCK_SIZE) {
            const __m128i abef_save = abef;
            const __m128i cdgh_save = cdgh;
            __m128i msg;
            __m128i m0 =
                _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap);
            __m128i m1 =
                _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), swap);
            __m128i m2 =
                _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), swap);
            __m128i m3 =
                _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), swap);

            SHANI_ROUNDS(m0, 0);
            SHANI_ROUNDS(m1, 1);
            m0 = _mm_sha256msg1_epu32(m0, m1);
            SHANI_ROUNDS(m2, 2);
            m1 = _mm_sha256msg1_epu32(m1, m2);
            SHANI_ROUNDS_SCHED(m3, m2, m0, 3);
            m2 = _mm_sha256msg1_epu32(m2, m3);
            SHANI_ROUNDS_SCHED(m0, m3, m1, 4);
            m3 = _mm_sha256msg1_epu32(m3, m0);
            SHANI_ROUNDS_SCHED(m1, m0, m2, 5);
            m0 = _mm_sha256msg1_epu32(m0, m1);
            SHANI_ROUNDS_SCHED(m2, m1, m3, 6);
            m1 = _mm_sha256msg1_epu32(m1, m2);
            SHANI_ROUNDS_SCHED(m3, m2, m0, 7);
            m2 = _mm_sha256msg1_epu32(m2, m3);
            SHANI_ROUNDS_SCHED(m0, m3, m1, 8);
            m3 = _mm_sha256msg1_epu32(m3, m0);
            SHANI_ROUNDS_SCHED(m1, m0, m2, 9);
            m0 = _mm_sha256msg1_epu32(m0, m1);
            SHANI_ROUNDS_SCHED(m2, m1, m3, 10);
            m1 = _mm_sha256msg1_epu32(m1, m2);
            SHANI_ROUNDS_SCHED(m3, m2, m0, 11);
            m2 = _mm_sha256msg1_epu32(m2, m3);
            SHANI_ROUNDS_SCHED(m0, m3, m1, 12);
            m3 = _mm_sha256msg1_epu32(m3, m0);
            SHANI_ROUNDS_SCHED(m1, m0, m2, 13);
            SHANI_ROUNDS_SCHED(m2, m1, m3, 14);
            SHANI_ROUNDS(m3, 15);

            abef = _mm_add_epi32(abef, abef_save);
            cdgh = _mm_add_epi32(cdgh, cdgh_save);
        }
    }

    tmp = _mm_shuffle_epi32(abef, 0x1b);     // FEBA
    cdgh = _mm_shuffle_epi32(cdgh, 0xb1);    // DCHG
    abef = _mm_blend_epi16(tmp, cdgh, 0xf0); // DCBA
    cdgh = _mm_alignr_epi8(cdgh, tmp, 8);    // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), abef);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), cdgh);
}

#undef SHANI_ROUNDS_SCHED
#undef SHANI_ROUNDS

void sha256_compress_shani(uint32_t state[8], const uint8_t* data, size_t blocks)
{
    sha256_compress_shani_two(state, data, blocks, nullptr, 0);
}

#else

// Other architectures: no hardware path; sha256.cpp never calls the stub.
bool sha256_shani_cpu()
{
    return false;
}

void sha256_compress_shani(uint32_t state[8], const uint8_t* data, size_t blocks)
{
    sha256_compress_portable(state, data, blocks);
}

void sha256_compress_shani_two(uint32_t state[8], const uint8_t* data, size_t blocks,
                               const uint8_t* tail, size_t tail_blocks)
{
    sha256_compress_portable(state, data, blocks);
    sha256_compress_portable(state, tail, tail_blocks);
}

#endif
