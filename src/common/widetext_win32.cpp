#include "common/widetext_win32.h"

#include <cstring>

// How exactness can be checked in the ANSI code page. Most code pages take
// WC_NO_BEST_FIT_CHARS with the used-default query. UTF-8 and GB18030 refuse
// both (ERROR_INVALID_FLAGS) and take WC_ERR_INVALID_CHARS instead; UTF-7,
// the ISO-2022 and ISCII families and symbol take no flags at all, and are
// checked by converting back.
enum class Check { UsedDefault, InvalidChars, RoundTrip };

static Check check_for(UINT cp)
{
    if (cp == CP_UTF8 || cp == 54936)
        return Check::InvalidChars;
    if (cp == CP_UTF7 || cp == 42 || (cp >= 50220 && cp <= 50229) || (cp >= 57002 && cp <= 57011))
        return Check::RoundTrip;
    return Check::UsedDefault;
}

static int to_wide_n(const char* s, int n, wchar_t* out, int cap)
{
    int r = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, s, n, out, cap);
    if (r == 0 && GetLastError() == ERROR_INVALID_FLAGS)
        r = MultiByteToWideChar(CP_ACP, 0, s, n, out, cap);
    return r;
}

bool ansi_to_wide(const char* s, std::wstring* out)
{
    out->clear();
    if (s == nullptr)
        return false;
    if (s[0] == '\0')
        return true;
    int n = to_wide_n(s, -1, nullptr, 0);
    if (n <= 1)
        return false;
    out->assign(static_cast<size_t>(n), L'\0');
    if (to_wide_n(s, -1, &(*out)[0], n) != n) {
        out->clear();
        return false;
    }
    out->resize(static_cast<size_t>(n - 1));
    return true;
}

bool ansi_to_wide(const char* s, wchar_t* out, size_t cap)
{
    if (cap == 0)
        return false;
    out[0] = L'\0';
    if (s == nullptr)
        return false;
    if (s[0] == '\0')
        return true;
    const int c = cap > 0x7fffffff ? 0x7fffffff : static_cast<int>(cap);
    if (to_wide_n(s, -1, out, c) > 0)
        return true;
    out[0] = L'\0';
    return false;
}

// Exact conversion of `n` (> 0) characters into `out` of `cap` bytes (0:
// only measure). Returns the bytes written or needed, 0 when the text has
// no exact form or does not fit.
static int to_ansi_exact(const wchar_t* w, int n, char* out, int cap)
{
    Check check = check_for(GetACP());
    if (check == Check::UsedDefault) {
        BOOL used = FALSE;
        int r = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w, n, out, cap, nullptr, &used);
        if (r > 0)
            return used ? 0 : r;
        if (GetLastError() != ERROR_INVALID_FLAGS && GetLastError() != ERROR_INVALID_PARAMETER)
            return 0;
        check = Check::RoundTrip; // a code page this list does not know
    }
    if (check == Check::InvalidChars) {
        int r = WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, w, n, out, cap, nullptr, nullptr);
        if (r > 0 || GetLastError() != ERROR_INVALID_FLAGS)
            return r;
    }
    // No flag to ask with: the text is exact when it converts back to itself.
    int r = WideCharToMultiByte(CP_ACP, 0, w, n, nullptr, 0, nullptr, nullptr);
    if (r <= 0 || (cap > 0 && r > cap))
        return 0;
    std::string a(static_cast<size_t>(r), '\0');
    WideCharToMultiByte(CP_ACP, 0, w, n, &a[0], r, nullptr, nullptr);
    std::wstring back(static_cast<size_t>(n) + 1, L'\0');
    int m = MultiByteToWideChar(CP_ACP, 0, a.data(), r, &back[0], n + 1);
    if (m != n || wmemcmp(back.data(), w, static_cast<size_t>(n)) != 0)
        return 0;
    if (cap > 0)
        memcpy(out, a.data(), static_cast<size_t>(r));
    return r;
}

static int wide_len(const wchar_t* w, size_t len)
{
    size_t n = len == std::wstring::npos ? wcslen(w) : len;
    return n > 0x3fffffff ? -1 : static_cast<int>(n);
}

bool wide_to_ansi(const wchar_t* w, size_t len, std::string* out)
{
    out->clear();
    const int n = wide_len(w, len);
    if (n < 0)
        return false;
    if (n == 0)
        return true;
    int r = to_ansi_exact(w, n, nullptr, 0);
    if (r > 0) {
        out->assign(static_cast<size_t>(r), '\0');
        if (to_ansi_exact(w, n, &(*out)[0], r) == r)
            return true;
    }
    // The inexact form, for messages only.
    r = WideCharToMultiByte(CP_ACP, 0, w, n, nullptr, 0, nullptr, nullptr);
    out->assign(r > 0 ? static_cast<size_t>(r) : 0, '\0');
    if (r > 0)
        WideCharToMultiByte(CP_ACP, 0, w, n, &(*out)[0], r, nullptr, nullptr);
    return false;
}

bool wide_to_ansi(const wchar_t* w, char* out, size_t cap)
{
    if (cap == 0)
        return false;
    out[0] = '\0';
    const int n = wide_len(w, std::wstring::npos);
    if (n <= 0)
        return n == 0;
    const int c = cap > 0x7fffffff ? 0x7fffffff : static_cast<int>(cap);
    // The terminator converts with the text.
    int r = to_ansi_exact(w, n + 1, out, c);
    if (r > 0)
        return true;
    out[0] = '\0';
    return false;
}

