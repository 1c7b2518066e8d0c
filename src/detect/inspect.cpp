#include "detect/inspect.h"

#include "common/text.h"
#include "detect/pe.h"

#include <cstring>

const char executable_exts[] =
    "|exe|dll|scr|com|pif|cpl|msi|bat|cmd|ps1|vbs|vbe|js|jse|wsf|wsh|jar|hta|lnk|gadget|";
const char document_exts[] =
    "|pdf|doc|docx|xls|xlsx|ppt|pptx|txt|rtf|csv|jpg|jpeg|png|gif|bmp|zip|rar|7z|mp3|mp4|avi|mkv|";
const char native_exts[] = "|exe|dll|scr|com|pif|cpl|";
const char script_exts[] = "|bat|cmd|ps1|vbs|vbe|js|jse|wsf|wsh|hta|";

static const char kEicarText[] = "EICAR-STANDARD-ANTIVIRUS-TEST-FILE";

// Extension of the component that ends at `end` and starts after the last
// '\\' or '/' before it.
static void ext_of(const char* begin, const char* end, char* out)
{
    out[0] = '\0';
    const char* comp = begin;
    for (const char* p = begin; p < end; p++)
        if (*p == '\\' || *p == '/')
            comp = p + 1;
    const char* dot = nullptr;
    for (const char* p = comp; p < end; p++)
        if (*p == '.')
            dot = p;
    if (dot == nullptr || dot == comp)
        return;
    size_t n = 0;
    for (const char* p = dot + 1; p < end && n < TG_EXT_MAX_CHARS; p++)
        out[n++] = static_cast<char>(ascii_lower(static_cast<unsigned char>(*p)));
    out[n] = '\0';
}

void file_ext(const char* path, char* out)
{
    if (path == nullptr) {
        out[0] = '\0';
        return;
    }
    ext_of(path, path + strlen(path), out);
}

void file_ext_as_run(const char* path, char* out)
{
    if (path == nullptr) {
        out[0] = '\0';
        return;
    }
    const char* end = path + strlen(path);
    while (end > path && (end[-1] == '.' || end[-1] == ' '))
        end--;
    ext_of(path, end, out);
}

bool ext_in_list(const char* ext, const char* list)
{
    const size_t n = strlen(ext);
    if (n == 0)
        return false;
    for (const char* p = strchr(list, '|'); p != nullptr && p[1] != '\0'; p = strchr(p + 1, '|'))
        if (strncmp(p + 1, ext, n) == 0 && p[1 + n] == '|')
            return true;
    return false;
}

bool inspect_has_eicar(const unsigned char* head, size_t head_len)
{
    if (head == nullptr)
        return false;
    size_t n = head_len < TG_EICAR_WINDOW_BYTES ? head_len : TG_EICAR_WINDOW_BYTES;
    const void* nul = memchr(head, 0, n);
    if (nul != nullptr)
        n = static_cast<size_t>(static_cast<const unsigned char*>(nul) - head);
    const size_t want = sizeof(kEicarText) - 1;
    for (size_t i = 0; i + want <= n; i++)
        if (head[i] == 'E' && memcmp(head + i, kEicarText, want) == 0)
            return true;
    return false;
}

bool inspect_needs_hash(const unsigned char* head, size_t head_len, uint64_t file_size)
{
    return file_size <= TG_HASH_MAX_FILE_SIZE && !inspect_has_eicar(head, head_len);
}

// Whether the last '\\'-component of path, cut at its last '.', has an
// extension from the document list (invoice.pdf.exe).
static bool has_document_inner_ext(const char* path)
{
    const char* comp = strrchr(path, '\\');
    comp = comp != nullptr ? comp + 1 : path;
    const char* dot = strrchr(comp, '.');
    if (dot == nullptr || dot == comp)
        return false;
    char inner[TG_EXT_SIZE];
    ext_of(comp, dot, inner);
    return ext_in_list(inner, document_exts);
}

static int found(char* threat, size_t threat_size, const char* name)
{
    if (threat != nullptr)
        bounded_copy(threat, name, threat_size);
    return kVerdictThreat;
}

int inspect_verdict(const char* path, const unsigned char* head, size_t head_len,
                    uint64_t file_size, const char* sig_name, char* threat, size_t threat_size)
{
    if (threat != nullptr && threat_size > 0)
        threat[0] = '\0';
    if (head == nullptr)
        head_len = 0;
    if (path == nullptr)
        path = "";

    if (inspect_has_eicar(head, head_len))
        return found(threat, threat_size, "EICAR-Test-File");
    if (sig_name != nullptr && file_size <= TG_HASH_MAX_FILE_SIZE)
        return found(threat, threat_size, sig_name);

    char ext[TG_EXT_SIZE];
    file_ext(path, ext);
    const bool executable = ext_in_list(ext, executable_exts);
    if (executable && has_document_inner_ext(path))
        return found(threat, threat_size, "HEUR:DoubleExtension");

    const bool mz = head_len >= 2 && head[0] == 'M' && head[1] == 'Z';
    if (mz && !executable)
        return found(threat, threat_size, "HEUR:DisguisedExecutable");
    if (!mz && !executable)
        return kVerdictClean;

    const size_t n = head_len < TG_INSPECT_HEAD_BYTES ? head_len : TG_INSPECT_HEAD_BYTES;
    if (n < TG_KEYWORD_MIN_HEAD_BYTES)
        return kVerdictClean;

    char name[TG_THREAT_SIZE];
    if (mz || ext_in_list(ext, native_exts)) {
        // Names a PE file exports are names it defines, not names it calls.
        PeRange exports;
        const int count =
            mz && pe_export_range(head, n, &exports)
                ? count_keywords_outside(head, n, api_keywords, exports.begin, exports.end)
                : count_keywords(head, n, api_keywords);
        if (count >= 3) {
            bounded_format(name, sizeof(name), "HEUR:Suspicious.API(%d)", count);
            return found(threat, threat_size, name);
        }
    }
    if (ext_in_list(ext, script_exts)) {
        const int count = count_keywords(head, n, script_keywords);
        if (count >= 2) {
            bounded_format(name, sizeof(name), "HEUR:Suspicious.Script(%d)", count);
            return found(threat, threat_size, name);
        }
    }
    return kVerdictClean;
}

bool verdict_is_heuristic(const char* threat)
{
    static const char kHeuristic[] = "HEUR:";
    return threat != nullptr && strncmp(threat, kHeuristic, sizeof(kHeuristic) - 1) == 0;
}
