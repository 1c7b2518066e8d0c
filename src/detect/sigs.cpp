// Signature tables: parsing signatures.db text, building the table and
// publishing it.
//
// Table layout: the distinct digests in digest order, each as a 32-byte
// entry (the last 28 bytes of the digest and the offset of its name in one
// name arena), found through an ordered linear-probing index of 8-byte slots
// (the first 4 digest bytes and the entry's number). A digest's home slot is
// its first 32 bits scaled to the index's home range, which keeps the slots
// in digest order: a digest sits at its home slot or after it, behind every
// smaller digest. A lookup starts at the home slot and stops at the first
// empty slot or the first greater digest; the index is about 80% full and
// digests are uniformly spread (they are SHA-256 outputs), so a miss reads
// one cache line of the index and a hit one more for its entry. An empty
// slot always ends the index.
//
// Building: the signatures are collected in order (with their sequence
// number), sorted by digest and sequence, reduced to the latest entry of
// each digest and packed into entries in the same buffer, while the index
// is laid out beside them. Names are shared through a small cache of the
// names seen lately, so a family name used by many digests is stored once.
#include "detect/sigs.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "frontdoor/text.h"

namespace {

constexpr uint32_t kEmpty = 0xffffffffu; // slot without an entry; arena offset not in use
constexpr size_t kReadMax = TG_SIG_LINE_SIZE - 1;
constexpr size_t kNameMax = TG_SIG_NAME_SIZE - 1;
constexpr size_t kInternMin = 1u << 8;  // names remembered for sharing: at first
constexpr size_t kInternMax = 1u << 16; // and at most
constexpr size_t kPrefix = 4;           // digest bytes held in the index

struct SigSlot {
    uint32_t prefix; // first digest bytes, big-endian
    uint32_t entry;  // entry number, kEmpty when the slot is empty
};

struct SigEntry {
    uint8_t rest[SHA256_DIGEST_SIZE - kPrefix];
    uint32_t name; // arena offset
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
    uint32_t off; // arena offset, kEmpty when free
    uint32_t hash;
};

static_assert(sizeof(SigSlot) == 8, "slot layout");
static_assert(sizeof(SigEntry) == 32, "entry layout");
static_assert(sizeof(SigItem) == 40, "item layout");
static_assert(sizeof(SigPacked) == 36, "packed layout");

} // namespace

struct SigTable {
    SigSlot* slots = nullptr;
    size_t slot_count = 0; // slots in the index, the final empty one included
    uint32_t home_range = 1;
    uint8_t* entry_mem = nullptr;      // the allocation that holds the entries
    const SigEntry* entries = nullptr; // 32-byte aligned inside entry_mem
    size_t distinct = 0;
    char* names = nullptr;
    size_t names_len = 0;
    int count = 0;

    SigTable() = default;
    SigTable(const SigTable&) = delete;
    SigTable& operator=(const SigTable&) = delete;
    ~SigTable()
    {
        free(slots);
        free(entry_mem);
        free(names);
    }
};

struct SigBuilder {
    uint8_t* mem = nullptr; // SigItem array while collecting, entries when built
    size_t mem_size = 0;
    size_t items = 0;
    char* names = nullptr;
    size_t names_len = 0;
    size_t names_size = 0;
    InternSlot* intern = nullptr; // names seen lately, intern_size of them
    size_t intern_size = 0;
    int count = 0;
    char carry[TG_SIG_LINE_SIZE]; // a read not yet ended by a line break
    size_t carry_len = 0;
};

