// Signature list: line parsing, the 511-byte reads, duplicate and built-in
// precedence, the table against a plain reference, and lookups during
// reloads.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "detect/sigs.h"
#include "detect/sigs_internal.h"

#if defined(__unix__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

const std::string D1 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string D2 = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

std::string upper(std::string s)
{
    for (char& c : s) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

std::string lower(std::string s)
{
    for (char& c : s) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

std::vector<uint8_t> digest_of(const std::string& hex)
{
    std::vector<uint8_t> d(32);
    EXPECT_EQ(sha256_parse_hex(hex.c_str(), d.data()), 1) << hex;
    return d;
}

// The name listed for `hex` in `t`, or "<none>".
std::string name_in(const SigSnapshot& t, const std::string& hex)
{
    char name[TG_SIG_NAME_SIZE];
    if (!sig_table_lookup(t.get(), digest_of(hex).data(), name, sizeof(name))) {
        return "<none>";
    }
    return name;
}

SigSnapshot load(const std::string& text, bool builtin = false)
{
    SigSnapshot t = sig_table_from_text(text.data(), text.size(), builtin);
    EXPECT_TRUE(t);
    return t;
}

// Feeds `text` in pieces of the given sizes (cycled).
SigSnapshot load_in_pieces(const std::string& text, const std::vector<size_t>& pieces, size_t hint)
{
    SigBuilderPtr b(sig_builder_new(hint));
    EXPECT_TRUE(b);
    size_t off = 0;
    for (size_t i = 0; off < text.size(); ++i) {
        const size_t n = std::min(pieces[i % pieces.size()], text.size() - off);
        sig_builder_feed(b.get(), text.data() + off, n);
        off += n;
    }
    return sig_builder_finish(b.get());
}

TEST(SigLines, ParsingRules)
{
    const char* kIgnored = "<ignored>";
    struct Case {
        std::string line;
        std::string name; // kIgnored: the line is not a signature
    };
    const std::string long_name(200, 'n');
    const Case cases[] = {
        {D1 + "  ", "Generic.Malware"},
        {D1 + "  \r\n", "Generic.Malware"},
        {D1 + " \t:=", "Generic.Malware"},
        {D1, kIgnored},
        {D1 + " ", kIgnored},
        {D1 + " \r\n", kIgnored},
        {D1 + "\n", kIgnored},
        {D1 + "=Trojan.X", "Trojan.X"},
        {D1 + ":Trojan.X", "Trojan.X"},
        {D1 + "\tTrojan.X", "Trojan.X"},
        {D1 + " :=\t Trojan.X\r\n", "Trojan.X"},
        {D1 + "Trojan.X", "Trojan.X"},
        {D1 + " #x", "#x"},
        {D1 + " Trojan X  ", "Trojan X  "},
        {D1 + " Tro\rjan", "Tro"},
        {D1 + " Trojan.X\r", "Trojan.X"},
        {D1 + " " + long_name, long_name.substr(0, 127)},
        {upper(D1) + " Upper", "Upper"},
        {"#" + D1.substr(1) + " Comment", kIgnored},
        {"#" + D1 + " Comment", kIgnored},
        {D1.substr(0, 10) + "g" + D1.substr(11) + " BadHex", kIgnored},
        {" " + D1 + " Lead", kIgnored},
        {D1.substr(0, 63) + "\x80" + " High", kIgnored},
        {D1 + std::string("\0   Trojan", 10), kIgnored},
        {D1 + std::string(" a\0bc", 5), "a"},
    };
    for (const Case& c : cases) {
        SigLine out;
        const int got = sig_parse_line(c.line.data(), c.line.size(), &out);
        if (c.name == kIgnored) {
            EXPECT_EQ(got, 0) << "line: " << c.line;
            continue;
        }
        ASSERT_EQ(got, 1) << "line: " << c.line;
        EXPECT_EQ(std::string(out.name, out.name_len), c.name) << "line: " << c.line;
        EXPECT_EQ(0, memcmp(out.digest, digest_of(D1).data(), 32)) << "line: " << c.line;
    }
}

// Every byte value at every position of the digest text: a line takes hex
// digits of either case, a lookup only the lower-case text.
TEST(SigLines, EveryByteAtEveryDigitPosition)
{
    const std::string listed = "0123456789abcdefABCDEF0123456789abcdef0123456789abcdef0123456789";
    SigSnapshot t = load(listed + " Hex.Test\n");
    ASSERT_TRUE(t);
    sigs_publish(t);
    for (size_t pos = 0; pos < 64; ++pos) {
        for (int c = 1; c < 256; ++c) {
            std::string line = listed + " X";
            line[pos] = static_cast<char>(c);
            const bool hex =
                (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            SigLine out;
            ASSERT_EQ(sig_parse_line(line.data(), line.size(), &out), hex ? 1 : 0)
                << "byte " << c << " at " << pos;
            if (hex) {
                const int v = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
                const int shift = pos % 2 == 0 ? 4 : 0;
                ASSERT_EQ((out.digest[pos / 2] >> shift) & 15, v) << "byte " << c << " at " << pos;
            }
            std::string text = lower(listed);
            text[pos] = static_cast<char>(c);
            const bool same = text == lower(listed);
            const bool lower_hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
            char name[TG_SIG_NAME_SIZE];
            ASSERT_EQ(sig_lookup(text.c_str(), name, sizeof(name)), same ? 1 : 0)
                << "byte " << c << " at " << pos << (lower_hex ? " (hex)" : "");
        }
    }
    sigs_free();
}

#if defined(__unix__)
// Texts of every length that end on the last byte of a page, before a page
// that cannot be read: nothing past the terminator may be touched, and the
// full digest is still found.
TEST(SigList, TextAtThePageEndIsReadNoFurther)
{
    const std::string digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    sigs_publish(load(digest + " Edge.Test\n"));
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* mem = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<char*>(mem) + page, page, PROT_NONE), 0);
    char* end = static_cast<char*>(mem) + page; // first byte that cannot be read
    char name[TG_SIG_NAME_SIZE];
    for (size_t len = 0; len <= 64; ++len) {
        char* text = end - len - 1;
        memcpy(text, digest.data(), len);
        text[len] = '\0';
        EXPECT_EQ(sig_lookup(text, name, sizeof(name)), len == 64 ? 1 : 0) << "length " << len;
        // And a character that is no digit just before the end.
        if (len > 0) {
            text[len - 1] = 'g';
            EXPECT_EQ(sig_lookup(text, name, sizeof(name)), 0) << "length " << len;
        }
    }
    munmap(mem, 2 * page);
    sigs_free();
}
#endif

TEST(SigList, LaterLineWinsAndBuiltinIsOverridden)
{
    const std::string text = "# comment\n" + D1 + " First\n" + D2 + " Other\n" + D1 + " Second\n" +
                             SIG_EICAR_SHA256 + " Custom.Eicar\n";
    SigSnapshot t = load(text, true);
    EXPECT_EQ(name_in(t, D1), "Second");
    EXPECT_EQ(name_in(t, D2), "Other");
    EXPECT_EQ(name_in(t, SIG_EICAR_SHA256), "Custom.Eicar");
    EXPECT_EQ(sig_table_count(t.get()), 5); // built-in + four lines, duplicates included
    EXPECT_EQ(sig_table_distinct(t.get()), 3u);
}

TEST(SigList, DefaultTextAndNoFile)
{
    SigSnapshot none = load("", true);
    EXPECT_EQ(sig_table_count(none.get()), 1);
    EXPECT_EQ(name_in(none, SIG_EICAR_SHA256), SIG_EICAR_NAME);
    EXPECT_EQ(name_in(none, D1), "<none>");

    SigSnapshot def = load(SIGS_DEFAULT_TEXT, true);
    EXPECT_EQ(sig_table_count(def.get()), 2);
    EXPECT_EQ(name_in(def, SIG_EICAR_SHA256), "EICAR-Test-File");

    SigSnapshot empty = load("", false);
    EXPECT_EQ(sig_table_count(empty.get()), 0);
    EXPECT_EQ(name_in(empty, SIG_EICAR_SHA256), "<none>");
}

// A physical line longer than 511 bytes is read in several pieces, and each
// piece is a line of its own.
TEST(SigList, LongLinesAreReadIn511BytePieces)
{
    const std::string fill511 = D1 + " " + std::string(511 - 65, 'N');
    struct Case {
        std::string text;
        std::vector<std::pair<std::string, std::string>> expect; // digest, name
        int count;
    };
    const Case cases[] = {
        // The second piece is a signature of its own.
        {fill511 + D2 + " Second\n", {{D1, std::string(127, 'N')}, {D2, "Second"}}, 2},
        // 510 characters and the line break fit one read.
        {D1 + " " + std::string(509 - 64, 'M') + "\n" + D2 + " Next\n",
         {{D1, std::string(127, 'M')}, {D2, "Next"}},
         2},
        // 511 characters: the line break is a read of its own, an empty line.
        {fill511 + "\n" + D2 + " Next\n", {{D1, std::string(127, 'N')}, {D2, "Next"}}, 2},
        // CR LF split across the pieces.
        {D1 + " " + std::string(510 - 65, 'C') + "\r\n" + D2 + " Next\r\n",
         {{D1, std::string(127, 'C')}, {D2, "Next"}},
         2},
        // A short tail after 511 bytes is ignored.
        {fill511 + "tail\n", {{D1, std::string(127, 'N')}, {D2, "<none>"}}, 1},
        // A long comment still yields the signature in its second piece.
        {"#" + std::string(510, '#') + D2 + " InComment\n", {{D2, "InComment"}, {D1, "<none>"}}, 1},
        // The last line needs no line break.
        {D1 + " A\n" + D2 + " B", {{D1, "A"}, {D2, "B"}}, 2},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const Case& c = cases[i];
        for (const std::vector<size_t>& pieces :
             std::vector<std::vector<size_t>>{{c.text.size()}, {1}, {100}, {511}, {512}}) {
            SigSnapshot t = load_in_pieces(c.text, pieces, 0);
            ASSERT_TRUE(t);
            EXPECT_EQ(sig_table_count(t.get()), c.count) << "case " << i;
            for (const auto& e : c.expect) {
                EXPECT_EQ(name_in(t, e.first), e.second)
                    << "case " << i << ", pieces of " << pieces[0];
            }
        }
    }
}

// A straightforward model of the loader: a 512-byte line buffer filled the
// way fgets fills it, each read cut at CR/LF/NUL and parsed by the rules.
std::map<std::string, std::string> model_load(const std::string& text, int* count)
{
    std::map<std::string, std::string> out;
    *count = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        std::string read;
        while (pos < text.size() && read.size() < 511) {
            read += text[pos++];
            if (read.back() == '\n') {
                break;
            }
        }
        std::string line = read.substr(0, read.find_first_of(std::string("\r\n\0", 3)));
        if (line.size() < 66 || line[0] == '#') {
            continue;
        }
        bool hex = true;
        for (int i = 0; i < 64; ++i) {
            hex = hex && isxdigit(static_cast<unsigned char>(line[i]));
        }
        if (!hex) {
            continue;
        }
        size_t p = 64;
        while (p < line.size() && strchr(" \t:=", line[p]) != nullptr) {
            ++p;
        }
        std::string digest = line.substr(0, 64);
        for (char& c : digest) {
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
        out[digest] = p < line.size() ? line.substr(p, 127) : "Generic.Malware";
        ++*count;
    }
    return out;
}

std::string random_hex(std::mt19937& rng)
{
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 64; ++i) {
        s += hex[rng() % 16];
    }
    return s;
}

