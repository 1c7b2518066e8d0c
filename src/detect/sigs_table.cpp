// Lookups in a signature table (its layout: sigs_internal.h).
#include "detect/sigs_table.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "detect/sigs_internal.h"
#include "detect/sigs_names.h"

namespace {

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

// False when the digest is surely not listed; reads only its bytes 4..11.
inline bool filter_passes(const SigTable* table, const uint8_t* digest)
{
    const uint64_t bit = load_be64(digest + kPrefix) >> (64 - table->filter_bits);
    return (table->filter[bit >> 6] >> (bit & 63) & 1u) != 0;
}

// The entry number of a digest, or `table->distinct` when it is not
// listed. The walk starts at the home slot; a miss mostly ends at the first
// slot it reads.
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

} // namespace

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
