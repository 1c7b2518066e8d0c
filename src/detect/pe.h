// Where a PE file keeps its export directory, read from the file's head.
//
// Only the headers the answer needs are read: the DOS header's e_lfanew,
// the "PE\0\0" signature, the COFF file header, the optional header (PE32
// or PE32+) up to its first data directory, and the section table. Every
// read is checked against the buffer first; a header that is damaged, lies
// past the end of the buffer or contradicts itself gives no range, and the
// caller treats the whole buffer as it would any other data.
//
// The range is the export directory as the file declares it: from the file
// offset of data directory 0's RVA, data directory 0's size bytes. Linkers
// put everything the export directory refers to there: the directory table,
// the address, name pointer and ordinal tables, the module name, the
// exported names and the forwarder strings. Bytes the directory points to
// outside that range are not part of it (a file could otherwise have any of
// its strings taken for exported names by pointing at them).
//
// Pure: reads only its inputs; any number of threads may call it at once.
#pragma once

#include <cstddef>

// A byte range [begin, end) of a buffer.
struct PeRange {
    size_t begin = 0;
    size_t end = 0;
};

// The part of head[0, head_len) that holds the export directory of the PE
// file whose first head_len bytes head holds. True with *out set (begin <
// end <= head_len) when the headers are sound and declare an export
// directory that lies wholly inside one section's raw data and at least
// partly inside the buffer; the range is cut at head_len when the directory
// runs past the end of the buffer (a file longer than its head). False, with
// *out untouched, otherwise: not a PE file, no export directory, or a
// damaged or truncated header. head may be null when head_len is 0.
bool pe_export_range(const unsigned char* head, size_t head_len, PeRange* out);