// Random files full of awkward lines, fed whole and in random pieces, must
// load exactly as the model does.
TEST(SigList, RandomTextsMatchTheModel)
{
    std::mt19937 rng(2024);
    std::vector<std::string> pool;
    for (int i = 0; i < 40; ++i) {
        pool.push_back(random_hex(rng));
    }
    const char* seps[] = {" ", "  ", "\t", ":", "=", " := ", "", "   "};
    const char* ends[] = {"\n", "\r\n", "\r", "", "\n\n"};
    for (int round = 0; round < 60; ++round) {
        std::string text;
        const int lines = 1 + static_cast<int>(rng() % 60);
        for (int i = 0; i < lines; ++i) {
            std::string d = pool[rng() % pool.size()];
            switch (rng() % 10) {
            case 0:
                d = upper(d);
                break;
            case 1:
                d[rng() % 64] = 'z';
                break;
            case 2:
                d = "#" + d;
                break;
            default:
                break;
            }
            std::string name;
            const size_t name_len = rng() % 8 == 0 ? 300 + rng() % 500 : rng() % 20;
            for (size_t k = 0; k < name_len; ++k) {
                // Mostly letters, sometimes a hex run that a later piece
                // might read as a digest, sometimes a NUL.
                const unsigned r = rng() % 100;
                name += r == 0   ? '\0'
                        : r < 40 ? "0123456789abcdef"[rng() % 16]
                                 : static_cast<char>('G' + rng() % 20);
            }
            if (rng() % 6 == 0) {
                name += "\n" + pool[rng() % pool.size()] + " Embedded";
            }
            text += d + seps[rng() % 8] + name + ends[rng() % 5];
        }
        int want_count = 0;
        const std::map<std::string, std::string> want = model_load(text, &want_count);
        std::vector<size_t> pieces;
        for (int i = 0; i < 30; ++i) {
            pieces.push_back(1 + rng() % 700);
        }
        const SigSnapshot tables[] = {load(text), load_in_pieces(text, pieces, 0),
                                      load_in_pieces(text, {1}, 1)};
        for (const SigSnapshot& t : tables) {
            ASSERT_TRUE(t);
            EXPECT_EQ(sig_table_count(t.get()), want_count) << "round " << round;
            EXPECT_EQ(sig_table_distinct(t.get()), want.size()) << "round " << round;
            for (const std::string& d : pool) {
                auto it = want.find(d);
                EXPECT_EQ(name_in(t, d), it == want.end() ? "<none>" : it->second)
                    << "round " << round;
            }
        }
    }
}

