#include "detect/keywords.h"

#include "common/text.h"
#include "detect/limits_scan.h"

#include <cstring>

// The keyword tables are kept XOR-encoded in the program file and decoded
// in place before main runs: a plain copy of every suspicious API name would
// make the heuristics flag Tallowguard.exe itself (and any other scanner's
// heuristics too).
//
// api_keywords, in order: CreateRemoteThread, WriteProcessMemory,
// ReadProcessMemory, VirtualAllocEx, VirtualProtectEx, SetWindowsHookEx,
// GetAsyncKeyState, GetForegroundWindow, URLDownloadToFile,
// NtUnmapViewOfSection, RtlDecompressBuffer, IsDebuggerPresent,
// CreateToolhelp32Snapshot, Process32First, AdjustTokenPrivileges,
// SamIConnect, Mimikatz, sekurlsa, psexec, Invoke-ReflectivePEInjection.
// script_keywords, in order: "invoke-mimikatz", "-encodedcommand", "-enc "
// (with its blank), "frombase64string", "downloadstring", "wscript.shell",
// "shell.application", "reg add", "net user", "net localgroup", "schtasks",
// "bypass", "powershell", "certutil -decode", "bitsadmin", "mshta",
// "rundll32", "wmic process call create".
static const unsigned char kKeywordKey = 0x5a;

static char api_0[] = {0x19, 0x28, 0x3f, 0x3b, 0x2e, 0x3f, 0x08, 0x3f, 0x37, 0x35,
                       0x2e, 0x3f, 0x0e, 0x32, 0x28, 0x3f, 0x3b, 0x3e, 0x5a};
static char api_1[] = {0x0d, 0x28, 0x33, 0x2e, 0x3f, 0x0a, 0x28, 0x35, 0x39, 0x3f,
                       0x29, 0x29, 0x17, 0x3f, 0x37, 0x35, 0x28, 0x23, 0x5a};
static char api_2[] = {0x08, 0x3f, 0x3b, 0x3e, 0x0a, 0x28, 0x35, 0x39, 0x3f,
                       0x29, 0x29, 0x17, 0x3f, 0x37, 0x35, 0x28, 0x23, 0x5a};
static char api_3[] = {0x0c, 0x33, 0x28, 0x2e, 0x2f, 0x3b, 0x36, 0x1b,
                       0x36, 0x36, 0x35, 0x39, 0x1f, 0x22, 0x5a};
static char api_4[] = {0x0c, 0x33, 0x28, 0x2e, 0x2f, 0x3b, 0x36, 0x0a, 0x28,
                       0x35, 0x2e, 0x3f, 0x39, 0x2e, 0x1f, 0x22, 0x5a};
static char api_5[] = {0x09, 0x3f, 0x2e, 0x0d, 0x33, 0x34, 0x3e, 0x35, 0x2d,
                       0x29, 0x12, 0x35, 0x35, 0x31, 0x1f, 0x22, 0x5a};
static char api_6[] = {0x1d, 0x3f, 0x2e, 0x1b, 0x29, 0x23, 0x34, 0x39, 0x11,
                       0x3f, 0x23, 0x09, 0x2e, 0x3b, 0x2e, 0x3f, 0x5a};
static char api_7[] = {0x1d, 0x3f, 0x2e, 0x1c, 0x35, 0x28, 0x3f, 0x3d, 0x28, 0x35,
                       0x2f, 0x34, 0x3e, 0x0d, 0x33, 0x34, 0x3e, 0x35, 0x2d, 0x5a};
static char api_8[] = {0x0f, 0x08, 0x16, 0x1e, 0x35, 0x2d, 0x34, 0x36, 0x35,
                       0x3b, 0x3e, 0x0e, 0x35, 0x1c, 0x33, 0x36, 0x3f, 0x5a};
static char api_9[] = {0x14, 0x2e, 0x0f, 0x34, 0x37, 0x3b, 0x2a, 0x0c, 0x33, 0x3f, 0x2d,
                       0x15, 0x3c, 0x09, 0x3f, 0x39, 0x2e, 0x33, 0x35, 0x34, 0x5a};
