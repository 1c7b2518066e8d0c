#include "common/notifylog.h"

#include "common/limits.h"

#include <cstdio>
#include <cstring>
#include <deque>

size_t notify_escape(const char* src, char* out, size_t cap)
{
    if (cap == 0)
        return 0;
    size_t n = 0;
    for (const char* s = src ? src : ""; *s != '\0'; s++) {
        char a = *s;
        char b = 0;
        if (a == '\\')
            b = '\\';
        else if (a == '\t')
            b = 't';
        else if (a == '\n' || a == '\r')
            b = 'n';
        size_t need = b ? 2 : 1;
        if (n + need > cap - 1)
            break;
        if (b) {
            out[n++] = '\\';
            out[n++] = b;
        } else {
            out[n++] = a;
        }
    }
    out[n] = '\0';
    return n;
}

std::string notify_unescape(const char* src, size_t len)
{
    std::string out;
    out.reserve(len);
    for (size_t i = 0; i < len; i++) {
        char c = src[i];
        if (c != '\\' || i + 1 == len) {
            out += c;
            continue;
        }
        char d = src[++i];
        out += d == 't' ? '\t' : d == 'n' ? '\n' : d;
    }
    return out;
}

std::string notify_format_line(const LocalTime& t, const char* title, const char* text)
{
    char et[TG_NOTIFY_TITLE_SIZE];
    char ex[TG_NOTIFY_TEXT_SIZE];
    notify_escape(title, et, sizeof(et));
    notify_escape(text, ex, sizeof(ex));
    char ts[32];
    snprintf(ts, sizeof(ts), "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
             t.minute, t.second);
    std::string line = ts;
    line += '\t';
    line += et;
    line += '\t';
    line += ex;
    line += '\n';
    return line;
}

std::string notify_rewrite(const char* old_text, size_t len, const std::string& new_line)
{
    std::deque<std::string> kept;
    if (old_text != nullptr) {
        size_t pos = 0;
        while (pos < len) {
            size_t n = 0;
            while (pos + n < len && n < TG_NOTIFY_LINE_SIZE - 1) {
                n++;
                if (old_text[pos + n - 1] == '\n')
                    break;
            }
            if (kept.size() == TG_NOTIFY_KEEP)
                kept.pop_front();
            kept.emplace_back(old_text + pos, n);
            pos += n;
        }
    }
    while (kept.size() > TG_NOTIFY_KEEP - 1)
        kept.pop_front();
    std::string out;
    for (const std::string& l : kept) {
        out += l;
        // A piece without its line break (a torn last line) must not swallow
        // the next alert.
        if (!l.empty() && l.back() != '\n')
            out += '\n';
    }
    out += new_line;
    return out;
}

bool notify_parse_line(const char* line, size_t len, NotifyEntry* out)
{
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
        len--;
    const char* t1 = static_cast<const char*>(memchr(line, '\t', len));
    if (t1 == nullptr)
        return false;
    size_t rest = len - static_cast<size_t>(t1 + 1 - line);
    const char* t2 = static_cast<const char*>(memchr(t1 + 1, '\t', rest));
    if (t2 == nullptr)
        return false;
    out->timestamp.assign(line, static_cast<size_t>(t1 - line));
    out->title = notify_unescape(t1 + 1, static_cast<size_t>(t2 - t1 - 1));
    out->text = notify_unescape(t2 + 1, len - static_cast<size_t>(t2 + 1 - line));
    return true;
}