// Many digests, with crowds sharing their first bytes (the home slot comes
// from the first 32 bits) and crowds at both ends of the digest range, so
// the ordered runs and the array's end are exercised.
TEST(SigTable, AgreesWithAMapOnCrowdedDigests)
{
    std::mt19937 rng(99);
    std::map<std::string, std::string> want;
    std::vector<std::string> order;
    std::string text;
    auto add = [&](const std::string& hex, const std::string& name) {
        text += hex + " " + name + "\n";
        want[hex] = name;
        order.push_back(hex);
    };
    for (int i = 0; i < 8000; ++i) {
        std::string hex = random_hex(rng);
        switch (i % 5) {
        case 0:
            hex.replace(0, 8, "00000000");
            break;
        case 1:
            hex.replace(0, 8, "ffffffff");
            break;
        case 2:
            hex.replace(0, 6, "7f7f7f");
            break;
        default:
            break;
        }
        add(hex, "N" + std::to_string(i / 2)); // names that are prefixes of others
    }
    for (int i = 0; i < 1500; ++i) {
        add(order[rng() % order.size()], "Dup" + std::to_string(i)); // later name wins
    }
    SigSnapshot t = load(text);
    ASSERT_TRUE(t);
    EXPECT_EQ(sig_table_count(t.get()), 9500);
    EXPECT_EQ(sig_table_distinct(t.get()), want.size());
    for (const auto& e : want) {
        ASSERT_EQ(name_in(t, e.first), e.second);
        // Neighbours just below and above must not match.
        std::string below = e.first, above = e.first;
        below[63] = below[63] == '0' ? '1' : '0';
        above[40] = above[40] == 'f' ? 'e' : 'f';
        if (want.count(below) == 0) {
            ASSERT_EQ(name_in(t, below), "<none>");
        }
        if (want.count(above) == 0) {
            ASSERT_EQ(name_in(t, above), "<none>");
        }
    }
    for (const char* edge : {"0000000000000000000000000000000000000000000000000000000000000000",
                             "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"}) {
        EXPECT_EQ(name_in(t, edge), want.count(edge) ? want[edge] : "<none>");
    }
}