static char api_10[] = {0x08, 0x2e, 0x36, 0x1e, 0x3f, 0x39, 0x35, 0x37, 0x2a, 0x28,
                        0x3f, 0x29, 0x29, 0x18, 0x2f, 0x3c, 0x3c, 0x3f, 0x28, 0x5a};
static char api_11[] = {0x13, 0x29, 0x1e, 0x3f, 0x38, 0x2f, 0x3d, 0x3d, 0x3f,
                        0x28, 0x0a, 0x28, 0x3f, 0x29, 0x3f, 0x34, 0x2e, 0x5a};
static char api_12[] = {0x19, 0x28, 0x3f, 0x3b, 0x2e, 0x3f, 0x0e, 0x35, 0x35,
                        0x36, 0x32, 0x3f, 0x36, 0x2a, 0x69, 0x68, 0x09, 0x34,
                        0x3b, 0x2a, 0x29, 0x32, 0x35, 0x2e, 0x5a};
static char api_13[] = {0x0a, 0x28, 0x35, 0x39, 0x3f, 0x29, 0x29, 0x69,
                        0x68, 0x1c, 0x33, 0x28, 0x29, 0x2e, 0x5a};
static char api_14[] = {0x1b, 0x3e, 0x30, 0x2f, 0x29, 0x2e, 0x0e, 0x35, 0x31, 0x3f, 0x34,
                        0x0a, 0x28, 0x33, 0x2c, 0x33, 0x36, 0x3f, 0x3d, 0x3f, 0x29, 0x5a};
static char api_15[] = {0x09, 0x3b, 0x37, 0x13, 0x19, 0x35, 0x34, 0x34, 0x3f, 0x39, 0x2e, 0x5a};
static char api_16[] = {0x17, 0x33, 0x37, 0x33, 0x31, 0x3b, 0x2e, 0x20, 0x5a};
static char api_17[] = {0x29, 0x3f, 0x31, 0x2f, 0x28, 0x36, 0x29, 0x3b, 0x5a};
static char api_18[] = {0x2a, 0x29, 0x3f, 0x22, 0x3f, 0x39, 0x5a};
static char api_19[] = {0x13, 0x34, 0x2c, 0x35, 0x31, 0x3f, 0x77, 0x08, 0x3f, 0x3c,
                        0x36, 0x3f, 0x39, 0x2e, 0x33, 0x2c, 0x3f, 0x0a, 0x1f, 0x13,
                        0x34, 0x30, 0x3f, 0x39, 0x2e, 0x33, 0x35, 0x34, 0x5a};

static char scr_0[] = {0x33, 0x34, 0x2c, 0x35, 0x31, 0x3f, 0x77, 0x37,
                       0x33, 0x37, 0x33, 0x31, 0x3b, 0x2e, 0x20, 0x5a};
static char scr_1[] = {0x77, 0x3f, 0x34, 0x39, 0x35, 0x3e, 0x3f, 0x3e,
                       0x39, 0x35, 0x37, 0x37, 0x3b, 0x34, 0x3e, 0x5a};
static char scr_2[] = {0x77, 0x3f, 0x34, 0x39, 0x7a, 0x5a};
static char scr_3[] = {0x3c, 0x28, 0x35, 0x37, 0x38, 0x3b, 0x29, 0x3f, 0x6c,
                       0x6e, 0x29, 0x2e, 0x28, 0x33, 0x34, 0x3d, 0x5a};
static char scr_4[] = {0x3e, 0x35, 0x2d, 0x34, 0x36, 0x35, 0x3b, 0x3e,
                       0x29, 0x2e, 0x28, 0x33, 0x34, 0x3d, 0x5a};
static char scr_5[] = {0x2d, 0x29, 0x39, 0x28, 0x33, 0x2a, 0x2e,
                       0x74, 0x29, 0x32, 0x3f, 0x36, 0x36, 0x5a};
