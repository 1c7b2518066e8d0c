#include "detect/protected_path.h"

#include "detect/inspect.h"

#include <string>
#include <vector>

static bool is_sep(char c)
{
    return c == '\\' || c == '/';
}

static char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// path in the form path_under_folder compares: lower-cased components
// joined by single '\\', after a lead of "\\\\" (UNC), "\\" (rooted without
// a drive) or nothing. *components receives how many there are.
static std::string comparable(const char* p, size_t* components)
{
    std::string out;
    if (is_sep(p[0]) && is_sep(p[1]) && (p[2] == '?' || p[2] == '.') && is_sep(p[3])) {
        p += 4;
        if (lower(p[0]) == 'u' && lower(p[1]) == 'n' && lower(p[2]) == 'c' && is_sep(p[3])) {
            p += 4;
            out = "\\\\";
        }
    } else if (is_sep(p[0])) {
        out = is_sep(p[1]) ? "\\\\" : "\\";
    }
    const size_t lead = out.size();
    std::vector<size_t> starts; // where each component begins in out
    while (*p != '\0') {
        while (is_sep(*p))
            p++;
        const char* c = p;
        while (*p != '\0' && !is_sep(*p))
            p++;
        const size_t n = static_cast<size_t>(p - c);
        if (n == 0 || (n == 1 && c[0] == '.'))
            continue;
        if (n == 2 && c[0] == '.' && c[1] == '.') {
            // Never above the first component: the drive or the server.
            if (starts.size() > 1) {
                out.resize(starts.back() - 1);
                starts.pop_back();
            }
            continue;
        }
        if (out.size() > lead)
            out += '\\';
        starts.push_back(out.size());
        for (size_t i = 0; i < n; i++)
            out += lower(c[i]);
    }
    *components = starts.size();
    return out;
}

bool path_under_folder(const char* path, const char* folder)
{
    if (path == nullptr || folder == nullptr)
        return false;
    size_t folder_parts = 0;
    const std::string f = comparable(folder, &folder_parts);
    if (folder_parts == 0)
        return false;
    size_t path_parts = 0;
    const std::string p = comparable(path, &path_parts);
    return p.compare(0, f.size(), f) == 0 && (p.size() == f.size() || p[f.size()] == '\\');
}

int heuristic_left_in_place(const char* path, const char* threat, const char* const* folders,
                            size_t count)
{
    if (!verdict_is_heuristic(threat) || folders == nullptr)
        return -1;
    for (size_t i = 0; i < count; i++)
        if (folders[i] != nullptr && folders[i][0] != '\0' && path_under_folder(path, folders[i]))
            return static_cast<int>(i);
    return -1;
}
