#include "common/settings.h"

#include "common/limits.h"
#include "common/text.h"

#include <cstring>

namespace {

// One piece of text as fgets with a 1024-byte buffer would return it: up to
// and including the next LF, or 1023 bytes, or the rest of the text.
struct Piece {
    size_t start;
    size_t len;
};

bool next_piece(const char* text, size_t len, size_t* pos, Piece* out)
{
    if (*pos >= len)
        return false;
    size_t start = *pos;
    size_t max = TG_SETTING_LINE_SIZE - 1;
    size_t n = 0;
    while (start + n < len && n < max) {
        char c = text[start + n];
        n++;
        if (c == '\n')
            break;
    }
    out->start = start;
    out->len = n;
    *pos = start + n;
    return true;
}

// Whether the piece begins with key followed by "=".
bool piece_has_key(const char* p, size_t plen, const char* key, size_t klen)
{
    return klen > 0 && plen > klen && memcmp(p, key, klen) == 0 && p[klen] == '=';
}

size_t cut_at_line_end(const char* s, size_t n)
{
    size_t i = 0;
    while (i < n && s[i] != '\r' && s[i] != '\n')
        i++;
    return i;
}

} // namespace

void settings_get(const char* text, size_t len, const char* key, char* out, size_t size,
                  const char* def)
{
    if (size == 0)
        return;
    bounded_copy(out, def ? def : "", size);
    if (text == nullptr || key == nullptr)
        return;
    size_t klen = strlen(key);
    size_t pos = 0;
    Piece pc;
    while (next_piece(text, len, &pos, &pc)) {
        const char* p = text + pc.start;
        if (!piece_has_key(p, pc.len, key, klen))
            continue;
        const char* v = p + klen + 1;
        size_t vlen = cut_at_line_end(v, pc.len - klen - 1);
        if (vlen > size - 1)
            vlen = size - 1;
        memcpy(out, v, vlen);
        out[vlen] = '\0';
        return;
    }
}

std::string settings_set(const char* text, size_t len, const char* key, const char* value)
{
    if (value == nullptr)
        value = "";
    size_t klen = strlen(key);
    std::string line(key);
    line += '=';
    line.append(value, cut_at_line_end(value, strlen(value)));

    std::string out;
    if (text == nullptr) {
        if (line.size() > TG_SETTING_LINE_SIZE - 2)
            line.resize(TG_SETTING_LINE_SIZE - 2);
        return line + "\n";
    }
    out.reserve(len + line.size() + 2);
    bool found = false;
    size_t pos = 0;
    Piece pc;
    while (next_piece(text, len, &pos, &pc)) {
        const char* p = text + pc.start;
        if (!found && piece_has_key(p, pc.len, key, klen)) {
            // Keep the line break style of the line being replaced.
            bool crlf = pc.len >= 2 && p[pc.len - 2] == '\r' && p[pc.len - 1] == '\n';
            std::string eol = crlf ? "\r\n" : "\n";
            std::string repl = line;
            if (repl.size() + eol.size() > TG_SETTING_LINE_SIZE - 1)
                repl.resize(TG_SETTING_LINE_SIZE - 1 - eol.size());
            out += repl;
            out += eol;
            found = true;
            continue;
        }
        out.append(p, pc.len);
    }
    if (!found) {
        bool crlf = false;
        const char* lf = static_cast<const char*>(memchr(text, '\n', len));
        if (lf != nullptr && lf > text && lf[-1] == '\r')
            crlf = true;
        std::string eol = crlf ? "\r\n" : "\n";
        // A last line without a line break would otherwise swallow the new one.
        if (!out.empty() && out.back() != '\n')
            out += eol;
        if (line.size() + eol.size() > TG_SETTING_LINE_SIZE - 1)
            line.resize(TG_SETTING_LINE_SIZE - 1 - eol.size());
        out += line;
        out += eol;
    }
    return out;
}

long settings_atol(const char* s)
{
    return s == nullptr ? 0 : text_atol(s, strlen(s));
}

long settings_counter_value(const char* text)
{
    return settings_counter_add(settings_atol(text), 0);
}

long settings_counter_add(long count, long n)
{
    long long s = static_cast<long long>(count < 0 ? 0 : count) + n;
    if (s > TG_COUNTER_MAX)
        return TG_COUNTER_MAX;
    return s < 0 ? 0 : static_cast<long>(s);
}