static char scr_6[] = {0x29, 0x32, 0x3f, 0x36, 0x36, 0x74, 0x3b, 0x2a, 0x2a,
                       0x36, 0x33, 0x39, 0x3b, 0x2e, 0x33, 0x35, 0x34, 0x5a};
static char scr_7[] = {0x28, 0x3f, 0x3d, 0x7a, 0x3b, 0x3e, 0x3e, 0x5a};
static char scr_8[] = {0x34, 0x3f, 0x2e, 0x7a, 0x2f, 0x29, 0x3f, 0x28, 0x5a};
static char scr_9[] = {0x34, 0x3f, 0x2e, 0x7a, 0x36, 0x35, 0x39, 0x3b,
                       0x36, 0x3d, 0x28, 0x35, 0x2f, 0x2a, 0x5a};
static char scr_10[] = {0x29, 0x39, 0x32, 0x2e, 0x3b, 0x29, 0x31, 0x29, 0x5a};
static char scr_11[] = {0x38, 0x23, 0x2a, 0x3b, 0x29, 0x29, 0x5a};
static char scr_12[] = {0x2a, 0x35, 0x2d, 0x3f, 0x28, 0x29, 0x32, 0x3f, 0x36, 0x36, 0x5a};
static char scr_13[] = {0x39, 0x3f, 0x28, 0x2e, 0x2f, 0x2e, 0x33, 0x36, 0x7a,
                        0x77, 0x3e, 0x3f, 0x39, 0x35, 0x3e, 0x3f, 0x5a};
static char scr_14[] = {0x38, 0x33, 0x2e, 0x29, 0x3b, 0x3e, 0x37, 0x33, 0x34, 0x5a};
static char scr_15[] = {0x37, 0x29, 0x32, 0x2e, 0x3b, 0x5a};
static char scr_16[] = {0x28, 0x2f, 0x34, 0x3e, 0x36, 0x36, 0x69, 0x68, 0x5a};
static char scr_17[] = {0x2d, 0x37, 0x33, 0x39, 0x7a, 0x2a, 0x28, 0x35, 0x39,
                        0x3f, 0x29, 0x29, 0x7a, 0x39, 0x3b, 0x36, 0x36, 0x7a,
                        0x39, 0x28, 0x3f, 0x3b, 0x2e, 0x3f, 0x5a};

const char* const api_keywords[21] = {api_0,  api_1,  api_2,  api_3,  api_4,  api_5,  api_6,
                                      api_7,  api_8,  api_9,  api_10, api_11, api_12, api_13,
                                      api_14, api_15, api_16, api_17, api_18, api_19, nullptr};

const char* const script_keywords[19] = {scr_0,  scr_1,  scr_2,  scr_3,  scr_4,  scr_5,  scr_6,
                                         scr_7,  scr_8,  scr_9,  scr_10, scr_11, scr_12, scr_13,
                                         scr_14, scr_15, scr_16, scr_17, nullptr};

namespace {

void decode_table(const char* const* table)
{
    for (; *table != nullptr; table++)
        for (char* c = const_cast<char*>(*table); (*c ^= static_cast<char>(kKeywordKey)) != 0;
             c++) {
        }
}

// Runs during static initialisation of this file, before any caller can
// count keywords.
struct TableDecoder {
    TableDecoder()
    {
        decode_table(api_keywords);
        decode_table(script_keywords);
    }
} g_table_decoder;

} // namespace

// Below this many bytes the data is scanned as one stream; above it, as four
// interleaved streams so that the four table walks overlap in the CPU.
static const size_t kStreamSplitBytes = 4096;
static const int kStreams = 4;