TEST(SigBuilder, AddRules)
{
    SigBuilderPtr b(sig_builder_new(0));
    ASSERT_TRUE(b);
    EXPECT_EQ(sig_builder_add(b.get(), (upper(D1) + "extra").c_str(), "Upper.Extra"), 1);
    EXPECT_EQ(sig_builder_add(b.get(), D2.substr(0, 63).c_str(), "Short"), 0);
    EXPECT_EQ(sig_builder_add(b.get(), (D2.substr(0, 63) + "g").c_str(), "BadHex"), 0);
    EXPECT_EQ(sig_builder_add(b.get(), D2.c_str(), std::string(300, 'L').c_str()), 1);
    EXPECT_EQ(sig_builder_add(b.get(), D2.c_str(), nullptr), 0);
    EXPECT_EQ(sig_builder_count(b.get()), 2);
    SigSnapshot t = sig_builder_finish(b.get());
    EXPECT_EQ(name_in(t, D1), "Upper.Extra");
    EXPECT_EQ(name_in(t, D2), std::string(127, 'L'));

    // The builder is empty again and can build on a table.
    EXPECT_EQ(sig_builder_add_table(b.get(), t.get()), 1);
    EXPECT_EQ(sig_builder_add(b.get(), D1.c_str(), "Newer"), 1);
    EXPECT_EQ(sig_builder_count(b.get()), 3);
    SigSnapshot t2 = sig_builder_finish(b.get());
    EXPECT_EQ(name_in(t2, D1), "Newer");
    EXPECT_EQ(name_in(t2, D2), std::string(127, 'L'));
    EXPECT_EQ(name_in(t, D1), "Upper.Extra") << "the older table must not change";
}

