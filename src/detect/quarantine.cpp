#include "detect/quarantine.h"

#include "common/text.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

// One physical line of the db: [begin, begin + len) without its '\n';
// next is where the following line starts.
struct DbLine {
    const char* begin;
    size_t len;
    size_t next;
};

static bool next_line(const char* db, size_t db_len, size_t at, DbLine* line)
{
    if (db == nullptr || at >= db_len)
        return false;
    const void* nl = memchr(db + at, '\n', db_len - at);
    const size_t end =
        nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - db) : db_len;
    line->begin = db + at;
    line->len = end - at;
    line->next = nl != nullptr ? end + 1 : db_len;
    return true;
}

long quar_line_id(const char* line, size_t len)
{
    return text_atol(line, len);
}

// The part of a line that is read for fields: at most TG_QUAR_LINE_MAX_CHARS
// characters, cut at the first CR or LF.
static size_t field_view(const DbLine& line)
{
    size_t n = std::min(line.len, TG_QUAR_LINE_MAX_CHARS);
    for (size_t i = 0; i < n; i++)
        if (line.begin[i] == '\r' || line.begin[i] == '\n')
            return i;
    return n;
}

// Splits the view into its four fields: the positions of the first three
// '|'. False when there are fewer.
static bool split_fields(const char* s, size_t n, size_t bar[3])
{
    int found = 0;
    for (size_t i = 0; i < n && found < 3; i++)
        if (s[i] == '|')
            bar[found++] = i;
    return found == 3;
}

static void copy_field(char* dst, size_t size, const char* src, size_t n)
{
    if (n > size - 1)
        n = size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

static void append_clean(std::string* out, const char* s)
{
    for (; s != nullptr && *s != '\0'; s++)
        out->push_back((*s == '\r' || *s == '\n' || *s == '|') ? '_' : *s);
}

bool quar_format_record(char* out, size_t size, long id, const LocalTime& when, const char* path,
                        const char* threat)
{
    if (size == 0)
        return false;
    out[0] = '\0';
    char head[96];
    bounded_format(head, sizeof(head), "%ld|%04d-%02d-%02d %02d:%02d:%02d|", id, when.year,
                   when.month, when.day, when.hour, when.minute, when.second);
    std::string line = head;
    append_clean(&line, path);
    line.push_back('|');
    append_clean(&line, threat);
    line.push_back('\n');
    if (line.size() > TG_QUAR_LINE_MAX_CHARS || line.size() >= size)
        return false;
    memcpy(out, line.c_str(), line.size() + 1);
    return true;
}

long quar_next_id(const char* db, size_t len)
{
    long next = 1;
    bool saturated = false;
    DbLine line;
    for (size_t at = 0; next_line(db, len, at, &line); at = line.next) {
        const long id = quar_line_id(line.begin, std::min(line.len, TG_QUAR_LINE_MAX_CHARS));
        if (id == LONG_MAX)
            saturated = true;
        else if (id + 1 > next)
            next = id + 1;
    }
    if (!saturated)
        return next;

    // No id above LONG_MAX: take the smallest free one instead.
    std::vector<long> used;
    for (size_t at = 0; next_line(db, len, at, &line); at = line.next) {
        const long id = quar_line_id(line.begin, std::min(line.len, TG_QUAR_LINE_MAX_CHARS));
        if (id > 0)
            used.push_back(id);
    }
    std::sort(used.begin(), used.end());
    long candidate = 1;
    for (long id : used) {
        if (id > candidate)
            break;
        if (id == candidate)
            candidate++;
    }
    return candidate;
}

bool quar_file_name(char* out, size_t size, const char* folder, long id, const char* original_path)
{
    if (size == 0)
        return false;
    out[0] = '\0';
    if (folder == nullptr || original_path == nullptr)
        return false;
    const char* name = strrchr(original_path, '\\');
    name = name != nullptr ? name + 1 : original_path;

    char prefix[32];
    bounded_format(prefix, sizeof(prefix), "%ld_", id);
    const size_t fixed = strlen(prefix) + strlen(".quar");
    size_t keep = strlen(name);
    if (fixed + keep > TG_QUAR_FILE_NAME_MAX_CHARS)
        keep = TG_QUAR_FILE_NAME_MAX_CHARS - fixed;

    std::string path = folder;
    path.push_back('\\');
    path += prefix;
    for (size_t i = 0; i < keep; i++)
        path.push_back((name[i] == '/' || name[i] == ':') ? '_' : name[i]);
    path += ".quar";
    if (path.size() >= size)
        return false;
    memcpy(out, path.c_str(), path.size() + 1);
    return true;
}

bool quar_file_pattern(char* out, size_t size, const char* folder, long id)
{
    if (bounded_format(out, size, "%s\\%ld_*.quar", folder != nullptr ? folder : "", id)) {
        if (size > 0)
            out[0] = '\0';
        return false;
    }
    return true;
}

bool quar_find(const char* db, size_t len, long id, QuarRecord* rec)
{
    DbLine line;
    for (size_t at = 0; next_line(db, len, at, &line); at = line.next) {
        const size_t n = field_view(line);
        size_t bar[3];
        if (quar_line_id(line.begin, n) != id || !split_fields(line.begin, n, bar))
            continue;
        const size_t path_len = bar[2] - bar[1] - 1;
        if (path_len > TG_QUAR_PATH_MAX_CHARS)
            continue;
        rec->id = id;
        copy_field(rec->date, sizeof(rec->date), line.begin + bar[0] + 1, bar[1] - bar[0] - 1);
        copy_field(rec->path, sizeof(rec->path), line.begin + bar[1] + 1, path_len);
        copy_field(rec->threat, sizeof(rec->threat), line.begin + bar[2] + 1, n - bar[2] - 1);
        return true;
    }
    return false;
}

bool quar_db_remove(const char* db, size_t len, long id, std::string* out)
{
    out->clear();
    bool dropped = false;
    DbLine line;
    for (size_t at = 0; next_line(db, len, at, &line); at = line.next) {
        if (quar_line_id(line.begin, std::min(line.len, TG_QUAR_LINE_MAX_CHARS)) == id) {
            dropped = true;
            continue;
        }
        out->append(line.begin, line.next - at);
    }
    return dropped;
}

static void append_listing_line(std::string* out, const char* id, const char* date,
                                const char* threat, const char* path)
{
    // Fields come from one view of at most TG_QUAR_LINE_MAX_CHARS characters, so
    // this buffer always holds them with their padding.
    char buf[TG_QUAR_LINE_MAX_CHARS + 96];
    bounded_format(buf, sizeof(buf), "%-6s %-19s %-28s %s\n", id, date, threat, path);
    *out += buf;
}

std::string quar_list_text(const char* db, size_t len)
{
    std::string out;
    append_listing_line(&out, "ID", "Date", "Threat", "Original path");
    DbLine line;
    for (size_t at = 0; next_line(db, len, at, &line); at = line.next) {
        const size_t n = field_view(line);
        size_t bar[3];
        if (!split_fields(line.begin, n, bar))
            continue;
        std::string view(line.begin, n);
        view[bar[0]] = '\0';
        view[bar[1]] = '\0';
        view[bar[2]] = '\0';
        const char* s = view.c_str();
        // A NUL byte inside a field ends it, as it would in a C string.
        append_listing_line(&out, s, s + bar[0] + 1, s + bar[2] + 1, s + bar[1] + 1);
    }
    return out;
}

bool quar_action_is_delete(const char* value)
{
    return value != nullptr && (value[0] == 'D' || value[0] == 'd');
}