void keyword_matcher_build(KeywordMatcher* m, const char* const* table)
{
    *m = KeywordMatcher();

    // Lower-cased keywords, each cut to the longest length we match.
    std::vector<std::vector<unsigned char>> words;
    for (const char* const* e = table; e != nullptr && *e != nullptr; e++) {
        std::vector<unsigned char> w;
        for (size_t i = 0; i < TG_KEYWORD_MAX_CHARS && (*e)[i] != '\0'; i++)
            w.push_back(ascii_lower(static_cast<unsigned char>((*e)[i])));
        if (w.empty())
            m->empty_entries++;
        if (w.size() > m->longest)
            m->longest = w.size();
        words.push_back(w);
    }
    m->entries = static_cast<int>(words.size());

    // Byte classes: one per distinct keyword byte; an upper-case letter shares
    // its lower-case letter's class. Every other byte is class 0. Keywords
    // hold no NUL and, lower-cased, no A-Z, so classes stay below 256.
    uint32_t classes = 1;
    for (const auto& w : words) {
        for (unsigned char c : w) {
            if (m->byte_class[c] != 0)
                continue;
            m->byte_class[c] = static_cast<unsigned char>(classes);
            if (c >= 'a' && c <= 'z')
                m->byte_class[c - 32] = static_cast<unsigned char>(classes);
            classes++;
        }
    }
    m->classes = classes;
    m->printable_only = true;
    for (const auto& w : words)
        for (unsigned char c : w)
            if (c < 0x20 || c > 0x7e)
                m->printable_only = false;

    // Trie, with goto entries of -1 for missing edges. State 0 is the root.
    const uint32_t kNone = 0xFFFFFFFFu;
    std::vector<uint32_t> go(classes, kNone);
    std::vector<std::vector<uint32_t>> outs(1);
    for (size_t k = 0; k < words.size(); k++) {
        if (words[k].empty())
            continue;
        uint32_t s = 0;
        for (unsigned char c : words[k]) {
            uint32_t& edge = go[s * classes + m->byte_class[c]];
            if (edge == kNone) {
                edge = static_cast<uint32_t>(outs.size());
                outs.emplace_back();
                go.resize(go.size() + classes, kNone);
            }
            s = go[s * classes + m->byte_class[c]];
        }
        outs[s].push_back(static_cast<uint32_t>(k));
    }
    const uint32_t states = static_cast<uint32_t>(outs.size());

    // Breadth-first: failure links, full transitions, inherited outputs.
    std::vector<uint32_t> fail(states, 0);
    std::vector<uint32_t> order;
    order.reserve(states);
    for (uint32_t c = 0; c < classes; c++) {
        uint32_t& t = go[c];
        if (t == kNone) {
            t = 0;
        } else {
            fail[t] = 0;
            order.push_back(t);
        }
    }
    for (size_t i = 0; i < order.size(); i++) {
        uint32_t s = order[i];
        const std::vector<uint32_t>& inherited = outs[fail[s]];
        outs[s].insert(outs[s].end(), inherited.begin(), inherited.end());
        for (uint32_t c = 0; c < classes; c++) {
            uint32_t& t = go[s * classes + c];
            if (t == kNone) {
                t = go[fail[s] * classes + c];
            } else {
                fail[t] = go[fail[s] * classes + c];
                order.push_back(t);
            }
        }
    }

    // Number the states so that those with matches come last: the scan then
    // tells "something ends here" by one comparison.
    std::vector<uint32_t> number(states);
    uint32_t n = 0;
    for (uint32_t s = 0; s < states; s++)
        if (outs[s].empty())
            number[s] = n++;
    const uint32_t first_output = n;
    for (uint32_t s = 0; s < states; s++)
        if (!outs[s].empty())
            number[s] = n++;

    m->first_output = first_output * classes;
    m->next.assign(static_cast<size_t>(states) * classes, 0);
    m->out_begin.assign(states + 1, 0);
    for (uint32_t s = 0; s < states; s++)
        for (uint32_t c = 0; c < classes; c++)
            m->next[number[s] * classes + c] = number[go[s * classes + c]] * classes;
    std::vector<uint32_t> by_number(states);
    for (uint32_t s = 0; s < states; s++)
        by_number[number[s]] = s;
    for (uint32_t k = 0; k < states; k++) {
        const std::vector<uint32_t>& o = outs[by_number[k]];
        m->out_begin[k] = static_cast<uint32_t>(m->out_entries.size());
        m->out_entries.insert(m->out_entries.end(), o.begin(), o.end());
    }
    m->out_begin[states] = static_cast<uint32_t>(m->out_entries.size());
}