// Names are stored packed (a shared stem and a run of digits and "-._:/ "
// two to a byte, or whole); every kind must come back byte for byte, from a
// lookup, through small buffers, and after a rebuild from the table.
TEST(SigNames, ComeBackExactly)
{
    const std::string names[] = {
        "Win.Trojan.Agent-1234567-0",
        "Win.Trojan.Agent-1234567-1", // same stem, another run
        "Win.Trojan.Agent-01",        // leading zero
        "Win.Trojan.Agent-1",
        "Win.Trojan.Agent-", // the stem alone
        "NoDigitsAtAll",
        "1234567890", // only digits: an empty stem
        "7",
        "9lives.Worm",               // digits first, then letters
        "Trojan:Win32/Emotet.123 4", // digits in the stem as well
        "A-1 2.3_4:5/6 7-8.9",       // every run character
        "Ends in a space 12 ",
        "x",
        " ",
        "-._:/ 0",
        std::string("High\xe9\xff\x80-12", 9),
        std::string("\x01\x02\x7f 5", 5),
        std::string(127, '5'),             // the longest run
        std::string(120, 'S') + "-123456", // a 121-character stem and a run
        std::string(63, 'P') + std::string(64, '0'),
        std::string(127, '\xf0'),
    };
    std::mt19937 rng(7);
    SigBuilderPtr b(sig_builder_new(0));
    std::vector<std::string> digests;
    for (const std::string& n : names) {
        digests.push_back(random_hex(rng));
        ASSERT_EQ(sig_builder_add(b.get(), digests.back().c_str(), n.c_str()), 1);
    }
    SigSnapshot t = sig_builder_finish(b.get());
    ASSERT_TRUE(t);
    SigBuilderPtr rebuild(sig_builder_new(0));
    ASSERT_EQ(sig_builder_add_table(rebuild.get(), t.get()), 1);
    SigSnapshot t2 = sig_builder_finish(rebuild.get());
    ASSERT_TRUE(t2);
    for (size_t i = 0; i < digests.size(); ++i) {
        const std::string& want = names[i];
        EXPECT_EQ(name_in(t, digests[i]), want) << "name " << i;
        EXPECT_EQ(name_in(t2, digests[i]), want) << "name " << i << " after a rebuild";
        for (size_t size : {1u, 2u, 5u, 17u, 127u}) {
            std::vector<char> buf(size, 'X');
            ASSERT_EQ(sig_table_lookup(t.get(), digest_of(digests[i]).data(), buf.data(), size), 1);
            EXPECT_EQ(std::string(buf.data()), want.substr(0, size - 1))
                << "name " << i << ", buffer of " << size;
        }
    }
    // An empty name is accepted by sig_builder_add and comes back empty.
    ASSERT_EQ(sig_builder_add(b.get(), D1.c_str(), ""), 1);
    SigSnapshot empty = sig_builder_finish(b.get());
    char name[TG_SIG_NAME_SIZE] = "junk";
    EXPECT_EQ(sig_table_lookup(empty.get(), digest_of(D1).data(), name, sizeof(name)), 1);
    EXPECT_STREQ(name, "");
}

