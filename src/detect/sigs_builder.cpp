// Building a signature table (its layout: sigs_internal.h).
//
// The signatures are collected in order (40-byte items: digest,
// name record, sequence number), sorted by digest and sequence, reduced to
// the latest entry of each digest and packed in place, then turned into
// entries in the same buffer while the index is laid out beside them. A
// name is encoded as it is added; equal records are shared through a small
// cache of the records seen lately, so a family name used by many digests is
// stored once.
#include "detect/sigs_builder.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "detect/sigs_internal.h"
#include "detect/sigs_names.h"
#include "detect/sigs_text.h"

namespace {

constexpr size_t kReadMax = TG_SIG_LINE_SIZE - 1;

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

} // namespace

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
