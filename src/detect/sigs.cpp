// Signature tables: parsing signatures.db text, building the table and
// publishing it.
//
// Table layout. The distinct digests in digest order, each as a 32-byte
// entry (the last 28 bytes of the digest and the offset of its name record),
// found through an ordered linear-probing index of 4-byte slots (the first 4
// digest bytes, big-endian). The slots are grouped by 14 into 64-byte lines,
// each line beginning with the number of the entry of its first used slot
// and a mask of its used slots, so a slot's entry number is the line's base
// plus the used slots before it. A digest's home slot is its first 32 bits
// scaled to the index's home range, which keeps the slots in digest order: a
// digest sits at its home slot or after it, behind every smaller digest. A
// lookup starts at the home slot and stops at the first empty slot or the
// first greater digest. The index is about 84% full: 5.4 bytes a digest, so
// that it mostly stays in the processor's cache; digests are uniformly
// spread (they are SHA-256 outputs), so a miss mostly reads one index line.
// A hit needs its entry as well. So as not to wait for the index line before
// asking for it, a small table of ranks (the number of digests below each of
// 2^k buckets of about 8 digests by their first bits, half a byte a digest)
// gives a guess of the entry's number, and the two lines around the guess are
// fetched along with the index line: the entry is in them 9 times in 10.
// Before all that, a filter of at least 8 bits a digest (a bit set for each
// listed digest at the value of its digest bits 32 and on) turns away about
// 9 in 10 of the digests that are not listed, having read only the filter,
// which stays in the processor's cache: clean files are what a scan mostly
// asks about.
//
// Names. Every distinct name is stored once as a record in one arena; the
// entries hold its offset. A name that ends in a run of digits and the
// characters "-._:/ " (the usual "Win.Trojan.Agent-1234567-0") is kept as a
// stem ("Win.Trojan.Agent-"), stored once in a stem dictionary and named by
// a 16-bit number, and the run, packed two characters a byte:
//   [run length 1..127] [stem number, 16 bits little-endian] [packed run]
// Any other name, or when the dictionary is full, is kept whole:
//   [0x80 | length] [the name's bytes]
// Both arenas carry kNamePad spare bytes at their end, so a name is copied
// out with copies of a fixed size and no loop over its bytes.
//
// Building: the signatures are collected in order (40-byte items: digest,
// name record, sequence number), sorted by digest and sequence, reduced to
// the latest entry of each digest and packed in place, then turned into
// entries in the same buffer while the index is laid out beside them. A
// name is encoded as it is added; equal records are shared through a small
// cache of the records seen lately, so a family name used by many digests is
// stored once.
//
// Readers of the process-wide list. The list is a std::shared_ptr (for
// callers that hold a table) plus a plain pointer to the same table that
// sig_lookup reads. A plain reader announces the table it reads in one of
// kReaders hazard slots; a change publishes the new pointer, then waits until
// no slot names the old table before letting its reference to it go (see
// enter_current and retire).
#include "detect/sigs.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr uint32_t kEmpty = 0xffffffffu; // cache slot not in use
constexpr size_t kReadMax = TG_SIG_LINE_SIZE - 1;
constexpr size_t kNameMax = TG_SIG_NAME_SIZE - 1;
constexpr size_t kInternMin = 1u << 8;             // name records remembered for sharing: at first
constexpr size_t kInternMax = 1u << 16;            // and at most
constexpr size_t kPrefix = 4;                      // digest bytes held in the index
constexpr size_t kLineSlots = 14;                  // index slots in a 64-byte line
constexpr size_t kStemsMax = 1u << 16;             // stems in the dictionary (16-bit numbers)
constexpr size_t kNamePad = TG_SIG_NAME_SIZE + 16; // spare bytes after each arena
constexpr uint8_t kWhole = 0x80;                   // record header: the name kept whole

struct IndexLine {
    uint32_t base; // entry number of the first used slot
    uint32_t mask; // bit i: slot i is used
    uint32_t prefix[kLineSlots];
};

struct SigEntry {
    uint8_t rest[SHA256_DIGEST_SIZE - kPrefix];
    uint32_t name; // record offset in the name arena
};

// A signature while the builder collects them.
struct SigItem {
    uint8_t digest[SHA256_DIGEST_SIZE];
    uint32_t name;
    uint32_t seq; // order of addition: the greater wins among equal digests
};

// A kept signature between deduplication and packing.
struct SigPacked {
    uint8_t digest[SHA256_DIGEST_SIZE];
    uint32_t name;
};

struct InternSlot {
    uint32_t off; // record offset, kEmpty when free
    uint32_t hash;
};

static_assert(sizeof(IndexLine) == 64, "index line layout");
static_assert(sizeof(SigEntry) == 32, "entry layout");
static_assert(sizeof(SigItem) == 40, "item layout");
static_assert(sizeof(SigPacked) == 36, "packed layout");
static_assert(kNameMax < kWhole, "a name length fits a record header");

} // namespace

struct SigTable {
    const IndexLine* lines = nullptr;  // 64-byte aligned inside line_mem
    size_t line_count = 0;             // the last line is always empty
    uint32_t home_range = 0;           // home slots; 0 for a table without digests
    const SigEntry* entries = nullptr; // 32-byte aligned inside entry_mem
    size_t distinct = 0;
    const uint32_t* ranks = nullptr;      // per rank bucket: digests below it; rank_count + 1
    unsigned rank_bits = 0;               // rank buckets: 2^rank_bits, by the first bits
    const uint64_t* filter = nullptr;     // one bit per value of digest bits 32.., see find_entry
    unsigned filter_bits = 0;             // the filter has 2^filter_bits bits
    const uint8_t* names = nullptr;       // name records, kNamePad spare bytes after them
    const char* stems = nullptr;          // stem bytes, kNamePad spare bytes after them
    const uint32_t* stem_index = nullptr; // per stem: offset << 7 | length
    size_t bytes = 0;                     // heap bytes, this struct included
    int count = 0;
    void* line_mem = nullptr;
    void* entry_mem = nullptr;
    void* name_mem = nullptr;
    void* stem_mem = nullptr;
    void* stem_index_mem = nullptr;
    void* rank_mem = nullptr;
    void* filter_mem = nullptr;

    SigTable() = default;
    SigTable(const SigTable&) = delete;
    SigTable& operator=(const SigTable&) = delete;
    ~SigTable()
    {
        free(line_mem);
        free(entry_mem);
        free(name_mem);
        free(stem_mem);
        free(stem_index_mem);
        free(rank_mem);
        free(filter_mem);
    }
};