struct CountState {
    const KeywordMatcher* m;
    unsigned char* found;
    int count;
};

// Marks the keywords that end in premultiplied state s. True once every
// keyword has been seen: nothing is left to find.
static bool note_matches(CountState* cs, uint32_t s)
{
    const uint32_t k = s / cs->m->classes;
    for (uint32_t i = cs->m->out_begin[k]; i < cs->m->out_begin[k + 1]; i++) {
        const uint32_t e = cs->m->out_entries[i];
        if (!cs->found[e]) {
            cs->found[e] = 1;
            cs->count++;
        }
    }
    return cs->count == cs->m->entries;
}

// Walks data[begin, end) from state s. True when every keyword was seen.
static bool walk(CountState* cs, const unsigned char* data, size_t begin, size_t end, uint32_t s)
{
    const uint32_t* next = cs->m->next.data();
    const unsigned char* cls = cs->m->byte_class;
    const uint32_t first_output = cs->m->first_output;
    for (size_t i = begin; i < end; i++) {
        s = next[s + cls[data[i]]];
        if (s >= first_output && note_matches(cs, s))
            return true;
    }
    return false;
}

// Counts the keywords in one piece of the data. True when every keyword has
// been seen.
static bool count_piece(CountState* cs, const unsigned char* data, size_t length)
{
    const KeywordMatcher* m = cs->m;
    if (length < kStreamSplitBytes || m->longest > length / kStreams)
        return walk(cs, data, 0, length, 0);

    // Stream j covers the matches that end in [lo[j], hi[j]). Starting from
    // the root longest-1 bytes early lets the automaton see every keyword
    // that ends there; a keyword seen by two streams still counts once.
    const size_t back = m->longest - 1;
    size_t pos[kStreams];
    size_t hi[kStreams];
    const size_t piece = length / kStreams;
    for (int j = 0; j < kStreams; j++) {
        const size_t lo = piece * static_cast<size_t>(j);
        pos[j] = lo < back ? 0 : lo - back;
        hi[j] = (j == kStreams - 1) ? length : lo + piece;
    }
    // Every stream has at least piece bytes; walk them side by side.
    const size_t together = piece;
    const uint32_t* next = m->next.data();
    const unsigned char* cls = m->byte_class;
    const uint32_t first_output = m->first_output;
    const unsigned char* p0 = data + pos[0];
    const unsigned char* p1 = data + pos[1];
    const unsigned char* p2 = data + pos[2];
    const unsigned char* p3 = data + pos[3];
    uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (size_t i = 0; i < together; i++) {
        s0 = next[s0 + cls[p0[i]]];
        s1 = next[s1 + cls[p1[i]]];
        s2 = next[s2 + cls[p2[i]]];
        s3 = next[s3 + cls[p3[i]]];
        if (__builtin_expect((s0 >= first_output) | (s1 >= first_output) | (s2 >= first_output) |
                                 (s3 >= first_output),
                             0)) {
            bool all = false;
            if (s0 >= first_output)
                all |= note_matches(cs, s0);
            if (s1 >= first_output)
                all |= note_matches(cs, s1);
            if (s2 >= first_output)
                all |= note_matches(cs, s2);
            if (s3 >= first_output)
                all |= note_matches(cs, s3);
            if (all)
                return true;
        }
    }
    const uint32_t st[kStreams] = {s0, s1, s2, s3};
    for (int j = 0; j < kStreams; j++)
        if (walk(cs, data, pos[j] + together, hi[j], st[j]))
            return true;
    return false;
}