// More distinct stems than the dictionary holds: the later names are kept
// whole and still come back exactly, and names shared by many digests stay
// shared.
TEST(SigNames, StemDictionaryOverflow)
{
    std::mt19937 rng(11);
    std::string text;
    std::vector<std::pair<std::string, std::string>> want;
    for (int i = 0; i < 70000; ++i) {
        std::string name = "Fam" + std::string(1, static_cast<char>('a' + i % 26)) +
                           std::to_string(i) + "x-" + std::to_string(i * 7);
        want.emplace_back(random_hex(rng), name);
        text += want.back().first + " " + name + "\n";
    }
    SigSnapshot t = load(text);
    ASSERT_TRUE(t);
    EXPECT_EQ(sig_table_distinct(t.get()), want.size());
    for (size_t i = 0; i < want.size(); i += 97) {
        ASSERT_EQ(name_in(t, want[i].first), want[i].second) << i;
    }
    ASSERT_EQ(name_in(t, want.back().first), want.back().second);
}

// What the table costs: about 37 bytes a digest plus each distinct name
// once, all of it counted by sig_table_bytes.
TEST(SigTable, MemoryPerSignature)
{
    std::mt19937 rng(5);
    std::string shared;
    std::string unique;
    const size_t n = 20000;
    for (size_t i = 0; i < n; ++i) {
        const std::string hex = random_hex(rng);
        shared += hex + " Win.Trojan.Family" + std::to_string(i % 50) + "\n";
        unique += hex + " Win.Trojan.Agent-" + std::to_string(1000000 + i) + "-0\n";
    }
    SigSnapshot s = load(shared);
    SigSnapshot u = load(unique);
    ASSERT_TRUE(s);
    ASSERT_TRUE(u);
    // 32 bytes of entry, the index, the ranks and the filter (1 to 2 bytes).
    EXPECT_GT(sig_table_bytes(s.get()), n * 32);
    EXPECT_LT(sig_table_bytes(s.get()), n * 42);
    // A unique name costs its packed run (a 3-byte header and 5 bytes for
    // "1000123-0"), not its 26 characters.
    EXPECT_GT(sig_table_bytes(u.get()), sig_table_bytes(s.get()) + n * 7);
    EXPECT_LT(sig_table_bytes(u.get()), sig_table_bytes(s.get()) + n * 10);
}

// The process-wide list. Tests leave it as the empty list.
class SigGlobal : public ::testing::Test {
  protected:
    void SetUp() override { sigs_free(); }
    void TearDown() override { sigs_free(); }
};

TEST_F(SigGlobal, StartupLoadLookupAndFree)
{
    EXPECT_EQ(sig_count(), 0);
    sigs_add_builtin();
    EXPECT_EQ(sig_count(), 1);
    const std::string file = D1 + " Trojan.X\n" + upper(D2) + "=Worm.Y\n#" + D1 + " no\n";
    EXPECT_EQ(sigs_load_text(file.data(), file.size()), 2);
    EXPECT_EQ(sig_count(), 3);

    char name[TG_SIG_NAME_SIZE];
    EXPECT_EQ(sig_lookup(D2.c_str(), name, sizeof(name)), 1);
    EXPECT_STREQ(name, "Worm.Y");
    EXPECT_EQ(sig_lookup(SIG_EICAR_SHA256, name, sizeof(name)), 1);
    EXPECT_STREQ(name, "EICAR-Test-File");
    EXPECT_EQ(sig_lookup_digest(digest_of(D1).data(), name, sizeof(name)), 1);
    EXPECT_STREQ(name, "Trojan.X");

    // Only the exact lower-case text of a digest matches.
    EXPECT_EQ(sig_lookup(upper(D2).c_str(), name, sizeof(name)), 0);
    EXPECT_EQ(sig_lookup((D2 + "0").c_str(), name, sizeof(name)), 0);
    EXPECT_EQ(sig_lookup(D2.substr(0, 63).c_str(), name, sizeof(name)), 0);
    EXPECT_EQ(sig_lookup(nullptr, name, sizeof(name)), 0);
    // Short texts in buffers of exactly their size: nothing past the NUL may
    // be read (AddressSanitizer reports it).
    for (size_t len : {0u, 1u, 7u, 8u, 9u, 23u, 24u, 25u, 40u, 63u}) {
        std::vector<char> text(D1.begin(), D1.begin() + static_cast<long>(len));
        text.push_back('\0');
        EXPECT_EQ(sig_lookup(text.data(), name, sizeof(name)), 0) << "length " << len;
    }

    // Small buffers are cut and terminated; no buffer just answers.
    char small[5];
    memset(small, 'X', sizeof(small));
    EXPECT_EQ(sig_lookup(D1.c_str(), small, sizeof(small)), 1);
    EXPECT_STREQ(small, "Troj");
    EXPECT_EQ(sig_lookup(D1.c_str(), nullptr, 0), 1);

    sigs_free();
    EXPECT_EQ(sig_count(), 0);
    EXPECT_EQ(sig_lookup(SIG_EICAR_SHA256, name, sizeof(name)), 0);
}