struct SigBuilder {
    uint8_t* mem = nullptr; // SigItem array while collecting, entries when built
    size_t mem_size = 0;
    size_t items = 0;
    uint8_t* names = nullptr; // name records; names_size counts kNamePad spare bytes
    size_t names_len = 0;
    size_t names_size = 0;
    InternSlot* intern = nullptr; // records seen lately, intern_size of them
    size_t intern_size = 0;
    char* stems = nullptr; // stem bytes; stems_size counts kNamePad spare bytes
    size_t stems_len = 0;
    size_t stems_size = 0;
    uint32_t* stem_index = nullptr; // per stem: offset << 7 | length
    size_t stem_count = 0;
    size_t stem_index_size = 0;
    uint32_t* stem_hash = nullptr; // stem number + 1 per slot, 0 when free
    size_t stem_hash_size = 0;
    int count = 0;
    char carry[TG_SIG_LINE_SIZE]; // a read not yet ended by a line break
    size_t carry_len = 0;
};

namespace {

// The characters of a packed run, by their 4-bit code.
constexpr char kRunChars[] = "0123456789-._:/ ";
static_assert(sizeof(kRunChars) == 17, "16 run characters");

// Run character codes by byte (-1: not a run character), and the two
// characters each packed byte stands for.
struct RunTables {
    int8_t code[256];
    char pair[256][2];
    constexpr RunTables() : code(), pair()
    {
        for (int i = 0; i < 256; ++i) {
            code[i] = -1;
            pair[i][0] = kRunChars[i & 15];
            pair[i][1] = kRunChars[i >> 4];
        }
        for (int i = 0; i < 16; ++i) {
            code[static_cast<unsigned char>(kRunChars[i])] = static_cast<int8_t>(i);
        }
    }
};
constexpr RunTables kRun;

inline bool is_separator(char c)
{
    return c == ' ' || c == '\t' || c == ':' || c == '=';
}

inline uint32_t load_be32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline uint64_t load_be64(const uint8_t* p)
{
    return (static_cast<uint64_t>(load_be32(p)) << 32) | load_be32(p + 4);
}

inline uint64_t load_u64(const uint8_t* p)
{
    uint64_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

inline size_t home_slot(uint32_t key, uint32_t home_range)
{
    return static_cast<size_t>((static_cast<uint64_t>(key) * home_range) >> 32);
}

// Bits set in v, without the popcnt instruction the baseline processors
// lack.
inline unsigned popcount32(uint32_t v)
{
    v -= (v >> 1) & 0x55555555u;
    v = (v & 0x33333333u) + ((v >> 2) & 0x33333333u);
    v = (v + (v >> 4)) & 0x0f0f0f0fu;
    return (v * 0x01010101u) >> 24;
}

// Per byte of x, 0x80 when the byte lies in [lo, hi], else 0; every byte of
// x must be below 0x80 (no sum then carries into the next byte).
inline uint64_t bytes_between(uint64_t x, unsigned lo, unsigned hi)
{
    const uint64_t ones = 0x0101010101010101ull;
    const uint64_t top = 0x8080808080808080ull;
    return (x + ones * (0x80 - lo)) & ~(x + ones * (0x7f - hi)) & top;
}

// Decodes a digest from its 64 hex characters, eight at a time; false when
// any of them is not a hex digit (of either case when `upper`, isxdigit in
// the C locale, else only the lower-case text a digest is written in).
// Reading stops at a NUL, so a shorter C string is never read past its end.
bool decode_hex(const char* text, uint8_t* digest, bool upper)
{
    const uint64_t top = 0x8080808080808080ull;
    uint64_t bad = 0;
    for (size_t i = 0; i < 2 * SHA256_DIGEST_SIZE; i += 8) {
        uint64_t x = 0; // character i in the lowest byte
        for (size_t k = 0; k < 8; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[i + k]);
            if (c == '\0') {
                return false; // the end of the text: nothing after it is read
            }
            x |= static_cast<uint64_t>(c) << (8 * k);
        }
        const uint64_t ascii = x & ~top;
        uint64_t ok = bytes_between(ascii, '0', '9') | bytes_between(ascii, 'a', 'f');
        if (upper) {
            ok |= bytes_between(ascii, 'A', 'F');
        }
        bad |= (x & top) | (ok ^ top);
        // '0'..'9' have bit 6 clear, letters set: value = low nibble + 9 * bit 6.
        const uint64_t v = (x & 0x0f0f0f0f0f0f0f0full) + ((x >> 6) & 0x0101010101010101ull) * 9;
        // Nibble pairs into bytes: character 2k is the high nibble.
        uint64_t t = ((v << 4) | (v >> 8)) & 0x00ff00ff00ff00ffull;
        t = (t | (t >> 8)) & 0x0000ffff0000ffffull;
        t = (t | (t >> 16)) & 0x00000000ffffffffull;
        const uint8_t out[4] = {static_cast<uint8_t>(t), static_cast<uint8_t>(t >> 8),
                                static_cast<uint8_t>(t >> 16), static_cast<uint8_t>(t >> 24)};
        memcpy(digest + i / 2, out, sizeof(out));
    }
    return bad == 0;
}

// Decodes the text of a digest as sig_lookup takes it: true when `text` is
// 64 lower-case hex digits and then its end. One character at a time.
bool decode_digest_text_bytewise(const char* text, uint8_t* digest)
{
    return decode_hex(text, digest, false) && text[2 * SHA256_DIGEST_SIZE] == '\0';
}

#if defined(__SSE2__)
// Sixteen characters at a time. The four loads may read past the end of a
// shorter text, but never past the end of the page its first character is
// on, which is as readable as that character; the bytes after the end are
// not used (the first NUL fails the digit test), hence no address checks
// here. Near a page's end the text is read one character at a time.
__attribute__((no_sanitize("address"))) bool decode_digest_text(const char* text, uint8_t* digest)
{
    constexpr size_t kPage = 4096; // the smallest page of every x86 system
    if (reinterpret_cast<uintptr_t>(text) % kPage > kPage - 2 * SHA256_DIGEST_SIZE) {
        return decode_digest_text_bytewise(text, digest);
    }
    const __m128i below_0 = _mm_set1_epi8('0' - 1);
    const __m128i above_9 = _mm_set1_epi8('9' + 1);
    const __m128i below_a = _mm_set1_epi8('a' - 1);
    const __m128i above_f = _mm_set1_epi8('f' + 1);
    const __m128i low_nibble = _mm_set1_epi8(0x0f);
    const __m128i nine = _mm_set1_epi8(9);
    const __m128i low_byte = _mm_set1_epi16(0x00ff);
    __m128i value[4];
    int ok = 0xffff;
    for (int i = 0; i < 4; ++i) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text) + i);
        // Signed compares: bytes of 0x80 and above are negative, so not digits.
        const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(c, below_0), _mm_cmplt_epi8(c, above_9));
        const __m128i letter =
            _mm_and_si128(_mm_cmpgt_epi8(c, below_a), _mm_cmplt_epi8(c, above_f));
        ok &= _mm_movemask_epi8(_mm_or_si128(digit, letter));
        const __m128i v = _mm_add_epi8(_mm_and_si128(c, low_nibble), _mm_and_si128(letter, nine));
        // Character 2k is the high nibble of byte k: in each 16-bit lane, the
        // low byte shifted up by 4 plus the high byte.
        value[i] =
            _mm_or_si128(_mm_slli_epi16(_mm_and_si128(v, low_byte), 4), _mm_srli_epi16(v, 8));
    }
    // Every character is a digit, so none is the end: the one after them is
    // readable.
    if (ok != 0xffff || text[2 * SHA256_DIGEST_SIZE] != '\0') {
        return false;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(digest), _mm_packus_epi16(value[0], value[1]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(digest + 16), _mm_packus_epi16(value[2], value[3]));
    return true;
}
#else
inline bool decode_digest_text(const char* text, uint8_t* digest)
{
    return decode_digest_text_bytewise(text, digest);
}
#endif

