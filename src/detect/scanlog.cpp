#include "detect/scanlog.h"

#include "common/text.h"

#include <climits>
#include <cstring>
#include <deque>

bool scanlog_format_line(char* out, size_t size, const LocalTime& ended, const char* kind,
                         long seconds, long files, long threats)
{
    char clean_kind[TG_SCANLOG_LINE_SIZE];
    bounded_copy(clean_kind, kind != nullptr ? kind : "", sizeof(clean_kind));
    for (char* p = clean_kind; *p != '\0'; p++)
        if (*p == '|' || *p == '\r' || *p == '\n')
            *p = '_';
    return bounded_format(out, size, "%04d-%02d-%02dT%02d:%02d:%02d|%s|%ld|%ld|%ld", ended.year,
                          ended.month, ended.day, ended.hour, ended.minute, ended.second,
                          clean_kind, seconds, files, threats);
}

// Length of s[0, n) up to its first CR, LF or NUL.
static size_t text_len(const char* s, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (s[i] == '\r' || s[i] == '\n' || s[i] == '\0')
            return i;
    return n;
}

std::string scanlog_rewrite(const char* old, size_t len, const char* new_line)
{
    // Pieces as a 160-byte line buffer reads them: up to and including a
    // '\n', at most TG_SCANLOG_LINE_MAX_CHARS characters. The newest are kept:
    // a file that somehow grew past the limit loses its oldest lines.
    std::deque<std::string> lines;
    size_t at = 0;
    while (old != nullptr && at < len) {
        size_t piece = 0;
        while (piece < TG_SCANLOG_LINE_MAX_CHARS && at + piece < len) {
            piece++;
            if (old[at + piece - 1] == '\n')
                break;
        }
        const size_t n = text_len(old + at, piece);
        if (n > 0) {
            lines.emplace_back(old + at, n);
            if (lines.size() > TG_SCANLOG_MAX_LINES - 1)
                lines.pop_front();
        }
        at += piece;
    }
    const char* add = new_line != nullptr ? new_line : "";
    lines.emplace_back(add, text_len(add, strnlen(add, TG_SCANLOG_LINE_MAX_CHARS)));

    std::string text;
    for (const std::string& l : lines) {
        text += l;
        text.push_back('\n');
    }
    return text;
}

static void copy_field(char* dst, size_t size, const char* src, size_t n)
{
    if (n > size - 1)
        n = size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

bool scanlog_parse_line(const char* line, ScanLogEntry* entry)
{
    if (line == nullptr)
        return false;
    const size_t n = text_len(line, strlen(line));
    size_t start[5];
    size_t end[5];
    int fields = 0;
    size_t from = 0;
    for (size_t i = 0; i <= n && fields < 5; i++) {
        if (i == n || line[i] == '|') {
            start[fields] = from;
            end[fields] = i;
            fields++;
            from = i + 1;
        }
    }
    if (fields < 5)
        return false;
    copy_field(entry->time, sizeof(entry->time), line + start[0], end[0] - start[0]);
    copy_field(entry->kind, sizeof(entry->kind), line + start[1], end[1] - start[1]);
    entry->seconds = text_atol(line + start[2], end[2] - start[2]);
    entry->files = text_atol(line + start[3], end[3] - start[3]);
    entry->threats = text_atol(line + start[4], end[4] - start[4]);
    return true;
}