TEST_F(SigGlobal, ReloadReplacesEverything)
{
    sigs_add_builtin();
    sig_add(D2.c_str(), "Old.Only");
    const std::string file = SIGS_DEFAULT_TEXT + D1 + " New\n";
    EXPECT_EQ(sigs_reload_text(file.data(), file.size()), 3);
    EXPECT_EQ(sig_count(), 3);
    char name[TG_SIG_NAME_SIZE];
    EXPECT_EQ(sig_lookup(D2.c_str(), name, sizeof(name)), 0);
    EXPECT_EQ(sig_lookup(D1.c_str(), name, sizeof(name)), 1);
    EXPECT_STREQ(name, "New");
    EXPECT_EQ(sig_lookup(SIG_EICAR_SHA256, name, sizeof(name)), 1);
    EXPECT_STREQ(name, "EICAR-Test-File");
}

// Scanner threads look digests up while the list is replaced again and
// again. The built-in entry is in every version, so it must always be
// found; a digest present in only one version must come with that
// version's name. Run under AddressSanitizer and ThreadSanitizer.
TEST_F(SigGlobal, LookupsDuringReloads)
{
    std::string texts[2];
    for (int v = 0; v < 2; ++v) {
        std::mt19937 rng(v);
        for (int i = 0; i < 2000; ++i) {
            texts[v] += random_hex(rng) + " Filler." + std::to_string(v) + "\n";
        }
        texts[v] += (v == 0 ? D1 : D2) + " Version." + std::to_string(v) + "\n";
    }
    sigs_reload_text(texts[0].data(), texts[0].size());

    std::atomic<bool> stop{false};
    std::atomic<long> failures{0};
    std::atomic<long> lookups{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            char name[TG_SIG_NAME_SIZE];
            while (!stop.load()) {
                if (sig_lookup(SIG_EICAR_SHA256, name, sizeof(name)) != 1 ||
                    strcmp(name, "EICAR-Test-File") != 0) {
                    ++failures;
                }
                if (sig_lookup(D1.c_str(), name, sizeof(name)) == 1 &&
                    strcmp(name, "Version.0") != 0) {
                    ++failures;
                }
                SigSnapshot snap = sigs_snapshot();
                if (sig_table_lookup(snap.get(), digest_of(D2).data(), name, sizeof(name)) == 1 &&
                    strcmp(name, "Version.1") != 0) {
                    ++failures;
                }
                if (sig_lookup_digest(digest_of(D2).data(), name, sizeof(name)) == 1 &&
                    strcmp(name, "Version.1") != 0) {
                    ++failures;
                }
                if (sig_count() != 2002) {
                    ++failures;
                }
                if (sig_table_count(snap.get()) != 2002) {
                    ++failures;
                }
                ++lookups;
            }
        });
    }
    for (int i = 0; i < 100; ++i) {
        const std::string& t = texts[i % 2];
        ASSERT_EQ(sigs_reload_text(t.data(), t.size()), 2002);
    }
    stop = true;
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(lookups.load(), 0);
}