namespace {

// Hex digit values, -1 for any other byte: kHex takes either case (isxdigit
// in the C locale), kLowerHex only the lower-case text a digest is written
// in. Table lookups keep the decoding free of branches.
struct HexTable {
    int8_t v[256];
    constexpr explicit HexTable(bool upper) : v()
    {
        for (int i = 0; i < 256; ++i) {
            v[i] = -1;
        }
        for (int i = 0; i < 10; ++i) {
            v['0' + i] = static_cast<int8_t>(i);
        }
        for (int i = 0; i < 6; ++i) {
            v['a' + i] = static_cast<int8_t>(10 + i);
            if (upper) {
                v['A' + i] = static_cast<int8_t>(10 + i);
            }
        }
    }
};
constexpr HexTable kHex(true);
constexpr HexTable kLowerHex(false);

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

inline size_t home_slot(const uint8_t* digest, uint32_t home_range)
{
    return static_cast<size_t>((static_cast<uint64_t>(load_be32(digest)) * home_range) >> 32);
}

// Decodes `bytes` bytes from 2 * bytes hex characters with `table`; false
// when any of them is not a hex digit. A NUL fails, but only after the
// characters before it are read: callers check the length first.
bool decode_hex(const char* text, uint8_t* digest, size_t bytes, const HexTable& table)
{
    int bad = 0;
    for (size_t i = 0; i < bytes; ++i) {
        const int hi = table.v[static_cast<unsigned char>(text[2 * i])];
        const int lo = table.v[static_cast<unsigned char>(text[2 * i + 1])];
        bad |= hi | lo;
        digest[i] =
            static_cast<uint8_t>((static_cast<unsigned>(hi) << 4) | static_cast<unsigned>(lo));
    }
    return bad >= 0;
}

// decode_hex with kLowerHex for a NUL-terminated text that may be short:
// nothing past a NUL is read.
bool decode_hex_text(const char* text, uint8_t* digest, size_t bytes)
{
    int bad = 0;
    for (size_t i = 0; i < bytes; ++i) {
        const char c0 = text[2 * i];
        if (c0 == '\0') {
            return false;
        }
        const char c1 = text[2 * i + 1];
        if (c1 == '\0') {
            return false;
        }
        const int hi = kLowerHex.v[static_cast<unsigned char>(c0)];
        const int lo = kLowerHex.v[static_cast<unsigned char>(c1)];
        bad |= hi | lo;
        digest[i] =
            static_cast<uint8_t>((static_cast<unsigned>(hi) << 4) | static_cast<unsigned>(lo));
    }
    return bad >= 0;
}

const SigEntry* find_entry(const SigTable* table, const uint8_t* digest)
{
    if (table == nullptr || table->slots == nullptr) {
        return nullptr;
    }
    const uint32_t key = load_be32(digest);
    for (const SigSlot* s = table->slots + home_slot(digest, table->home_range);; ++s) {
        if (s->entry == kEmpty || s->prefix > key) {
            return nullptr;
        }
        if (s->prefix < key) {
            continue;
        }
        const SigEntry* e = &table->entries[s->entry];
        const int c = memcmp(e->rest, digest + kPrefix, sizeof(e->rest));
        if (c == 0) {
            return e;
        }
        if (c > 0) {
            return nullptr;
        }
    }
}

// ---- builder internals --------------------------------------------------

// Makes the name cache large enough for about `names` signatures (a power
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

uint32_t name_hash(const char* name, size_t len)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < len; ++i) {
        h = (h ^ static_cast<unsigned char>(name[i])) * 16777619u;
    }
    return h;
}

