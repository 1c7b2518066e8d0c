#include "detect/keywords.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// The plain method: a lower-cased copy, then one search per keyword over
// every byte (NULs included); each keyword counts once.
int reference_count(const std::string& data, const char* const* table)
{
    std::string low(data);
    for (char& c : low)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    int count = 0;
    for (const char* const* e = table; *e != nullptr; e++) {
        std::string key(*e, strnlen(*e, 95));
        for (char& c : key)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
        if (low.find(key) != std::string::npos)
            count++;
    }
    return count;
}

int count(const std::string& data, const char* const* table)
{
    return count_keywords(reinterpret_cast<const unsigned char*>(data.data()), data.size(), table);
}

std::string filler(size_t n, char c = '.')
{
    return std::string(n, c);
}

} // namespace

TEST(Keywords, TablesHoldTheirEntriesInOrder)
{
    size_t api = 0;
    while (api_keywords[api] != nullptr)
        api++;
    size_t script = 0;
    while (script_keywords[script] != nullptr)
        script++;
    EXPECT_EQ(api, 20u);
    EXPECT_EQ(script, 18u);
    EXPECT_STREQ(api_keywords[0], "CreateRemoteThread");
    EXPECT_STREQ(api_keywords[19], "Invoke-ReflectivePEInjection");
    EXPECT_STREQ(script_keywords[2], "-enc ");
    EXPECT_STREQ(script_keywords[17], "wmic process call create");
}

TEST(Keywords, CountsEachEntryOnceCaseInsensitively)
{
    struct Case {
        const char* name;
        std::string data;
        const char* const* table;
        int want;
    };
    const std::string nul("\0", 1);
    std::string every_api;
    std::string every_api_spread;
    for (const char* const* e = api_keywords; *e != nullptr; e++) {
        every_api += std::string(*e) + nul;
        every_api_spread += std::string(*e) + filler(3001);
    }
    const Case cases[] = {
        {"empty data", "", script_keywords, 0},
        {"one word twice", "powershell powershell POWERSHELL", script_keywords, 1},
        {"two words", "PowerShell -Enc abc", script_keywords, 2},
        {"blank is part of -enc ", "powershell -enc\t", script_keywords, 1},
        {"-enc inside -encodedcommand", "-encodedcommand x", script_keywords, 1},
        {"overlapping words", "net localgroup net user", script_keywords, 2},
        {"across NUL bytes",
         nul + "VirtualAllocEx" + nul + nul + "WriteProcessMemory" + nul + "CreateRemoteThread" +
             nul,
         api_keywords, 3},
        {"NUL inside a word breaks it", "Virtual" + nul + "AllocEx", api_keywords, 0},
        {"word at both ends", "psexec" + filler(100) + "sekurlsa", api_keywords, 2},
        {"whole data is a word", "mimikatz", api_keywords, 1},
        {"prefix of a word only", "CreateRemoteThrea", api_keywords, 0},
        {"all twenty", every_api, api_keywords, 20},
        {"all twenty, spread over 60 KB", every_api_spread + every_api, api_keywords, 20},
    };
    for (const Case& c : cases)
        EXPECT_EQ(count(c.data, c.table), c.want) << c.name;
}

TEST(Keywords, OwnTablesFollowTheSameRules)
{
    const std::string long_word(100, 'q');
    const std::string cut(95, 'q');
    const char* const table[] = {"abc", "ABC", "", long_word.c_str(), "\xE9t\xE9", "Zz", nullptr};
    // "abc" and "ABC" are two entries; "" is in any data; the 100-character
    // entry is matched by its first 95 characters; bytes above 127 are not
    // case-folded.
    EXPECT_EQ(count("", table), 1);
    EXPECT_EQ(count("xx aBc xx", table), 3);
    EXPECT_EQ(count(cut, table), 2);
    EXPECT_EQ(count(std::string(94, 'q'), table), 1);
    EXPECT_EQ(count("\xE9T\xE9", table), 2);
    EXPECT_EQ(count("\xC9t\xC9", table), 1);
    EXPECT_EQ(count("zZ", table), 2);
    const char* const none[] = {nullptr};
    EXPECT_EQ(count("anything", none), 0);
    EXPECT_EQ(count_keywords(nullptr, 0, nullptr), 0);
}