// Every reader slot held at once, by readers of one table, while a reload
// publishes the next: the reload waits for them, each still reads its table
// whole, and one reader more waits for a slot to come free, then reads the
// new table.
TEST_F(SigGlobal, EveryReaderSlotHeldWhileAReloadPublishes)
{
    const std::string old_text = D1 + " Version.0\n";
    const std::string new_text = D2 + " Version.1\n";
    ASSERT_EQ(sigs_reload_text(old_text.data(), old_text.size()), 2);

    std::mutex m;
    std::condition_variable cv;
    size_t holding = 0;
    bool release = false;
    std::atomic<long> failures{0};
    std::vector<std::thread> holders;
    for (size_t i = 0; i < kReaders; ++i) {
        holders.emplace_back([&] {
            ReaderSlot* held = nullptr;
            const SigTable* t = enter_current(&held);
            {
                std::unique_lock<std::mutex> lock(m);
                ++holding;
                cv.notify_all();
                cv.wait(lock, [&] { return release; });
            }
            if (t == nullptr) {
                ++failures;
                return;
            }
            // The next table is published by now; this one must be whole.
            char name[TG_SIG_NAME_SIZE];
            if (sig_table_lookup(t, digest_of(D1).data(), name, sizeof(name)) != 1 ||
                strcmp(name, "Version.0") != 0 || sig_table_count(t) != 2) {
                ++failures;
            }
            leave(held);
        });
    }
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return holding == kReaders; });
    }

    std::atomic<int> reloaded{-2};
    std::thread reloader([&] { reloaded = sigs_reload_text(new_text.data(), new_text.size()); });
    // The reload publishes before it waits for the readers of the old table.
    while (sig_table_lookup(sigs_snapshot().get(), digest_of(D2).data(), nullptr, 0) != 1) {
        std::this_thread::yield();
    }
    std::atomic<bool> extra_done{false};
    int extra_found = -1;
    std::string extra_name;
    std::thread extra([&] {
        char name[TG_SIG_NAME_SIZE] = "";
        extra_found = sig_lookup(D2.c_str(), name, sizeof(name));
        extra_name = name;
        extra_done = true;
    });
    // Neither can finish while every slot names the old table.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(extra_done.load()) << "a reader went on without a slot";
    EXPECT_EQ(reloaded.load(), -2) << "the reload did not wait for the readers";
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    for (std::thread& t : holders) {
        t.join();
    }
    reloader.join();
    extra.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(reloaded.load(), 2);
    EXPECT_EQ(extra_found, 1);
    EXPECT_EQ(extra_name, "Version.1");
    // The list answers from the new table.
    char name[TG_SIG_NAME_SIZE];
    EXPECT_EQ(sig_lookup(D1.c_str(), name, sizeof(name)), 0);
    EXPECT_EQ(sig_lookup(SIG_EICAR_SHA256, name, sizeof(name)), 1);
    EXPECT_EQ(sig_count(), 2);
}

// Readers while the list is emptied, republished from held snapshots (the
// same table coming back) and replaced: each answer must come from one
// whole version, and no freed table may be read (AddressSanitizer).
TEST_F(SigGlobal, LookupsWhileRepublishingAndFreeing)
{
    SigSnapshot versions[2];
    for (int v = 0; v < 2; ++v) {
        std::mt19937 rng(100 + v);
        std::string text;
        for (int i = 0; i < 500; ++i) {
            text += random_hex(rng) + " Filler-" + std::to_string(v) + "\n";
        }
        text += D1 + " Both." + std::to_string(v) + "\n";
        versions[v] = load(text);
        ASSERT_TRUE(versions[v]);
    }
    std::atomic<bool> stop{false};
    std::atomic<long> failures{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            char name[TG_SIG_NAME_SIZE];
            while (!stop.load()) {
                const int count = sig_count();
                if (count != 0 && count != 501) {
                    ++failures;
                }
                if (sig_lookup(D1.c_str(), name, sizeof(name)) == 1 &&
                    strcmp(name, "Both.0") != 0 && strcmp(name, "Both.1") != 0) {
                    ++failures;
                }
                if (sig_lookup_digest(digest_of(D2).data(), name, sizeof(name)) != 0) {
                    ++failures;
                }
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        switch (i % 4) {
        case 0:
        case 2:
            sigs_publish(versions[i % 3 == 0 ? 0 : 1]);
            break;
        case 1:
            sigs_publish(sigs_snapshot()); // the same table again
            break;
        default:
            sigs_free();
            break;
        }
    }
    stop = true;
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    // The list holds its own reference: dropping ours leaves it whole.
    sigs_publish(versions[1]);
    versions[0].reset();
    versions[1].reset();
    char name[TG_SIG_NAME_SIZE];
    EXPECT_EQ(sig_lookup(D1.c_str(), name, sizeof(name)), 1);
    EXPECT_STREQ(name, "Both.1");
    EXPECT_EQ(sig_count(), 501);
}

} // namespace