// Offset of `name` in the arena, reusing an equal name seen recently;
// kEmpty when the arena is full or memory ran out.
uint32_t intern_name(SigBuilder* b, const char* name, size_t len)
{
    InternSlot* slot = nullptr;
    const uint32_t hash = name_hash(name, len);
    if (b->intern != nullptr) {
        slot = &b->intern[hash & (b->intern_size - 1)];
        // strncmp stops at the stored name's NUL, so a shorter stored name
        // is never read past (names hold no NUL of their own).
        if (slot->off != kEmpty && slot->hash == hash &&
            strncmp(b->names + slot->off, name, len) == 0 && b->names[slot->off + len] == '\0') {
            return slot->off;
        }
    }
    const size_t need = b->names_len + len + 1;
    if (need > TG_SIG_NAMES_MAX) {
        return kEmpty;
    }
    if (need > b->names_size) {
        size_t want = b->names_size < 4096 ? 4096 : b->names_size * 2;
        if (want < need || want > TG_SIG_NAMES_MAX) {
            want = need > TG_SIG_NAMES_MAX / 2 ? TG_SIG_NAMES_MAX : need * 2;
        }
        char* names = static_cast<char*>(realloc(b->names, want));
        if (names == nullptr) {
            return kEmpty;
        }
        b->names = names;
        b->names_size = want;
    }
    const uint32_t off = static_cast<uint32_t>(b->names_len);
    memcpy(b->names + off, name, len);
    b->names[off + len] = '\0';
    b->names_len = need;
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

    // Give back the item space beyond the packed records before the index
    // is allocated: it keeps the peak of memory down.
    if (distinct > 0 && distinct * sizeof(SigPacked) + 64 < b->mem_size) {
        uint8_t* mem = static_cast<uint8_t*>(realloc(b->mem, distinct * sizeof(SigPacked) + 64));
        if (mem != nullptr) {
            b->mem = mem;
            b->mem_size = distinct * sizeof(SigPacked) + 64;
        }
    }

    // The index: each digest at its home slot or right after the previous.
    const uint32_t range = static_cast<uint32_t>(distinct + distinct / 4 + 1);
    size_t last = 0;
    for (size_t i = 0; i < distinct; ++i) {
        const size_t home = home_slot(b->mem + i * sizeof(SigPacked), range);
        last = (i == 0 || home > last) ? home : last + 1;
    }
    const size_t slot_count = (distinct == 0 ? range : std::max<size_t>(range, last + 1)) + 1;
    t->slots = static_cast<SigSlot*>(malloc(slot_count * sizeof(SigSlot)));
    if (t->slots == nullptr) {
        return false;
    }
    // Entries replace the packed records in place, front to back (an entry
    // is smaller than a record, and each record is read before its entry is
    // written), while the slots are filled in.
    SigSlot empty;
    empty.prefix = 0;
    empty.entry = kEmpty;
    size_t fill = 0; // first slot not yet written
    for (size_t i = 0; i < distinct; ++i) {
        SigPacked rec;
        memcpy(&rec, b->mem + i * sizeof(SigPacked), sizeof(rec));
        const size_t pos = std::max(home_slot(rec.digest, range), fill);
        for (; fill < pos; ++fill) {
            t->slots[fill] = empty;
        }
        t->slots[pos].prefix = load_be32(rec.digest);
        t->slots[pos].entry = static_cast<uint32_t>(i);
        fill = pos + 1;
        SigEntry e;
        memcpy(e.rest, rec.digest + kPrefix, sizeof(e.rest));
        e.name = rec.name;
        memcpy(b->mem + i * sizeof(SigEntry), &e, sizeof(e));
    }
    for (; fill < slot_count; ++fill) {
        t->slots[fill] = empty;
    }
    t->slot_count = slot_count;
    t->home_range = range;
    t->distinct = distinct;

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
    if (shift > 0 && distinct > 0) {
        memmove(mem + shift, mem, distinct * sizeof(SigEntry));
    }
    t->entry_mem = mem;
    t->entries = reinterpret_cast<const SigEntry*>(mem + shift);
    return true;
}

void reset_builder(SigBuilder* b)
{
    free(b->mem);
    free(b->names);
    b->mem = nullptr;
    b->mem_size = 0;
    b->items = 0;
    b->names = nullptr;
    b->names_len = 0;
    b->names_size = 0;
    b->count = 0;
    b->carry_len = 0;
    if (b->intern != nullptr) {
        memset(b->intern, 0xff, b->intern_size * sizeof(InternSlot));
    }
}

