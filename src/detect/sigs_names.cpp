// Threat names as the table stores them: records of a stem number and a
// packed run of digits, or the name whole, the stem dictionary, and the
// builder's sharing of equal records.
#include "detect/sigs_names.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kInternMin = 1u << 8;  // name records remembered for sharing: at first
constexpr size_t kInternMax = 1u << 16; // and at most
constexpr size_t kStemsMax = 1u << 16;  // stems in the dictionary (16-bit numbers)
constexpr uint8_t kWhole = 0x80;        // record header: the name kept whole

static_assert(kNameMax < kWhole, "a name length fits a record header");

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

// Bytes a record takes, from its header.
inline size_t record_size(const uint8_t* rec)
{
    return (rec[0] & kWhole) != 0 ? 1 + (rec[0] & kNameMax) : 3 + (rec[0] + 1u) / 2;
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

} // namespace

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