// A quiet chunk holds only bytes below 0x20 or above 0x7f. When every
// keyword byte is printable ASCII, such bytes belong to no keyword: each one
// sends the automaton back to its root, so no match reaches across a quiet
// chunk. Long runs of them (zero padding, say) are skipped, and the data
// between them is counted piece by piece.
static const size_t kQuietChunk = 64;
static const size_t kQuietRunMin = 1024;

static bool quiet_chunk(const unsigned char* p)
{
    const uint64_t top = 0x8080808080808080ull;
    for (size_t i = 0; i < kQuietChunk; i += 8) {
        uint64_t x;
        memcpy(&x, p + i, sizeof(x));
        // A byte below 0x80 reaches 0x80 when 0x60 is added only if it is
        // 0x20 or more; no byte carries into the next.
        if (((x & ~top) + 0x6060606060606060ull) & ~x & top)
            return false;
    }
    return true;
}

// Counts the keywords in data[0, length) into cs. True when every keyword
// has been seen.
static bool count_segment(CountState* cs, const unsigned char* data, size_t length)
{
    if (!cs->m->printable_only)
        return count_piece(cs, data, length);
    // Only long runs split the data: short pieces would be walked as one
    // stream instead of four.
    size_t start = 0; // where the piece being gathered begins
    size_t pos = 0;
    while (length - pos >= kQuietChunk) {
        if (!quiet_chunk(data + pos)) {
            pos += kQuietChunk;
            continue;
        }
        size_t run_end = pos + kQuietChunk;
        while (length - run_end >= kQuietChunk && quiet_chunk(data + run_end))
            run_end += kQuietChunk;
        if (run_end - pos >= kQuietRunMin) {
            if (pos > start && count_piece(cs, data + start, pos - start))
                return true;
            start = run_end;
        }
        pos = run_end;
    }
    return length > start && count_piece(cs, data + start, length - start);
}

int keyword_matcher_count_outside(const KeywordMatcher* m, const unsigned char* data, size_t length,
                                  size_t skip_begin, size_t skip_end)
{
    if (m->entries == m->empty_entries || length == 0)
        return m->empty_entries;
    std::vector<unsigned char> found(static_cast<size_t>(m->entries), 0);
    CountState cs = {m, found.data(), m->empty_entries};
    if (skip_end > length)
        skip_end = length;
    if (skip_begin >= skip_end) {
        count_segment(&cs, data, length);
        return cs.count;
    }
    // The two sides are walked apart, each from the automaton's root: no
    // match can begin on one side and end on the other.
    if (!count_segment(&cs, data, skip_begin))
        count_segment(&cs, data + skip_end, length - skip_end);
    return cs.count;
}

int keyword_matcher_count(const KeywordMatcher* m, const unsigned char* data, size_t length)
{
    return keyword_matcher_count_outside(m, data, length, 0, 0);
}

static const KeywordMatcher& builtin_matcher(const char* const* table)
{
    // Function-local statics: built once, on first use, by one thread while
    // any others wait.
    if (table == api_keywords) {
        static const KeywordMatcher api = [] {
            KeywordMatcher m;
            keyword_matcher_build(&m, api_keywords);
            return m;
        }();
        return api;
    }
    static const KeywordMatcher script = [] {
        KeywordMatcher m;
        keyword_matcher_build(&m, script_keywords);
        return m;
    }();
    return script;
}

int count_keywords_outside(const unsigned char* data, size_t length, const char* const* table,
                           size_t skip_begin, size_t skip_end)
{
    if (table == api_keywords || table == script_keywords)
        return keyword_matcher_count_outside(&builtin_matcher(table), data, length, skip_begin,
                                             skip_end);
    KeywordMatcher m;
    keyword_matcher_build(&m, table);
    return keyword_matcher_count_outside(&m, data, length, skip_begin, skip_end);
}

int count_keywords(const unsigned char* data, size_t length, const char* const* table)
{
    return count_keywords_outside(data, length, table, 0, 0);
}
