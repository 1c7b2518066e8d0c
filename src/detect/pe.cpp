#include "detect/pe.h"

#include <cstdint>

// Layout of the headers, as the PE/COFF format defines it (all fields
// little-endian).
static const size_t kDosHeaderBytes = 64;
static const size_t kDosLfanewAt = 0x3c; // u32: file offset of "PE\0\0"
static const size_t kPeSignatureBytes = 4;
static const size_t kCoffHeaderBytes = 20;
static const size_t kCoffSectionCountAt = 2;        // u16
static const size_t kCoffOptionalHeaderSizeAt = 16; // u16
static const uint16_t kOptionalMagicPe32 = 0x10b;
static const uint16_t kOptionalMagicPe32Plus = 0x20b;
// Offsets in the optional header of NumberOfRvaAndSizes and of the data
// directories, PE32 and PE32+ (whose ImageBase and stack sizes are wider).
static const size_t kPe32DirectoryCountAt = 92;
static const size_t kPe32DirectoriesAt = 96;
static const size_t kPe32PlusDirectoryCountAt = 108;
static const size_t kPe32PlusDirectoriesAt = 112;
static const size_t kDataDirectoryBytes = 8; // u32 RVA, u32 size
static const size_t kSectionHeaderBytes = 40;
static const size_t kSectionVirtualAddressAt = 12; // u32
static const size_t kSectionRawSizeAt = 16;        // u32
static const size_t kSectionRawPointerAt = 20;     // u32
// The export directory table that the export directory begins with.
static const uint32_t kExportDirectoryTableBytes = 40;

// Whether [offset, offset + count) lies inside a buffer of length bytes.
// Neither the sum nor the difference can wrap.
static bool contains(size_t length, uint64_t offset, uint64_t count)
{
    const uint64_t len = length;
    return offset <= len && count <= len - offset;
}

static uint16_t u16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

static uint32_t u32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool pe_export_range(const unsigned char* head, size_t head_len, PeRange* out)
{
    if (head == nullptr || !contains(head_len, 0, kDosHeaderBytes) || head[0] != 'M' ||
        head[1] != 'Z')
        return false;

    const uint64_t nt = u32(head + kDosLfanewAt);
    if (!contains(head_len, nt, kPeSignatureBytes + kCoffHeaderBytes))
        return false;
    const unsigned char* sig = head + nt;
    if (sig[0] != 'P' || sig[1] != 'E' || sig[2] != 0 || sig[3] != 0)
        return false;
    const unsigned char* coff = sig + kPeSignatureBytes;
    const uint32_t sections = u16(coff + kCoffSectionCountAt);
    const uint32_t optional_size = u16(coff + kCoffOptionalHeaderSizeAt);

    // The optional header must declare, and the buffer hold, data directory
    // 0; the section table follows the optional header's declared size.
    const uint64_t opt = nt + kPeSignatureBytes + kCoffHeaderBytes;
    if (!contains(head_len, opt, 2))
        return false;
    size_t count_at;
    size_t dirs_at;
    switch (u16(head + opt)) {
    case kOptionalMagicPe32:
        count_at = kPe32DirectoryCountAt;
        dirs_at = kPe32DirectoriesAt;
        break;
    case kOptionalMagicPe32Plus:
        count_at = kPe32PlusDirectoryCountAt;
        dirs_at = kPe32PlusDirectoriesAt;
        break;
    default:
        return false;
    }
    if (optional_size < dirs_at + kDataDirectoryBytes ||
        !contains(head_len, opt, dirs_at + kDataDirectoryBytes))
        return false;
    if (u32(head + opt + count_at) < 1)
        return false;
    const uint32_t export_rva = u32(head + opt + dirs_at);
    const uint32_t export_size = u32(head + opt + dirs_at + 4);
    if (export_rva == 0 && export_size == 0)
        return false; // no exports: the usual case for a program
    if (export_size < kExportDirectoryTableBytes)
        return false;

    const uint64_t table = opt + optional_size;
    if (sections == 0 || !contains(head_len, table, uint64_t{sections} * kSectionHeaderBytes))
        return false;

    // The first section whose raw data holds the directory's first byte must
    // hold all of it; the RVA of any other byte (headers, zero-filled tails)
    // has no bytes of the file behind it.
    for (uint32_t i = 0; i < sections; i++) {
        const unsigned char* s = head + table + uint64_t{i} * kSectionHeaderBytes;
        const uint32_t va = u32(s + kSectionVirtualAddressAt);
        const uint32_t raw_size = u32(s + kSectionRawSizeAt);
        const uint32_t raw_at = u32(s + kSectionRawPointerAt);
        if (export_rva < va || export_rva - va >= raw_size)
            continue;
        const uint64_t within = export_rva - va;
        if (uint64_t{export_size} > raw_size - within)
            return false;
        const uint64_t begin = uint64_t{raw_at} + within;
        if (begin >= head_len)
            return false; // wholly past the head: nothing of it is read
        const uint64_t end = begin + export_size;
        out->begin = static_cast<size_t>(begin);
        out->end = end < head_len ? static_cast<size_t>(end) : head_len;
        return true;
    }
    return false;
}
