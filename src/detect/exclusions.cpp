#include "detect/exclusions.h"

#include "common/text.h"

#include <cstring>

static bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

static void parse(ExclusionTable* t)
{
    t->count = 0;
    const char* p = t->raw;
    while (t->count < TG_EXCL_MAX_ENTRIES) {
        while (*p == ';' || is_blank(*p))
            p++;
        if (*p == '\0')
            break;
        const char* begin = p;
        while (*p != ';' && *p != '\0')
            p++;
        const char* end = p;
        while (end > begin && is_blank(end[-1]))
            end--;
        const size_t n = static_cast<size_t>(end - begin);
        if (n == 0 || n > TG_EXCL_ENTRY_MAX_CHARS)
            continue;
        memcpy(t->entries[t->count], begin, n);
        t->entries[t->count][n] = '\0';
        t->count++;
    }
}

bool exclusions_update(ExclusionTable* t, const char* raw)
{
    char value[sizeof(t->raw)];
    bounded_copy(value, raw != nullptr ? raw : "", sizeof(value));
    if (strcmp(value, t->raw) == 0)
        return false;
    memcpy(t->raw, value, sizeof(value));
    parse(t);
    return true;
}

static bool prefix_equal_nocase(const char* a, const char* b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (a[i] == '\0' || b[i] == '\0')
            return a[i] == b[i];
        if (ascii_lower(static_cast<unsigned char>(a[i])) !=
            ascii_lower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

static bool extension_matches(const char* want, const char* path)
{
    const char* comp = path;
    for (const char* p = path; *p != '\0'; p++)
        if (*p == '\\' || *p == '/')
            comp = p + 1;
    const char* dot = strrchr(comp, '.');
    if (dot == nullptr || dot == comp)
        return false;
    return ascii_stricmp(dot + 1, want) == 0;
}

static bool folder_matches(const char* entry, const char* path)
{
    size_t len = strlen(entry);
    while (len > 1 && (entry[len - 1] == '\\' || entry[len - 1] == '/'))
        len--;
    if (!prefix_equal_nocase(path, entry, len))
        return false;
    // path is at least len characters long here.
    const char next = path[len];
    return next == '\0' || next == '\\' || next == '/';
}

int is_excluded(const ExclusionTable* t, const char* path)
{
    if (t == nullptr || path == nullptr || t->count == 0)
        return 0;
    for (int i = 0; i < t->count; i++) {
        const char* e = t->entries[i];
        const bool hit =
            (e[0] == '*' && e[1] == '.') ? extension_matches(e + 2, path) : folder_matches(e, path);
        if (hit)
            return 1;
    }
    return 0;
}
