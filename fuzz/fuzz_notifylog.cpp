// Notification log: escaping keeps an alert on one line and within its
// capacity, unescaping gives the text back, and the rewrite never keeps
// more than 25 lines.
#include "common/notifylog.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string s(reinterpret_cast<const char*>(data), size);
    std::string text = s.substr(0, s.find('\0'));
    char esc[384];
    size_t n = notify_escape(text.c_str(), esc, sizeof(esc));
    if (n >= sizeof(esc) || strlen(esc) != n || memchr(esc, '\n', n) || memchr(esc, '\t', n))
        __builtin_trap();
    std::string back = notify_unescape(esc, n);
    std::string want = text.substr(0, back.size());
    for (char& c : want)
        if (c == '\r')
            c = '\n';
    if (back != want)
        __builtin_trap();
    NotifyEntry e;
    notify_parse_line(s.data(), s.size(), &e);
    std::string out = notify_rewrite(s.data(), s.size(), "x\n");
    size_t lines = 0;
    for (char c : out)
        lines += (c == '\n');
    if (lines > 25 + 1)
        __builtin_trap();
    return 0;
}