// Whether an entry holds the last 28 bytes of `digest`.
inline bool rest_equal(const SigEntry* e, const uint8_t* digest)
{
    uint32_t a;
    uint32_t b;
    memcpy(&a, e->rest, sizeof(a));
    memcpy(&b, digest + 4, sizeof(b));
    const uint64_t diff = static_cast<uint64_t>(a ^ b) |
                          (load_u64(e->rest + 4) ^ load_u64(digest + 8)) |
                          (load_u64(e->rest + 12) ^ load_u64(digest + 16)) |
                          (load_u64(e->rest + 20) ^ load_u64(digest + 24));
    return diff == 0;
}

// The entry number of a digest, or `table->distinct` when it is not
// listed. The walk starts at the home slot; a miss mostly ends at the first
// slot it reads.
// False when the digest is surely not listed; reads only its bytes 4..11.
inline bool filter_passes(const SigTable* table, const uint8_t* digest)
{
    const uint64_t bit = load_be64(digest + kPrefix) >> (64 - table->filter_bits);
    return (table->filter[bit >> 6] >> (bit & 63) & 1u) != 0;
}

size_t find_entry(const SigTable* table, const uint8_t* digest)
{
    // Most digests asked for are not listed (every clean file's). The filter,
    // small enough to stay in the processor's cache, turns away about 9 in
    // 10 of them before anything else is read.
    if (!filter_passes(table, digest)) {
        return table->distinct;
    }
    const uint32_t key = load_be32(digest);
    // Fetch the likely entry while the index line comes in: digests are
    // spread evenly, so its number is close to the rank interpolated within
    // its rank bucket.
    const uint32_t bucket = key >> (32 - table->rank_bits);
    const uint32_t below = table->ranks[bucket];
    const uint32_t width = table->ranks[bucket + 1] - below;
    const uint32_t within =
        static_cast<uint32_t>((static_cast<uint64_t>(key << table->rank_bits) * width) >> 32);
    // The lines of the entries just before and after the guess: four
    // entries around it, where the digest is 9 times in 10 (the guess is
    // within a bucket of about 8).
    const uintptr_t guess = reinterpret_cast<uintptr_t>(table->entries + below + within);
    __builtin_prefetch(reinterpret_cast<const void*>(guess - sizeof(SigEntry)));
    __builtin_prefetch(reinterpret_cast<const void*>(guess + sizeof(SigEntry)));
    const size_t home = home_slot(key, table->home_range);
    const IndexLine* line = table->lines + home / kLineSlots;
    size_t pos = home % kLineSlots;
    for (;;) {
        const uint32_t mask = line->mask;
        for (; pos < kLineSlots; ++pos) {
            const uint32_t v = line->prefix[pos];
            if ((mask >> pos & 1u) == 0 || v > key) {
                return table->distinct;
            }
            if (v < key) {
                continue;
            }
            const size_t entry = line->base + popcount32(mask & ((1u << pos) - 1u));
            const SigEntry* e = &table->entries[entry];
            if (rest_equal(e, digest)) {
                return entry;
            }
            if (memcmp(e->rest, digest + kPrefix, sizeof(e->rest)) > 0) {
                return table->distinct;
            }
        }
        ++line;
        pos = 0;
    }
}

// ---- names ----------------------------------------------------------------

// Bytes a record takes, from its header.
inline size_t record_size(const uint8_t* rec)
{
    return (rec[0] & kWhole) != 0 ? 1 + (rec[0] & kNameMax) : 3 + (rec[0] + 1u) / 2;
}

// Room decode_name needs: a whole stem copy, then the run written 16
// characters at a time after a stem of up to 127.
constexpr size_t kDecodeSize = kNameMax + TG_SIG_NAME_SIZE + 16;

// Writes the name of the record at `rec` into `out` (kDecodeSize bytes; its
// first TG_SIG_NAME_SIZE bytes are always written) and returns its length.
// Copies have fixed sizes, reading into the arenas' spare bytes.
size_t decode_name(const uint8_t* rec, const char* stems, const uint32_t* stem_index, char* out)
{
    const unsigned head = rec[0];
    if ((head & kWhole) != 0) {
        memcpy(out, rec + 1, TG_SIG_NAME_SIZE);
        return head & kNameMax;
    }
    const uint32_t stem = stem_index[rec[1] | (static_cast<unsigned>(rec[2]) << 8)];
    const size_t stem_len = stem & kNameMax;
    memcpy(out, stems + (stem >> 7), TG_SIG_NAME_SIZE);
    char* run = out + stem_len;
    const uint8_t* packed = rec + 3;
    for (size_t done = 0; done < head; done += 16) {
        for (size_t k = 0; k < 8; ++k) {
            memcpy(run + done + 2 * k, kRun.pair[packed[done / 2 + k]], 2);
        }
    }
    return stem_len + head;
}

// Copies the name of entry `entry` as sig_table_lookup does.
void copy_name(const SigTable* t, size_t entry, char* name, size_t name_size)
{
    if (name == nullptr || name_size == 0) {
        return;
    }
    char buf[kDecodeSize];
    const size_t len = decode_name(t->names + t->entries[entry].name, t->stems, t->stem_index, buf);
    if (name_size >= TG_SIG_NAME_SIZE) {
        memcpy(name, buf, TG_SIG_NAME_SIZE);
        name[len] = '\0';
    } else {
        const size_t n = std::min(len, name_size - 1);
        memcpy(name, buf, n);
        name[n] = '\0';
    }
}

