// SHA-256: published vectors, every short length against an independent
// reference, chunked feeding, and the two compression paths against each
// other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "detect/sha256.h"
#include "detect/sha256_shani.h"

namespace {

// A deliberately plain SHA-256 (a whole padded message, word by word) to
// check the fast paths against.
std::string reference_sha256_hex(const std::vector<uint8_t>& msg)
{
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };

    std::vector<uint8_t> m = msg;
    const uint64_t bits = static_cast<uint64_t>(msg.size()) * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) {
        m.push_back(0);
    }
    for (int i = 7; i >= 0; --i) {
        m.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    }
    for (size_t off = 0; off < m.size(); off += 64) {
        uint32_t w[64];
        for (int t = 0; t < 16; ++t) {
            w[t] = static_cast<uint32_t>(m[off + 4 * t]) << 24 |
                   static_cast<uint32_t>(m[off + 4 * t + 1]) << 16 |
                   static_cast<uint32_t>(m[off + 4 * t + 2]) << 8 | m[off + 4 * t + 3];
        }
        for (int t = 16; t < 64; ++t) {
            const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        uint32_t v[8];
        memcpy(v, h, sizeof(v));
        for (int t = 0; t < 64; ++t) {
            const uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
            const uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
            const uint32_t t1 = v[7] + s1 + ch + k[t] + w[t];
            const uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
            const uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            for (int j = 7; j > 0; --j) {
                v[j] = v[j - 1];
            }
            v[4] += t1;
            v[0] = t1 + s0 + maj;
        }
        for (int j = 0; j < 8; ++j) {
            h[j] += v[j];
        }
    }
    char out[65];
    for (int j = 0; j < 8; ++j) {
        snprintf(out + 8 * j, 9, "%08x", h[j]);
    }
    return out;
}

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return v;
}

std::string hex_of(const void* data, size_t n)
{
    char out[65];
    sha256_hex(data, n, out);
    return out;
}

std::string hex_chunked(const std::vector<uint8_t>& msg, const std::vector<size_t>& pieces)
{
    Sha256Ctx ctx;
    sha256_init(&ctx);
    size_t off = 0;
    for (size_t i = 0; off < msg.size(); ++i) {
        const size_t n = std::min(pieces[i % pieces.size()], msg.size() - off);
        sha256_update(&ctx, msg.data() + off, n);
        off += n;
    }
    uint8_t digest[32];
    sha256_final(&ctx, digest);
    char out[65];
    sha256_digest_hex(digest, out);
    return out;
}

// Runs every test on both compression paths; the SHA-NI run is skipped, and
// says so, on a CPU without it.
class Sha256Paths : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override
    {
        if (GetParam() && !sha256_hw_available()) {
            GTEST_SKIP() << "this CPU has no SHA extensions";
        }
        ASSERT_EQ(sha256_use_hw(GetParam()), GetParam());
    }
    void TearDown() override { sha256_use_hw(true); }
};

TEST_P(Sha256Paths, PublishedVectors)
{
    struct Case {
        std::string msg;
        const char* digest;
    };
    const Case cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hex_of(c.msg.data(), c.msg.size()), c.digest) << "length " << c.msg.size();
    }
    EXPECT_EQ(hex_of(nullptr, 0), cases[1].digest);
}

