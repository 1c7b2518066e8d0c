// Signature text: any bytes load without reading out of bounds; the text
// fed whole and fed in two pieces gives the same table; every digest that
// appears in the text looks up the same in both; the process-wide reload
// and the text lookup stay in bounds too.
#include "detect/sigs.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    SigSnapshot whole = sig_table_from_text(text, size, true);

    const size_t split = size > 0 ? data[0] % (size + 1) : 0;
    SigBuilderPtr b(sig_builder_new(size / 2));
    if (!whole || !b) {
        return 0;
    }
    sig_builder_add_builtin(b.get());
    sig_builder_feed(b.get(), text, split);
    sig_builder_feed(b.get(), text + split, size - split);
    SigSnapshot pieces = sig_builder_finish(b.get());
    if (!pieces || sig_table_count(whole.get()) != sig_table_count(pieces.get()) ||
        sig_table_distinct(whole.get()) != sig_table_distinct(pieces.get())) {
        __builtin_trap();
    }

    // Every 64-character hex run in the text, at every offset.
    for (size_t i = 0; i + 64 <= size; ++i) {
        uint8_t digest[SHA256_DIGEST_SIZE];
        char hex[65];
        memcpy(hex, text + i, 64);
        hex[64] = '\0';
        if (!sha256_parse_hex(hex, digest)) {
            continue;
        }
        char a[TG_SIG_NAME_SIZE];
        char c[TG_SIG_NAME_SIZE];
        const int in_a = sig_table_lookup(whole.get(), digest, a, sizeof(a));
        const int in_c = sig_table_lookup(pieces.get(), digest, c, sizeof(c));
        if (in_a != in_c || (in_a && strcmp(a, c) != 0)) {
            __builtin_trap();
        }
    }

    // The process-wide list, and the text lookup on the raw bytes.
    sigs_reload_text(text, size);
    char name[TG_SIG_NAME_SIZE];
    char query[66];
    const size_t qlen = size < sizeof(query) - 1 ? size : sizeof(query) - 1;
    memcpy(query, text, qlen);
    query[qlen] = '\0';
    sig_lookup(query, name, sizeof(name));
    if (sig_lookup(SIG_EICAR_SHA256, name, sizeof(name)) != 1) {
        __builtin_trap();
    }
    return 0;
}