static bool is_sep(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// The last component of the short form of `path`, exact in ANSI.
static bool short_component(const std::wstring& path, std::string* out)
{
    const std::wstring v = verbatim_wide(path);
    for (const std::wstring& p : {v, path}) {
        DWORD n = GetShortPathNameW(p.c_str(), nullptr, 0);
        if (n == 0)
            continue;
        std::wstring s(n, L'\0');
        DWORD m = GetShortPathNameW(p.c_str(), &s[0], n);
        if (m == 0 || m >= n)
            continue;
        s.resize(m);
        while (!s.empty() && is_sep(s.back()))
            s.pop_back();
        size_t cut = s.find_last_of(L"\\/");
        std::wstring last = cut == std::wstring::npos ? s : s.substr(cut + 1);
        if (!last.empty() && wide_to_ansi(last, out))
            return true;
    }
    return false;
}

bool wide_path_to_ansi(const std::wstring& path, char* out, size_t cap)
{
    if (cap == 0)
        return false;
    out[0] = '\0';
    std::string whole;
    bool exact = wide_to_ansi(path, &whole);
    if (!exact) {
        // Component by component: only the names that need it are shortened.
        whole.clear();
        exact = true;
        std::wstring so_far;
        for (size_t i = 0; i <= path.size();) {
            size_t j = i;
            while (j < path.size() && !is_sep(path[j]))
                j++;
            so_far.append(path, i, j - i);
            std::string a;
            if (!wide_to_ansi(path.data() + i, j - i, &a) && !short_component(so_far, &a))
                exact = false;
            whole += a;
            if (j < path.size()) {
                whole.push_back(static_cast<char>(path[j]));
                so_far.push_back(path[j]);
            }
            i = j + 1;
        }
    }
    if (whole.size() >= cap) {
        whole.resize(cap - 1);
        exact = false;
    }
    memcpy(out, whole.c_str(), whole.size() + 1);
    return exact;
}

// ---- verbatim paths ----------------------------------------------------------------

static std::wstring full_of(const wchar_t* what)
{
    DWORD n = GetFullPathNameW(what, 0, nullptr, nullptr);
    if (n == 0)
        return std::wstring();
    std::wstring s(n, L'\0');
    DWORD m = GetFullPathNameW(what, n, &s[0], nullptr);
    if (m == 0 || m >= n)
        return std::wstring();
    s.resize(m);
    return s;
}

std::wstring verbatim_wide(const std::wstring& path)
{
    if (path.empty())
        return path;
    if (path.size() >= 4 && path[0] == L'\\' && path[1] == L'\\' &&
        (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\')
        return path;
    std::wstring p = path;
    for (wchar_t& c : p)
        if (c == L'/')
            c = L'\\';
    std::wstring root;
    size_t rest = 0;
    const bool drive = p.size() >= 2 && p[1] == L':' && iswalpha(p[0]);
    if (drive && p.size() >= 3 && p[2] == L'\\') {
        root = L"\\\\?\\" + p.substr(0, 3);
        rest = 3;
    } else if (p.size() > 2 && p[0] == L'\\' && p[1] == L'\\') {
        // \\server\share\...: the server and share stay the root.
        size_t server_end = p.find(L'\\', 2);
        size_t share_end =
            server_end == std::wstring::npos ? server_end : p.find(L'\\', server_end + 1);
        if (server_end == std::wstring::npos || server_end + 1 >= p.size())
            return std::wstring();
        if (share_end == std::wstring::npos)
            share_end = p.size();
        root = L"\\\\?\\UNC\\" + p.substr(2, share_end - 2) + L"\\";
        rest = share_end + 1;
    } else {
        // Relative to the current folder, the current folder of a drive or
        // the current drive: the base is the system's, the names are ours.
        std::wstring base;
        if (drive) {
            base = full_of(p.substr(0, 2).c_str());
            rest = 2;
        } else if (p[0] == L'\\') {
            base = full_of(L"\\");
            rest = 1;
        } else {
            base = full_of(L".");
        }
        // Always absolute ("C:\..." or "\\server\..."), else nothing.
        if (base.size() < 3 || !(base[1] == L':' || (base[0] == L'\\' && base[1] == L'\\')))
            return std::wstring();
        if (base.back() != L'\\')
            base.push_back(L'\\');
        return verbatim_wide(base + p.substr(rest));
    }
    // The components: empty ones and "." dropped, ".." takes one back.
    std::wstring out = root;
    const size_t floor = root.size();
    for (size_t i = rest; i < p.size();) {
        size_t j = p.find(L'\\', i);
        if (j == std::wstring::npos)
            j = p.size();
        std::wstring name = p.substr(i, j - i);
        if (name == L"..") {
            if (out.size() > floor) {
                out.pop_back(); // its separator
                size_t cut = out.find_last_of(L'\\');
                out.resize(cut == std::wstring::npos || cut + 1 < floor ? floor : cut + 1);
            }
        } else if (!name.empty() && name != L".") {
            out += name;
            out.push_back(L'\\');
        }
        i = j + 1;
    }
    // A trailing separator stays only when the path had one.
    if (out.size() > floor && !(p.size() > rest && p.back() == L'\\'))
        out.pop_back();
    return out;
}

std::wstring verbatim_path(const char* path)
{
    std::wstring w;
    if (!ansi_to_wide(path, &w))
        return std::wstring();
    return verbatim_wide(w);
}