uint32_t hash_bytes(const void* data, size_t len)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint64_t h = 0x9e3779b97f4a7c15ull ^ len;
    for (; len >= 8; len -= 8, p += 8) {
        h = (h ^ load_u64(p)) * 0xff51afd7ed558ccdull;
        h ^= h >> 32;
    }
    uint64_t tail = 0;
    memcpy(&tail, p, len);
    h = (h ^ tail) * 0xc4ceb9fe1a85ec53ull;
    return static_cast<uint32_t>(h ^ (h >> 29));
}

// Grows a heap block to hold at least `need` bytes (doubling, at most
// `most`); false when memory ran out or `need` passes `most`.
bool grow_block(void** block, size_t* size, size_t need, size_t most)
{
    if (need <= *size) {
        return true;
    }
    if (need > most) {
        return false;
    }
    size_t want = *size < 4096 ? 4096 : *size * 2;
    if (want < need || want > most) {
        want = need > most / 2 ? most : need * 2;
    }
    void* fresh = realloc(*block, want);
    if (fresh == nullptr) {
        return false;
    }
    *block = fresh;
    *size = want;
    return true;
}

// The number of `stem` in the dictionary, added when new; -1 when the
// dictionary is full or memory ran out (the name is then kept whole).
long find_stem(SigBuilder* b, const char* stem, size_t len)
{
    const uint32_t hash = hash_bytes(stem, len);
    if (b->stem_hash_size > 0) {
        for (size_t at = hash & (b->stem_hash_size - 1); b->stem_hash[at] != 0;
             at = (at + 1) & (b->stem_hash_size - 1)) {
            const uint32_t s = b->stem_index[b->stem_hash[at] - 1];
            if ((s & kNameMax) == len && memcmp(b->stems + (s >> 7), stem, len) == 0) {
                return static_cast<long>(b->stem_hash[at] - 1);
            }
        }
    }
    if (b->stem_count >= kStemsMax) {
        return -1;
    }
    // A new stem. The hash table stays at most half full.
    if (b->stem_hash_size < 2 * (b->stem_count + 1)) {
        const size_t size = b->stem_hash_size == 0 ? 256 : b->stem_hash_size * 2;
        uint32_t* fresh = static_cast<uint32_t*>(calloc(size, sizeof(uint32_t)));
        if (fresh == nullptr) {
            return -1;
        }
        for (size_t i = 0; i < b->stem_count; ++i) {
            const uint32_t s = b->stem_index[i];
            size_t at = hash_bytes(b->stems + (s >> 7), s & kNameMax) & (size - 1);
            while (fresh[at] != 0) {
                at = (at + 1) & (size - 1);
            }
            fresh[at] = static_cast<uint32_t>(i + 1);
        }
        free(b->stem_hash);
        b->stem_hash = fresh;
        b->stem_hash_size = size;
    }
    void* stems = b->stems;
    void* index = b->stem_index;
    const size_t stems_most = kStemsMax * kNameMax + kNamePad;
    const bool ok = grow_block(&stems, &b->stems_size, b->stems_len + len + kNamePad, stems_most) &&
                    grow_block(&index, &b->stem_index_size, (b->stem_count + 1) * sizeof(uint32_t),
                               kStemsMax * sizeof(uint32_t));
    b->stems = static_cast<char*>(stems);
    b->stem_index = static_cast<uint32_t*>(index);
    if (!ok) {
        return -1;
    }
    size_t at = hash & (b->stem_hash_size - 1);
    while (b->stem_hash[at] != 0) {
        at = (at + 1) & (b->stem_hash_size - 1);
    }
    memcpy(b->stems + b->stems_len, stem, len);
    const uint32_t id = static_cast<uint32_t>(b->stem_count);
    b->stem_index[id] = static_cast<uint32_t>((b->stems_len << 7) | len);
    b->stems_len += len;
    b->stem_hash[at] = id + 1;
    ++b->stem_count;
    return static_cast<long>(id);
}

// Encodes a name of 1..127 bytes into `rec` (at least 1 + kNameMax bytes)
// and returns the record's size.
size_t encode_name(SigBuilder* b, const char* name, size_t len, uint8_t* rec)
{
    // The run: the longest tail of run characters, from its first digit on.
    size_t run = len;
    while (run > 0 && kRun.code[static_cast<unsigned char>(name[run - 1])] >= 0) {
        --run;
    }
    while (run < len && (name[run] < '0' || name[run] > '9')) {
        ++run;
    }
    if (run < len) {
        const long stem = find_stem(b, name, run);
        if (stem >= 0) {
            const size_t run_len = len - run;
            rec[0] = static_cast<uint8_t>(run_len);
            rec[1] = static_cast<uint8_t>(stem);
            rec[2] = static_cast<uint8_t>(stem >> 8);
            for (size_t i = 0; i < run_len; i += 2) {
                const unsigned lo =
                    static_cast<unsigned>(kRun.code[static_cast<unsigned char>(name[run + i])]);
                const unsigned hi =
                    i + 1 < run_len ? static_cast<unsigned>(
                                          kRun.code[static_cast<unsigned char>(name[run + i + 1])])
                                    : 0;
                rec[3 + i / 2] = static_cast<uint8_t>(lo | (hi << 4));
            }
            return 3 + (run_len + 1) / 2;
        }
    }
    rec[0] = static_cast<uint8_t>(kWhole | len);
    memcpy(rec + 1, name, len);
    return 1 + len;
}

// ---- builder internals --------------------------------------------------

// Makes the record cache large enough for about `names` signatures (a power
// of two between kInternMin and kInternMax). A new cache starts empty; a
// cache that cannot be allocated only means names are not shared.
void size_intern(SigBuilder* b, size_t names)
{
    size_t want = kInternMin;
    while (want < names && want < kInternMax) {
        want *= 2;
    }
    if (want <= b->intern_size) {
        return;
    }
    InternSlot* fresh = static_cast<InternSlot*>(malloc(want * sizeof(InternSlot)));
    if (fresh == nullptr) {
        return;
    }
    memset(fresh, 0xff, want * sizeof(InternSlot));
    free(b->intern);
    b->intern = fresh;
    b->intern_size = want;
}