// Digests of the byte pattern (7i + 3) mod 256 as sha256sum gives them,
// around the padding edges (55/56 bytes fit one or two final blocks).
TEST_P(Sha256Paths, PatternDigestsFromSha256sum)
{
    struct Case {
        size_t n;
        const char* digest;
    };
    const Case cases[] = {
        {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
        {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
        {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
        {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
        {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
        {119, "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e"},
        {120, "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5"},
        {300, "04773f8726c81cafcfa1a09a82664b98b00d2021031a1715bca1154f2dad3472"},
        {1000, "1e9bc38cbf860b9ec31918b065f9b52476c549a782e0e7990bed8ce3868d2371"},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> msg = pattern(c.n);
        EXPECT_EQ(hex_of(msg.data(), msg.size()), c.digest) << "length " << c.n;
        EXPECT_EQ(reference_sha256_hex(msg), c.digest) << "reference, length " << c.n;
    }
}

TEST_P(Sha256Paths, EveryLengthUpTo300MatchesReference)
{
    std::mt19937 rng(300);
    for (size_t n = 0; n <= 300; ++n) {
        std::vector<uint8_t> msg(n);
        for (uint8_t& b : msg) {
            b = static_cast<uint8_t>(rng());
        }
        ASSERT_EQ(hex_of(msg.data(), n), reference_sha256_hex(msg)) << "length " << n;
    }
}

TEST_P(Sha256Paths, PiecesGiveTheSameDigest)
{
    std::mt19937 rng(7);
    std::vector<uint8_t> msg(5000);
    for (uint8_t& b : msg) {
        b = static_cast<uint8_t>(rng());
    }
    const std::string whole = hex_of(msg.data(), msg.size());
    EXPECT_EQ(whole, reference_sha256_hex(msg));
    const std::vector<std::vector<size_t>> splits = {
        {1}, {63}, {64}, {65}, {127, 1}, {3, 64, 200, 1, 0, 640}, {4999}};
    for (const auto& pieces : splits) {
        EXPECT_EQ(hex_chunked(msg, pieces), whole) << "first piece " << pieces[0];
    }
    for (int round = 0; round < 20; ++round) {
        std::vector<size_t> pieces;
        for (int i = 0; i < 40; ++i) {
            pieces.push_back(rng() % 300);
        }
        pieces.push_back(1);
        EXPECT_EQ(hex_chunked(msg, pieces), whole) << "random pieces, round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, Sha256Paths, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ShaNi" : "Portable";
                         });

// Many blocks in one call must chain the state exactly as one at a time.
TEST(Sha256Compress, MultiBlockCallsAgreeAcrossPaths)
{
    if (!sha256_hw_available()) {
        GTEST_SKIP() << "this CPU has no SHA extensions";
    }
    std::mt19937 rng(11);
    std::vector<uint8_t> data(64 * 37);
    for (uint8_t& b : data) {
        b = static_cast<uint8_t>(rng());
    }
    uint32_t start[8];
    for (uint32_t& w : start) {
        w = rng();
    }
    uint32_t a[8], b[8], c[8];
    memcpy(a, start, sizeof(a));
    memcpy(b, start, sizeof(b));
    memcpy(c, start, sizeof(c));
    sha256_compress_portable(a, data.data(), 37);
    sha256_compress_shani(b, data.data(), 37);
    for (size_t i = 0; i < 37; ++i) {
        sha256_compress_shani(c, data.data() + 64 * i, 1);
    }
    EXPECT_EQ(0, memcmp(a, b, sizeof(a)));
    EXPECT_EQ(0, memcmp(a, c, sizeof(a)));
}

TEST(Sha256Text, HexIsLowerCaseHighNibbleFirst)
{
    uint8_t digest[32];
    for (int i = 0; i < 32; ++i) {
        digest[i] = static_cast<uint8_t>(i == 0 ? 0xa5 : i * 8 + 1);
    }
    char out[66];
    memset(out, 'X', sizeof(out));
    sha256_digest_hex(digest, out);
    EXPECT_EQ(std::string(out, 4), "a509");
    EXPECT_EQ(out[64], '\0');
    EXPECT_EQ(out[65], 'X') << "wrote past the 65 bytes";
    EXPECT_EQ(strspn(out, "0123456789abcdef"), 64u);
}

TEST(Sha256Text, ParseHex)
{
    const char* lower = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    const char* upper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    uint8_t a[32], b[32];
    ASSERT_EQ(sha256_parse_hex(lower, a), 1);
    ASSERT_EQ(sha256_parse_hex(upper, b), 1);
    EXPECT_EQ(0, memcmp(a, b, 32));
    char back[65];
    sha256_digest_hex(a, back);
    EXPECT_STREQ(back, lower);

    std::string bad = lower;
    bad[63] = 'g';
    EXPECT_EQ(sha256_parse_hex(bad.c_str(), a), 0);
    // Short strings in buffers of exactly their size, the NUL at an even
    // and an odd place: the parser must stop at the NUL (AddressSanitizer
    // reports a read past it).
    for (size_t len : {10u, 11u, 0u}) {
        std::vector<char> shortbuf(lower, lower + len);
        shortbuf.push_back('\0');
        EXPECT_EQ(sha256_parse_hex(shortbuf.data(), a), 0) << "length " << len;
    }
}

} // namespace
