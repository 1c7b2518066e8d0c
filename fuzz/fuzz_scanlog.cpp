// scans.log text: the rewrite and the line parser. Input: the new line up
// to the first '\n', then the old file.
#include "detect/scanlog.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* in = reinterpret_cast<const char*>(data);
    const char* nl = static_cast<const char*>(memchr(in, '\n', size));
    const size_t first = nl != nullptr ? static_cast<size_t>(nl - in) : size;
    const std::string add(in, first);
    const char* old = nl != nullptr ? nl + 1 : in + size;
    const size_t old_len = size - static_cast<size_t>(old - in);

    const std::string text = scanlog_rewrite(old, old_len, add.c_str());
    if (text.empty() || text.back() != '\n')
        abort();
    size_t lines = 0;
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        lines++;
        if (line.size() > TG_SCANLOG_LINE_MAX_CHARS || line.find('\r') != std::string::npos ||
            line.find('\0') != std::string::npos)
            abort();
        ScanLogEntry e;
        scanlog_parse_line(line.c_str(), &e);
    }
    if (lines == 0 || lines > TG_SCANLOG_MAX_LINES)
        abort();

    // Rewriting what was written keeps it, less the oldest line when full.
    const std::string again = scanlog_rewrite(text.data(), text.size(), "next");
    const std::string kept =
        lines == TG_SCANLOG_MAX_LINES ? text.substr(text.find('\n') + 1) : text;
    const std::string expect =
        (text.find("\n\n") == std::string::npos && text[0] != '\n') ? kept + "next\n" : again;
    if (again != expect)
        abort();

    char line[TG_SCANLOG_LINE_SIZE];
    const LocalTime when = {2024, 1, 2, 3, 4, 5, 0};
    scanlog_format_line(line, sizeof(line), when, add.c_str(), 1, 2, 3);
    if (strlen(line) > TG_SCANLOG_LINE_MAX_CHARS || strpbrk(line, "\r\n") != nullptr)
        abort();
    return 0;
}