bool grow_items(SigBuilder* b)
{
    if ((b->items + 1) * sizeof(SigItem) <= b->mem_size) {
        return true;
    }
    if (b->items >= TG_SIG_MAX_ENTRIES) {
        return false;
    }
    size_t want = b->mem_size < 4096 ? 4096 : b->mem_size + b->mem_size / 2;
    if (want < b->mem_size) {
        return false;
    }
    uint8_t* mem = static_cast<uint8_t*>(realloc(b->mem, want));
    if (mem == nullptr) {
        return false;
    }
    b->mem = mem;
    b->mem_size = want;
    size_intern(b, want / sizeof(SigItem));
    return true;
}

// Offset of the record for `name` in the arena, reusing an equal record
// seen recently; kEmpty when the arena is full or memory ran out. Equal
// names give equal records: a stem, once in the dictionary, stays there.
uint32_t intern_name(SigBuilder* b, const char* name, size_t len)
{
    uint8_t rec[1 + kNameMax];
    const size_t size = encode_name(b, name, len, rec);
    InternSlot* slot = nullptr;
    const uint32_t hash = hash_bytes(rec, size);
    if (b->intern != nullptr) {
        slot = &b->intern[hash & (b->intern_size - 1)];
        if (slot->off != kEmpty && slot->hash == hash &&
            record_size(b->names + slot->off) == size &&
            memcmp(b->names + slot->off, rec, size) == 0) {
            return slot->off;
        }
    }
    if (b->names_len + size > TG_SIG_NAMES_MAX) {
        return kEmpty;
    }
    void* names = b->names;
    const bool ok = grow_block(&names, &b->names_size, b->names_len + size + kNamePad,
                               TG_SIG_NAMES_MAX + kNamePad);
    b->names = static_cast<uint8_t*>(names);
    if (!ok) {
        return kEmpty;
    }
    const uint32_t off = static_cast<uint32_t>(b->names_len);
    memcpy(b->names + off, rec, size);
    b->names_len += size;
    if (slot != nullptr) {
        slot->off = off;
        slot->hash = hash;
    }
    return off;
}

int add_digest(SigBuilder* b, const uint8_t* digest, const char* name, size_t name_len)
{
    if (name_len > kNameMax) {
        name_len = kNameMax;
    }
    if (!grow_items(b)) {
        return 0;
    }
    const uint32_t off = intern_name(b, name, name_len);
    if (off == kEmpty) {
        return 0;
    }
    SigItem item;
    memcpy(item.digest, digest, SHA256_DIGEST_SIZE);
    item.name = off;
    item.seq = static_cast<uint32_t>(b->items);
    memcpy(b->mem + b->items * sizeof(SigItem), &item, sizeof(item));
    ++b->items;
    if (b->count < INT_MAX) {
        ++b->count;
    }
    return 1;
}

void add_read(SigBuilder* b, const char* text, size_t len)
{
    SigLine line;
    if (sig_parse_line(text, len, &line)) {
        add_digest(b, line.digest, line.name, line.name_len);
    }
}

// A heap block of `bytes` whose usable part starts at an `align` boundary;
// the block to free goes to *mem.
void* aligned_block(size_t bytes, size_t align, void** mem, bool zero)
{
    if (bytes > SIZE_MAX - align) {
        return nullptr;
    }
    void* raw = zero ? calloc(1, bytes + align) : malloc(bytes + align);
    if (raw == nullptr) {
        return nullptr;
    }
    *mem = raw;
    const uintptr_t at = reinterpret_cast<uintptr_t>(raw);
    return reinterpret_cast<void*>(at + (align - at % align) % align);
}

// Hands a builder's arena of `size` bytes to the table, trimmed to what it
// uses plus the spare bytes (zeroed: copies read them).
void* hand_over(void* block, size_t used, size_t size, size_t* bytes)
{
    if (block == nullptr) {
        return nullptr;
    }
    void* trimmed = realloc(block, used + kNamePad);
    void* out = trimmed != nullptr ? trimmed : block;
    memset(static_cast<char*>(out) + used, 0, kNamePad);
    *bytes += trimmed != nullptr ? used + kNamePad : size;
    return out;
}

// The rank buckets: 4 to 8 digests each (at least 2 buckets, at most
// 2^24), each with the number of digests below it, from the index.
bool build_ranks(SigTable* t)
{
    unsigned bits = 1;
    while (bits < 24 && (static_cast<size_t>(8) << bits) <= t->distinct) {
        ++bits;
    }
    const size_t count = static_cast<size_t>(1) << bits;
    uint32_t* ranks = static_cast<uint32_t*>(malloc((count + 1) * sizeof(uint32_t)));
    if (ranks == nullptr) {
        return false;
    }
    size_t bucket = 0; // buckets [0, bucket) are filled
    uint32_t seen = 0;
    for (size_t l = 0; l < t->line_count; ++l) {
        const IndexLine& line = t->lines[l];
        for (size_t pos = 0; pos < kLineSlots; ++pos) {
            if ((line.mask >> pos & 1u) == 0) {
                continue;
            }
            const size_t b = line.prefix[pos] >> (32 - bits);
            for (; bucket <= b; ++bucket) {
                ranks[bucket] = seen;
            }
            ++seen;
        }
    }
    for (; bucket <= count; ++bucket) {
        ranks[bucket] = seen;
    }
    t->rank_mem = ranks;
    t->ranks = ranks;
    t->rank_bits = bits;
    t->bytes += (count + 1) * sizeof(uint32_t);
    return true;
}

// The filter: a bit for every listed digest, at the value of its bits 32
// and on (independent of the first 32, which place it in the index), with at
// least 8 bits a digest, so that a digest that is not listed finds its bit
// clear about 9 times in 10.
bool build_filter(SigTable* t)
{
    unsigned bits = 6;
    while (bits < 40 &&
           (static_cast<uint64_t>(1) << bits) < static_cast<uint64_t>(t->distinct) * 8) {
        ++bits;
    }
    const size_t words = static_cast<size_t>(1) << (bits - 6);
    uint64_t* filter = static_cast<uint64_t*>(calloc(words, sizeof(uint64_t)));
    if (filter == nullptr) {
        return false;
    }
    for (size_t i = 0; i < t->distinct; ++i) {
        const uint64_t bit = load_be64(t->entries[i].rest) >> (64 - bits);
        filter[bit >> 6] |= static_cast<uint64_t>(1) << (bit & 63);
    }
    t->filter_mem = filter;
    t->filter = filter;
    t->filter_bits = bits;
    t->bytes += words * sizeof(uint64_t);
    return true;
}

