// Keyword counting: the one-pass matcher against the plain method (a
// lower-cased copy of the data, then one search per keyword), side by side
// on the same 2 MiB heads. Prints the time of each and their ratio.
//
// usage: bench_keywords [executable-file]
// Without an argument the executable is looked for in build/win64; failing
// that, /bin/ls is used as a stand-in (an ELF binary, not a PE).

#include "detect/keywords.h"
#include "detect/limits_scan.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<unsigned char> read_file(const char* path, size_t limit)
{
    std::vector<unsigned char> data;
    FILE* f = fopen(path, "rb");
    if (f == nullptr)
        return data;
    data.resize(limit);
    data.resize(fread(data.data(), 1, limit, f));
    fclose(f);
    return data;
}

std::vector<std::string> lowered_table(const char* const* table)
{
    std::vector<std::string> keys;
    for (const char* const* e = table; *e != nullptr; e++) {
        std::string k(*e, strnlen(*e, TG_KEYWORD_MAX_CHARS));
        for (char& c : k)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        keys.push_back(k);
    }
    return keys;
}

// The plain method, with the standard library's substring search (first
// byte located with memchr, then compared).
int plain_find(const unsigned char* data, size_t length, const std::vector<std::string>& keys)
{
    char* copy = static_cast<char*>(malloc(length + 1));
    if (copy == nullptr)
        return 0;
    for (size_t i = 0; i < length; i++)
        copy[i] = static_cast<char>(tolower(data[i]));
    copy[length] = '\0';
    std::string_view text(copy, length);
    int count = 0;
    for (const std::string& k : keys)
        if (text.find(k) != std::string_view::npos)
            count++;
    free(copy);
    return count;
}

// The plain method with a Boyer-Moore-Horspool search per keyword.
int plain_horspool(const unsigned char* data, size_t length, const std::vector<std::string>& keys)
{
    char* copy = static_cast<char*>(malloc(length + 1));
    if (copy == nullptr)
        return 0;
    for (size_t i = 0; i < length; i++)
        copy[i] = static_cast<char>(tolower(data[i]));
    copy[length] = '\0';
    int count = 0;
    for (const std::string& k : keys) {
        std::boyer_moore_horspool_searcher<std::string::const_iterator> s(k.begin(), k.end());
        if (std::search(copy, copy + length, s) != copy + length)
            count++;
    }
    free(copy);
    return count;
}

// Best of several rounds, in microseconds per call.
double time_us(const std::function<int()>& run, int* result)
{
    double best = 1e300;
    for (int round = 0; round < 7; round++) {
        const auto t0 = std::chrono::steady_clock::now();
        const int reps = 5;
        for (int r = 0; r < reps; r++)
            *result = run();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::micro>(t1 - t0).count() / reps);
    }
    return best;
}

void compare(const char* label, const std::vector<unsigned char>& data, const char* const* table,
             const char* table_name)
{
    const std::vector<std::string> keys = lowered_table(table);
    const unsigned char* p = data.data();
    const size_t n = data.size();
    int ours = 0, plain = 0, horspool = 0;
    const double t_ours = time_us([&] { return count_keywords(p, n, table); }, &ours);
    const double t_plain = time_us([&] { return plain_find(p, n, keys); }, &plain);
    const double t_hors = time_us([&] { return plain_horspool(p, n, keys); }, &horspool);
    printf("%-28s %-7s %8zu B  count %2d/%2d/%2d  ours %8.0f us  plain %8.0f us (x%5.1f)"
           "  horspool %8.0f us (x%5.1f)%s\n",
           label, table_name, n, ours, plain, horspool, t_ours, t_plain, t_plain / t_ours, t_hors,
           t_hors / t_ours, (ours == plain && ours == horspool) ? "" : "  COUNTS DIFFER");
}

std::vector<unsigned char> script_text(size_t length)
{
    // Keyword-dense script text, made from the script table itself so that
    // no script sample is stored: lines of near misses (a keyword less its
    // last character) that make a search stop and compare, and, in the last
    // tenth only, half of the keywords whole. Neither method can stop early.
    std::string text;
    size_t words = 0;
    while (script_keywords[words] != nullptr)
        words++;
    for (size_t i = 0; text.size() < length; i++) {
        const char* k = script_keywords[i % words];
        const bool whole = text.size() > length / 10 * 9 && i % words < words / 2;
        text += "$v" + std::to_string(i % 97) + " = '" +
                std::string(k, strlen(k) - (whole ? 0 : 1)) + "' # Write-Output value\r\n";
    }
    text.resize(length);
    return std::vector<unsigned char>(text.begin(), text.end());
}

} // namespace

int main(int argc, char** argv)
{
    std::string exe;
    if (argc > 1) {
        exe = argv[1];
    } else {
        for (const char* candidate : {"build/win64/Tallowguard.exe", "build/win64/core_tests.exe"})
            if (!read_file(candidate, 2).empty()) {
                exe = candidate;
                break;
            }
        if (exe.empty()) {
            exe = "/bin/ls";
            printf("no MinGW executable found; using %s as a stand-in for a PE\n", exe.c_str());
        }
    }
    std::vector<unsigned char> pe = read_file(exe.c_str(), TG_INSPECT_HEAD_BYTES);
    if (pe.empty()) {
        fprintf(stderr, "cannot read %s\n", exe.c_str());
        return 1;
    }

    std::vector<unsigned char> noise(TG_INSPECT_HEAD_BYTES);
    std::mt19937 rng(7);
    for (unsigned char& b : noise)
        b = static_cast<unsigned char>(rng());

    const std::vector<unsigned char> script = script_text(TG_INSPECT_HEAD_BYTES);

    printf("executable: %s\n", exe.c_str());
    compare("executable head", pe, api_keywords, "api");
    compare("random bytes", noise, api_keywords, "api");
    compare("random bytes", noise, script_keywords, "script");
    compare("keyword-dense script", script, script_keywords, "script");
    compare("keyword-dense script", script, api_keywords, "api");
    return 0;
}
