// What the signature files share (outside them, only their tests include
// it): the layout of a table (sigs_table.cpp looks digests up in it,
// sigs_builder.cpp lays it out), the builder's state, the digest text
// decoder (sigs_text.cpp) and the process-wide list's reader slots
// (sigs.cpp). The name records have their own header, sigs_names.h.
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
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "detect/limits.h"
#include "detect/sha256.h"
#include "detect/sigs_builder.h"
#include "detect/sigs_table.h"

constexpr uint32_t kEmpty = 0xffffffffu; // cache slot not in use
constexpr size_t kNameMax = TG_SIG_NAME_SIZE - 1;
constexpr size_t kPrefix = 4;                      // digest bytes held in the index
constexpr size_t kLineSlots = 14;                  // index slots in a 64-byte line
constexpr size_t kNamePad = TG_SIG_NAME_SIZE + 16; // spare bytes after each arena

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

// ---- digest text (sigs_text.cpp) ------------------------------------------

// Decodes the text of a digest as sig_lookup takes it: true when `text` is
// 64 lower-case hex digits and then its end.
bool decode_digest_text(const char* text, uint8_t* digest);

// ---- the process-wide list's readers (sigs.cpp) ------------------------------

// Plain readers (sig_lookup, sig_lookup_digest, sig_count) announce the
// table they read in one of kReaders hazard slots, one slot per lookup. At
// the limit, a further reader waits until a slot is given back.
constexpr size_t kReaders = TG_SIG_READERS;
struct ReaderSlot;

// Takes a slot naming the current table and returns that table, which stays
// alive until leave(*held); null, with no slot taken, when the list is
// empty. With every slot taken, waits until one is given back.
const SigTable* enter_current(ReaderSlot** held);
// Gives the slot back; the table may be freed from then on.
void leave(ReaderSlot* held);