// Sorts by digest, keeps the latest entry of each digest, packs the entries
// in b->mem and builds the index into t. Returns false when memory ran out.
bool build_table(SigBuilder* b, SigTable* t)
{
    SigItem* items = reinterpret_cast<SigItem*>(b->mem);
    const size_t n = b->items;
    if (n > 0) {
        std::sort(items, items + n, [](const SigItem& x, const SigItem& y) {
            const uint64_t a = load_be64(x.digest);
            const uint64_t b = load_be64(y.digest);
            if (a != b) {
                return a < b;
            }
            const int c = memcmp(x.digest + 8, y.digest + 8, SHA256_DIGEST_SIZE - 8);
            return c != 0 ? c < 0 : x.seq < y.seq;
        });
    }
    // Keep the last of each run of equal digests, packed at the front. A
    // packed record is smaller than an item, so writes never pass reads.
    size_t distinct = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i + 1 < n && memcmp(items[i].digest, items[i + 1].digest, SHA256_DIGEST_SIZE) == 0) {
            continue;
        }
        SigPacked rec;
        memcpy(rec.digest, items[i].digest, SHA256_DIGEST_SIZE);
        rec.name = items[i].name;
        memcpy(b->mem + distinct * sizeof(SigPacked), &rec, sizeof(rec));
        ++distinct;
    }
    t->distinct = distinct;
    if (distinct == 0) {
        return true;
    }

    // Give back the item space beyond the packed records before the index
    // is allocated: it keeps the peak of memory down.
    if (distinct * sizeof(SigPacked) + 64 < b->mem_size) {
        uint8_t* mem = static_cast<uint8_t*>(realloc(b->mem, distinct * sizeof(SigPacked) + 64));
        if (mem != nullptr) {
            b->mem = mem;
            b->mem_size = distinct * sizeof(SigPacked) + 64;
        }
    }

    // The index: each digest at its home slot or right after the previous.
    // distinct < 2^31, so the range stays below 2^32.
    const uint32_t range = static_cast<uint32_t>(distinct + distinct * 3 / 16 + 1);
    size_t last = 0;
    for (size_t i = 0; i < distinct; ++i) {
        const size_t home = home_slot(load_be32(b->mem + i * sizeof(SigPacked)), range);
        last = (i == 0 || home > last) ? home : last + 1;
    }
    // One line more than the used slots need, so an empty slot always ends
    // the index.
    const size_t line_count = last / kLineSlots + 2;
    void* line_mem = nullptr;
    IndexLine* lines = static_cast<IndexLine*>(
        aligned_block(line_count * sizeof(IndexLine), sizeof(IndexLine), &line_mem, true));
    if (lines == nullptr) {
        return false;
    }
    t->line_mem = line_mem;
    // Entries replace the packed records in place, front to back (an entry
    // is smaller than a record, and each record is read before its entry is
    // written), while the slots are filled in.
    size_t fill = 0; // first slot not yet used
    for (size_t i = 0; i < distinct; ++i) {
        SigPacked rec;
        memcpy(&rec, b->mem + i * sizeof(SigPacked), sizeof(rec));
        const uint32_t key = load_be32(rec.digest);
        const size_t pos = std::max(home_slot(key, range), fill);
        IndexLine& line = lines[pos / kLineSlots];
        line.prefix[pos % kLineSlots] = key;
        line.mask |= 1u << (pos % kLineSlots);
        fill = pos + 1;
        SigEntry e;
        memcpy(e.rest, rec.digest + kPrefix, sizeof(e.rest));
        e.name = rec.name;
        memcpy(b->mem + i * sizeof(SigEntry), &e, sizeof(e));
    }
    uint32_t base = 0;
    for (size_t i = 0; i < line_count; ++i) {
        lines[i].base = base;
        base += popcount32(lines[i].mask);
    }
    t->lines = lines;
    t->line_count = line_count;
    t->home_range = range;
    t->bytes += line_count * sizeof(IndexLine) + sizeof(IndexLine);

    // Trim the buffer to the entries (plus room to align them to 32 bytes,
    // so that no entry straddles two cache lines) and hand it over.
    const size_t bytes = distinct * sizeof(SigEntry) + 32;
    uint8_t* mem = static_cast<uint8_t*>(realloc(b->mem, bytes));
    if (mem == nullptr) {
        if (b->mem_size < bytes) {
            return false;
        }
        mem = b->mem; // a failed shrink keeps the larger block
    }
    b->mem = nullptr;
    b->mem_size = 0;
    const size_t shift = (32 - reinterpret_cast<uintptr_t>(mem) % 32) % 32;
    if (shift > 0) {
        memmove(mem + shift, mem, distinct * sizeof(SigEntry));
    }
    t->entry_mem = mem;
    t->entries = reinterpret_cast<const SigEntry*>(mem + shift);
    t->bytes += bytes;
    return build_ranks(t) && build_filter(t);
}

void reset_builder(SigBuilder* b)
{
    free(b->mem);
    free(b->names);
    free(b->stems);
    free(b->stem_index);
    free(b->stem_hash);
    b->mem = nullptr;
    b->mem_size = 0;
    b->items = 0;
    b->names = nullptr;
    b->names_len = 0;
    b->names_size = 0;
    b->stems = nullptr;
    b->stems_len = 0;
    b->stems_size = 0;
    b->stem_index = nullptr;
    b->stem_count = 0;
    b->stem_index_size = 0;
    b->stem_hash = nullptr;
    b->stem_hash_size = 0;
    b->count = 0;
    b->carry_len = 0;
    if (b->intern != nullptr) {
        memset(b->intern, 0xff, b->intern_size * sizeof(InternSlot));
    }
}

// ---- the process-wide list ----------------------------------------------

// The owner of the current table, for sigs_snapshot; read and replaced only
// through std::atomic_load / std::atomic_store.
SigSnapshot g_table;
// The same table for the plain readers (sig_lookup, sig_lookup_digest,
// sig_count), which never touch the shared_ptr's counts.
std::atomic<const SigTable*> g_current{nullptr};
// Serialises the changes (each one reads the list, builds and publishes).
std::mutex g_change;

// Hazard slots: a reader holds one, naming the table it reads, for the
// length of a lookup.
constexpr size_t kReaders = 64;
struct alignas(64) ReaderSlot {
    std::atomic<const SigTable*> table{nullptr};
};
ReaderSlot g_readers[kReaders];

