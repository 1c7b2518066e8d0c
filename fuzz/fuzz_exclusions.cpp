// Exclusion values and matching. Input: the raw value up to the first '\n',
// then one path per line.
#include "detect/exclusions.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    input = input.substr(0, strlen(input.c_str())); // C strings end at a NUL
    const size_t nl = input.find('\n');
    const std::string raw = input.substr(0, nl);

    static ExclusionTable table; // large: keep it off the stack
    table = ExclusionTable{};
    exclusions_update(&table, raw.c_str());
    if (table.count < 0 || table.count > TG_EXCL_MAX_ENTRIES)
        abort();
    for (int i = 0; i < table.count; i++) {
        const char* e = table.entries[i];
        const size_t n = strlen(e);
        if (n == 0 || n > TG_EXCL_ENTRY_MAX_CHARS || strchr(e, ';') != nullptr)
            abort();
        if (e[0] == ' ' || e[0] == '\t' || e[n - 1] == ' ' || e[n - 1] == '\t')
            abort();
    }
    if (exclusions_update(&table, raw.c_str()))
        abort(); // an unchanged value is not parsed again
    // A folder entry matches itself and what lies below it.
    for (int i = 0; i < table.count; i++) {
        const std::string e = table.entries[i];
        if (e.compare(0, 2, "*.") == 0)
            continue;
        if (is_excluded(&table, e.c_str()) != 1 || is_excluded(&table, (e + "\\x").c_str()) != 1)
            abort();
    }

    size_t at = nl == std::string::npos ? input.size() : nl + 1;
    while (at < input.size()) {
        size_t end = input.find('\n', at);
        if (end == std::string::npos)
            end = input.size();
        const std::string path = input.substr(at, end - at);
        const int hit = is_excluded(&table, path.c_str());
        if (hit != 0 && hit != 1)
            abort();
        at = end + 1;
    }
    return 0;
}