// The data is split into interleaved streams above a few KiB: a word that
// straddles any split point must still be found, and only once.
TEST(Keywords, WordsAcrossStreamBoundaries)
{
    const std::string word = "Invoke-ReflectivePEInjection";
    for (size_t length : {4096u, 4097u, 10000u, 65536u + 3}) {
        for (size_t quarter = 1; quarter < 4; quarter++) {
            const size_t split = length / 4 * quarter;
            for (size_t back = 1; back < word.size(); back += 5) {
                std::string data = filler(length);
                data.replace(split - back, word.size(), word);
                ASSERT_EQ(count(data, api_keywords), 1)
                    << "length " << length << " split " << split << " back " << back;
            }
        }
        std::string tail = filler(length);
        tail.replace(length - word.size(), word.size(), word);
        EXPECT_EQ(count(tail, api_keywords), 1) << "at the end, length " << length;
    }
}

// Random data seeded with words, case-mangled, checked against the plain
// method for many lengths.
TEST(Keywords, AgreesWithPlainSearchOnRandomData)
{
    std::mt19937 rng(20240611);
    const char alphabet[] = "abcdeklmnoprstuvwxyzABCEPRSTV-. \0\x01\xff";
    for (int round = 0; round < 300; round++) {
        const char* const* table = (round % 2) ? api_keywords : script_keywords;
        size_t words = 0;
        while (table[words] != nullptr)
            words++;
        const size_t length = (round < 150) ? rng() % 300 : 4000 + rng() % 40000;
        std::string data(length, ' ');
        for (char& c : data)
            c = alphabet[rng() % (sizeof(alphabet) - 1)];
        const int planted = static_cast<int>(rng() % 6);
        for (int k = 0; k < planted; k++) {
            std::string w = table[rng() % words];
            for (char& c : w)
                if (rng() % 2 && c >= 'a' && c <= 'z')
                    c = static_cast<char>(c - 32);
            if (w.size() <= data.size())
                data.replace(rng() % (data.size() - w.size() + 1), w.size(), w);
        }
        ASSERT_EQ(count(data, table), reference_count(data, table)) << "round " << round;
    }
}

// Runs of bytes that are in no keyword (zero padding, bytes above 0x7f) are
// skipped 64 bytes at a time: words right before, right after and across the
// edges of such runs, at every offset, must count as the plain method says.
TEST(Keywords, QuietRunsSplitTheDataWithoutLosingWords)
{
    // "-enc " ends in a blank, the lowest byte that belongs to a keyword.
    const struct {
        const char* word;
        const char* const* table;
    } cases[] = {{"VirtualAllocEx", api_keywords}, {"-enc ", script_keywords}};
    for (const auto& c : cases) {
        const std::string word = c.word;
        for (size_t run : {63u, 64u, 127u, 128u, 200u, 5000u}) {
            for (size_t at = 0; at < 140; at++) {
                for (char quiet : {'\0', '\x1f', '\x80', '\xff'}) {
                    std::string data = filler(at, 'x') + word + std::string(run, quiet) +
                                       word.substr(0, 3) + std::string(run, quiet) +
                                       word.substr(3) + filler(at % 70, 'y');
                    ASSERT_EQ(count(data, c.table), reference_count(data, c.table))
                        << c.word << " run " << run << " at " << at;
                    std::string tail = std::string(run, quiet) + filler(at, 'x') + word;
                    ASSERT_EQ(count(tail, c.table), 1) << c.word << " run " << run << " at " << at;
                }
            }
        }
    }
    std::mt19937 rng(20261210);
    const char noisy[] = "abcdeklmnoprstuvwxyzABCEPRSTV-. ";
    const char quiet[] = "\0\x01\x1f\x7f\x80\xff";
    for (int round = 0; round < 200; round++) {
        const char* const* table = (round % 2) ? api_keywords : script_keywords;
        size_t words = 0;
        while (table[words] != nullptr)
            words++;
        std::string data;
        const size_t length = 2000 + rng() % 60000;
        while (data.size() < length) {
            const bool calm = rng() % 2;
            const size_t n = rng() % (calm ? 400 : 150);
            for (size_t i = 0; i < n; i++)
                data +=
                    calm ? quiet[rng() % (sizeof(quiet) - 1)] : noisy[rng() % (sizeof(noisy) - 1)];
        }
        for (int k = static_cast<int>(rng() % 8); k > 0; k--) {
            const std::string w = table[rng() % words];
            if (w.size() <= data.size())
                data.replace(rng() % (data.size() - w.size() + 1), w.size(), w);
        }
        ASSERT_EQ(count(data, table), reference_count(data, table)) << "round " << round;
    }
}