// Memory ordering (every operation here but the clearing of a slot is
// sequentially consistent, so all of them fall in one total order S):
//   reader:    R1 p = g_current    R2 slot: null -> p    R3 g_current == p ?
//              ... reads of p ...  R4 slot = null (a release)
//   publisher: P1 g_current = q    P2 read every slot    P3 drop p
// A reader uses p only when R3 saw p, so R3 comes before P1 in S; R2 comes
// before R3, and P2 after P1, so P2 finds p in the slot or the null of a
// later release (an earlier clearing of the slot happens before R2, whose
// exchange read it, so P2 cannot see that one), and the publisher waits for
// the slot to be cleared. R4 releases the reader's reads of p, and P2's load
// that sees it acquires them, so the table is freed only after they are
// done; R4 needs no fence of its own. A reader whose R3 sees another pointer
// gives the slot back without having touched p. A table may be published
// again while a slow reader is between R1 and R2; R3 then sees it current,
// and it is alive.
const SigTable* enter_current(ReaderSlot** held)
{
    int local = 0;
    // Start where this thread's stack points: threads mostly keep to their
    // own slots, so a slot's cache line stays with one core.
    const uint64_t where = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&local) >> 12);
    size_t at = static_cast<size_t>((where * 0x9e3779b97f4a7c15ull) >> 58) % kReaders;
    for (;;) {
        const SigTable* t = g_current.load();
        if (t == nullptr) {
            return nullptr;
        }
        for (size_t tries = 0;; ++tries) {
            const SigTable* expected = nullptr;
            if (g_readers[at].table.compare_exchange_strong(expected, t)) {
                break;
            }
            at = (at + 1) % kReaders;
            if (tries >= kReaders) {
                std::this_thread::yield(); // more readers than slots
                tries = 0;
            }
        }
        if (g_current.load() == t) {
            *held = &g_readers[at];
            return t;
        }
        g_readers[at].table.store(nullptr);
    }
}

inline void leave(ReaderSlot* held)
{
    held->table.store(nullptr, std::memory_order_release);
}

// Publishes `t` (under g_change) and returns once no plain reader can still
// be reading the table it replaced; the caller's `old` reference may then be
// the last one.
void publish_locked(const SigSnapshot& t)
{
    const SigSnapshot old = std::atomic_load(&g_table);
    std::atomic_store(&g_table, t);
    g_current.store(t.get());
    if (old == nullptr || old == t) {
        return;
    }
    for (size_t i = 0; i < kReaders; ++i) {
        while (g_readers[i].table.load() == old.get()) {
            std::this_thread::yield();
        }
    }
}

} // namespace

int sig_parse_line(const char* text, size_t len, SigLine* out)
{
    // The line ends at the first CR or LF, and at a NUL as C text would.
    if (len < TG_SIG_MIN_LINE || text[0] == '#') {
        return 0;
    }
    // A CR, LF or NUL among the first 64 characters fails the hex test, as
    // the line is then too short anyway.
    if (!decode_hex(text, out->digest, true)) {
        return 0;
    }
    size_t end = 2 * SHA256_DIGEST_SIZE;
    while (end < len && text[end] != '\r' && text[end] != '\n' && text[end] != '\0') {
        ++end;
    }
    if (end < TG_SIG_MIN_LINE) {
        return 0;
    }
    size_t pos = 2 * SHA256_DIGEST_SIZE;
    while (pos < end && is_separator(text[pos])) {
        ++pos;
    }
    if (pos < end) {
        out->name = text + pos;
        out->name_len = std::min(end - pos, kNameMax);
    } else {
        out->name = SIG_DEFAULT_NAME;
        out->name_len = sizeof(SIG_DEFAULT_NAME) - 1;
    }
    return 1;
}

int sig_table_lookup(const SigTable* table, const uint8_t digest[SHA256_DIGEST_SIZE], char* name,
                     size_t name_size)
{
    if (table == nullptr || table->home_range == 0) {
        return 0;
    }
    const size_t entry = find_entry(table, digest);
    if (entry == table->distinct) {
        return 0;
    }
    copy_name(table, entry, name, name_size);
    return 1;
}

int sig_table_count(const SigTable* table)
{
    return table != nullptr ? table->count : 0;
}

size_t sig_table_distinct(const SigTable* table)
{
    return table != nullptr ? table->distinct : 0;
}

size_t sig_table_bytes(const SigTable* table)
{
    return table != nullptr ? table->bytes : 0;
}

SigBuilder* sig_builder_new(size_t size_hint)
{
    SigBuilder* b = new (std::nothrow) SigBuilder;
    if (b == nullptr) {
        return nullptr;
    }
    size_intern(b, size_hint / TG_SIG_MIN_LINE);
    // Every signature takes at least 66 bytes of text, so the hint bounds the
    // items: reserving them once avoids copying the array while it grows.
    // Pages that are never used are never touched.
    if (size_hint > 0) {
        const size_t most = size_hint / TG_SIG_MIN_LINE + 4;
        if (most < TG_SIG_MAX_ENTRIES) {
            b->mem = static_cast<uint8_t*>(malloc(most * sizeof(SigItem)));
            b->mem_size = b->mem != nullptr ? most * sizeof(SigItem) : 0;
        }
    }
    return b;
}

void sig_builder_free(SigBuilder* builder)
{
    if (builder == nullptr) {
        return;
    }
    reset_builder(builder);
    free(builder->intern);
    delete builder;
}

int sig_builder_add(SigBuilder* builder, const char* hash, const char* name)
{
    uint8_t digest[SHA256_DIGEST_SIZE];
    if (hash == nullptr || name == nullptr || !sha256_parse_hex(hash, digest)) {
        return 0;
    }
    return add_digest(builder, digest, name, strnlen(name, kNameMax));
}

int sig_builder_add_builtin(SigBuilder* builder)
{
    return sig_builder_add(builder, SIG_EICAR_SHA256, SIG_EICAR_NAME);
}

int sig_builder_add_table(SigBuilder* builder, const SigTable* table)
{
    if (table == nullptr) {
        return 1;
    }
    const int before = builder->count;
    size_intern(builder, builder->items + table->distinct);
    size_t entry = 0;
    for (size_t l = 0; l < table->line_count; ++l) {
        const IndexLine& line = table->lines[l];
        for (size_t pos = 0; pos < kLineSlots; ++pos) {
            if ((line.mask >> pos & 1u) == 0) {
                continue;
            }
            const SigEntry& e = table->entries[entry++];
            uint8_t digest[SHA256_DIGEST_SIZE];
            const uint32_t prefix = line.prefix[pos];
            digest[0] = static_cast<uint8_t>(prefix >> 24);
            digest[1] = static_cast<uint8_t>(prefix >> 16);
            digest[2] = static_cast<uint8_t>(prefix >> 8);
            digest[3] = static_cast<uint8_t>(prefix);
            memcpy(digest + kPrefix, e.rest, sizeof(e.rest));
            char name[kDecodeSize];
            const size_t len =
                decode_name(table->names + e.name, table->stems, table->stem_index, name);
            if (!add_digest(builder, digest, name, len)) {
                return 0;
            }
        }
    }
    // The count goes on from the table's, duplicates included.
    const long long total = static_cast<long long>(before) + table->count;
    builder->count = total > INT_MAX ? INT_MAX : static_cast<int>(total);
    return 1;
}