// ---- the process-wide list ----------------------------------------------

// Read and replaced only through std::atomic_load / std::atomic_store.
SigSnapshot g_table;
// Serialises the changes (each one reads the list, builds and publishes).
std::mutex g_change;

} // namespace

int sig_parse_line(const char* text, size_t len, SigLine* out)
{
    // The line ends at the first CR or LF, and at a NUL as C text would.
    if (len < TG_SIG_MIN_LINE || text[0] == '#') {
        return 0;
    }
    // A CR, LF or NUL among the first 64 characters fails the hex test, as
    // the line is then too short anyway.
    if (!decode_hex(text, out->digest, SHA256_DIGEST_SIZE, kHex)) {
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
    const SigEntry* e = find_entry(table, digest);
    if (e == nullptr) {
        return 0;
    }
    if (name != nullptr && name_size > 0) {
        bounded_copy(name, table->names + e->name, name_size);
    }
    return 1;
}

const char* sig_table_find(const SigTable* table, const uint8_t digest[SHA256_DIGEST_SIZE])
{
    const SigEntry* e = find_entry(table, digest);
    return e != nullptr ? table->names + e->name : nullptr;
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
    return table != nullptr ? table->slot_count * sizeof(SigSlot) +
                                  table->distinct * sizeof(SigEntry) + table->names_len
                            : 0;
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
    for (size_t i = 0; i < table->slot_count; ++i) {
        const SigSlot& s = table->slots[i];
        if (s.entry == kEmpty) {
            continue;
        }
        const SigEntry& e = table->entries[s.entry];
        uint8_t digest[SHA256_DIGEST_SIZE];
        digest[0] = static_cast<uint8_t>(s.prefix >> 24);
        digest[1] = static_cast<uint8_t>(s.prefix >> 16);
        digest[2] = static_cast<uint8_t>(s.prefix >> 8);
        digest[3] = static_cast<uint8_t>(s.prefix);
        memcpy(digest + kPrefix, e.rest, sizeof(e.rest));
        const char* name = table->names + e.name;
        if (!add_digest(builder, digest, name, strlen(name))) {
            return 0;
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
    // Hand the names over, trimmed to what they use.
    if (b->names != nullptr && b->names_len > 0) {
        char* names = static_cast<char*>(realloc(b->names, b->names_len));
        t->names = names != nullptr ? names : b->names;
        b->names = nullptr;
    }
    t->names_len = b->names_len;
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
    std::atomic_store(&g_table, table);
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
    std::atomic_store(&g_table, t);
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
    return sig_table_count(std::atomic_load(&g_table).get());
}

int sig_lookup(const char* hash, char* name, size_t name_size)
{
    // Only the exact lower-case text of a digest matches, as a comparison
    // with the stored text would: 64 lower-case hex digits, then the end.
    if (hash == nullptr) {
        return 0;
    }
    const SigSnapshot t = std::atomic_load(&g_table);
    if (!t) {
        return 0;
    }
    // The home slot needs only the first four bytes: start fetching it
    // while the rest of the text is decoded.
    uint8_t digest[SHA256_DIGEST_SIZE];
    const bool head = decode_hex_text(hash, digest, 4);
    if (!head) {
        return 0;
    }
    __builtin_prefetch(t->slots + home_slot(digest, t->home_range));
    if (!decode_hex_text(hash + 8, digest + 4, SHA256_DIGEST_SIZE - 4) ||
        hash[2 * SHA256_DIGEST_SIZE] != '\0') {
        return 0;
    }
    return sig_table_lookup(t.get(), digest, name, name_size);
}

int sig_lookup_digest(const uint8_t digest[SHA256_DIGEST_SIZE], char* name, size_t name_size)
{
    const SigSnapshot t = std::atomic_load(&g_table);
    return sig_table_lookup(t.get(), digest, name, name_size);
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
    std::atomic_store(&g_table, t);
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