TEST(Keywords, MatcherIsReusable)
{
    KeywordMatcher m;
    keyword_matcher_build(&m, script_keywords);
    const std::string a = "bypass mshta";
    const std::string b = "nothing here";
    const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
    const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
    EXPECT_EQ(keyword_matcher_count(&m, pa, a.size()), 2);
    EXPECT_EQ(keyword_matcher_count(&m, pb, b.size()), 0);
    EXPECT_EQ(keyword_matcher_count(&m, pa, a.size()), 2);
}

namespace {

// The plain method over a copy whose bytes in [begin, end) are NUL, which no
// keyword holds.
int reference_outside(std::string data, size_t begin, size_t end, const char* const* table)
{
    end = std::min(end, data.size());
    if (begin < end)
        data.replace(begin, end - begin, end - begin, '\0');
    return reference_count(data, table);
}

int count_outside(const std::string& data, size_t begin, size_t end, const char* const* table)
{
    return count_keywords_outside(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                                  table, begin, end);
}

} // namespace

// Counting outside a range counts as if the range were blanked out: a word
// that touches the range, or that only the bytes on both sides of it would
// spell, does not count. Words at every offset around both edges, with the
// data walked as one stream and as four, with and without quiet runs.
TEST(Keywords, OutsideARangeCountsAsIfItWereBlank)
{
    const std::string word = "VirtualAllocEx";
    for (size_t length : {200u, 9000u}) {
        for (char fill : {'.', '\0'}) {
            const size_t begin = length / 3;
            const size_t end = length / 3 * 2;
            for (size_t edge : {begin, end}) {
                for (size_t at = edge - word.size() - 2; at <= edge + 2; at++) {
                    std::string data = filler(length, fill);
                    data.replace(at, word.size(), word);
                    ASSERT_EQ(count_outside(data, begin, end, api_keywords),
                              reference_outside(data, begin, end, api_keywords))
                        << "length " << length << " edge " << edge << " at " << at;
                }
            }
            // Halves on both sides of the range are not joined.
            std::string split = filler(length, fill);
            split.replace(begin - 7, 7, word.substr(0, 7));
            split.replace(end, word.size() - 7, word.substr(7));
            EXPECT_EQ(count_outside(split, begin, end, api_keywords), 0) << length;
            EXPECT_EQ(count_outside(split, begin, begin, api_keywords), 0) << length;
            // The same halves with nothing between them are the word.
            std::string joined = filler(length, fill);
            joined.replace(begin - 7, word.size(), word);
            EXPECT_EQ(count_outside(joined, begin, begin, api_keywords), 1) << "empty range";
            EXPECT_EQ(count_outside(joined, end, begin, api_keywords), 1) << "reversed range";
            EXPECT_EQ(count_outside(joined, length + 5, length + 9, api_keywords), 1)
                << "range past the end";
            EXPECT_EQ(count_outside(joined, begin - 8, length + 9, api_keywords), 0)
                << "range cut at the end";
            EXPECT_EQ(count_outside(joined, 0, length, api_keywords), 0) << "everything skipped";
        }
    }
    std::mt19937 rng(20261211);
    const char noisy[] = "abcdeklmnoprstuvwxyzABCEPRSTV-. ";
    const char quiet[] = "\0\x01\x1f\x7f\x80\xff";
    for (int round = 0; round < 200; round++) {
        const char* const* table = (round % 2) ? api_keywords : script_keywords;
        size_t words = 0;
        while (table[words] != nullptr)
            words++;
        std::string data;
        const size_t length = (round < 100) ? 1 + rng() % 400 : 2000 + rng() % 30000;
        while (data.size() < length) {
            const bool calm = rng() % 3 == 0;
            const size_t n = rng() % (calm ? 1500 : 150);
            for (size_t i = 0; i < n; i++)
                data +=
                    calm ? quiet[rng() % (sizeof(quiet) - 1)] : noisy[rng() % (sizeof(noisy) - 1)];
        }
        const size_t begin = rng() % (data.size() + 1);
        const size_t end = begin + rng() % (data.size() - begin + 1);
        for (int k = static_cast<int>(rng() % 10); k > 0; k--) {
            const std::string w = table[rng() % words];
            if (w.size() > data.size())
                continue;
            // Near an edge, mostly: that is where a count could go wrong.
            const size_t edge = (rng() % 2) ? begin : end;
            size_t at = edge + rng() % (2 * w.size() + 1);
            at = (rng() % 4 == 0 || at < w.size()) ? rng() : at - w.size();
            data.replace(at % (data.size() - w.size() + 1), w.size(), w);
        }
        ASSERT_EQ(count_outside(data, begin, end, table),
                  reference_outside(data, begin, end, table))
            << "round " << round << " range " << begin << ".." << end;
    }
}