void sig_builder_feed(SigBuilder* b, const char* data, size_t len)
{
    const char* p = data;
    const char* end = data + len;
    // Finish a read that the previous piece left open.
    if (b->carry_len > 0 && p < end) {
        const size_t room = kReadMax - b->carry_len;
        const size_t avail = std::min(room, static_cast<size_t>(end - p));
        const char* nl = static_cast<const char*>(memchr(p, '\n', avail));
        const size_t take = nl != nullptr ? static_cast<size_t>(nl - p) + 1 : avail;
        memcpy(b->carry + b->carry_len, p, take);
        b->carry_len += take;
        p += take;
        if (nl == nullptr && b->carry_len < kReadMax) {
            return; // the whole piece went into the open read
        }
        add_read(b, b->carry, b->carry_len);
        b->carry_len = 0;
    }
    // Each read ends after a line break or at 511 bytes, as a 512-byte
    // line buffer does.
    while (p < end) {
        const size_t avail = std::min(kReadMax, static_cast<size_t>(end - p));
        const char* nl = static_cast<const char*>(memchr(p, '\n', avail));
        if (nl != nullptr) {
            add_read(b, p, static_cast<size_t>(nl - p) + 1);
            p = nl + 1;
        } else if (avail == kReadMax) {
            add_read(b, p, avail);
            p += avail;
        } else {
            memcpy(b->carry, p, avail);
            b->carry_len = avail;
            p = end;
        }
    }
}

int sig_builder_count(const SigBuilder* builder)
{
    return builder->count;
}

SigSnapshot sig_builder_finish(SigBuilder* b)
{
    if (b->carry_len > 0) {
        add_read(b, b->carry, b->carry_len);
        b->carry_len = 0;
    }
    SigTable* t = new (std::nothrow) SigTable;
    if (t == nullptr || !build_table(b, t)) {
        delete t;
        reset_builder(b);
        return SigSnapshot();
    }
    t->bytes += sizeof(SigTable);
    if (t->distinct > 0) {
        // Hand the name records and stems over, trimmed to what they use.
        t->name_mem = hand_over(b->names, b->names_len, b->names_size, &t->bytes);
        t->stem_mem = hand_over(b->stems, b->stems_len, b->stems_size, &t->bytes);
        t->stem_index_mem = b->stem_index;
        t->bytes += b->stem_index_size;
        b->names = nullptr;
        b->stems = nullptr;
        b->stem_index = nullptr;
        b->stem_index_size = 0;
        t->names = static_cast<const uint8_t*>(t->name_mem);
        t->stems = static_cast<const char*>(t->stem_mem);
        t->stem_index = static_cast<const uint32_t*>(t->stem_index_mem);
    }
    t->count = b->count;
    reset_builder(b);
    return SigSnapshot(t);
}

SigSnapshot sig_table_from_text(const char* data, size_t len, bool with_builtin)
{
    SigBuilderPtr b(sig_builder_new(len));
    if (!b) {
        return SigSnapshot();
    }
    if (with_builtin) {
        sig_builder_add_builtin(b.get());
    }
    sig_builder_feed(b.get(), data, len);
    return sig_builder_finish(b.get());
}

SigSnapshot sigs_snapshot()
{
    return std::atomic_load(&g_table);
}

void sigs_publish(SigSnapshot table)
{
    std::lock_guard<std::mutex> lock(g_change);
    publish_locked(table);
}

int sig_add(const char* hash, const char* name)
{
    std::lock_guard<std::mutex> lock(g_change);
    SigSnapshot old = std::atomic_load(&g_table);
    SigBuilderPtr b(sig_builder_new(0));
    if (!b || !sig_builder_add_table(b.get(), old.get()) || !sig_builder_add(b.get(), hash, name)) {
        return 0;
    }
    SigSnapshot t = sig_builder_finish(b.get());
    if (!t) {
        return 0;
    }
    publish_locked(t);
    return 1;
}

void sigs_add_builtin()
{
    sig_add(SIG_EICAR_SHA256, SIG_EICAR_NAME);
}

void sigs_free()
{
    sigs_publish(SigSnapshot());
}

int sig_count()
{
    ReaderSlot* held = nullptr;
    const SigTable* t = enter_current(&held);
    if (t == nullptr) {
        return 0;
    }
    const int count = t->count;
    leave(held);
    return count;
}

int sig_lookup(const char* hash, char* name, size_t name_size)
{
    // Only the exact lower-case text of a digest matches, as a comparison
    // with the stored text would: 64 lower-case hex digits, then the end.
    if (hash == nullptr) {
        return 0;
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    if (!decode_digest_text(hash, digest)) {
        return 0;
    }
    ReaderSlot* held = nullptr;
    const SigTable* t = enter_current(&held);
    if (t == nullptr) {
        return 0;
    }
    const int found = sig_table_lookup(t, digest, name, name_size);
    leave(held);
    return found;
}

int sig_lookup_digest(const uint8_t digest[SHA256_DIGEST_SIZE], char* name, size_t name_size)
{
    ReaderSlot* held = nullptr;
    const SigTable* t = enter_current(&held);
    if (t == nullptr) {
        return 0;
    }
    const int found = sig_table_lookup(t, digest, name, name_size);
    leave(held);
    return found;
}

// Builds base + text aside and publishes it; base is the current list or,
// for a reload, just the built-in entry.
static int load_text(const char* data, size_t len, bool reload)
{
    std::lock_guard<std::mutex> lock(g_change);
    SigBuilderPtr b(sig_builder_new(len));
    if (!b) {
        return -1;
    }
    if (reload) {
        if (!sig_builder_add_builtin(b.get())) {
            return -1;
        }
    } else if (!sig_builder_add_table(b.get(), std::atomic_load(&g_table).get())) {
        return -1;
    }
    const int before = sig_builder_count(b.get());
    sig_builder_feed(b.get(), data, len);
    SigSnapshot t = sig_builder_finish(b.get());
    if (!t) {
        return -1;
    }
    publish_locked(t);
    return reload ? sig_table_count(t.get()) : sig_table_count(t.get()) - before;
}

int sigs_load_text(const char* data, size_t len)
{
    return load_text(data, len, false);
}

int sigs_reload_text(const char* data, size_t len)
{
    return load_text(data, len, true);
}
