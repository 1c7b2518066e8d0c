#include "detect/inspect.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

// Samples that other scanners flag are never stored as such: the EICAR text
// is assembled from two halves, and the keyword samples from the detector's
// own tables.
namespace {

std::string eicar_text()
{
    return std::string("EICAR-STANDARD-") + "ANTIVIRUS-TEST-FILE";
}

const std::string kNul("\0", 1);

std::string api_words(int n)
{
    std::string s;
    for (int i = 0; i < n; i++)
        s += kNul + kNul + api_keywords[i];
    return s + kNul;
}

std::string script_word(int i)
{
    return script_keywords[i];
}

const int kPowershell = 12;
const int kEnc = 2;
const int kBypass = 11;
const int kMshta = 15;

std::string mz(const std::string& rest)
{
    return "MZ" + rest;
}

std::string pad(const std::string& s, size_t n, char c = ' ')
{
    std::string out = s;
    if (out.size() < n)
        out.append(n - out.size(), c);
    return out;
}

struct Verdict {
    int result;
    std::string threat;
};

Verdict verdict(const char* path, const std::string& head, uint64_t size, const char* sig = nullptr)
{
    char threat[TG_THREAT_SIZE];
    memset(threat, 'x', sizeof(threat));
    int r = inspect_verdict(path, reinterpret_cast<const unsigned char*>(head.data()), head.size(),
                            size, sig, threat, sizeof(threat));
    return {r, threat};
}

const uint64_t kMiB = 1048576;

} // namespace

TEST(Inspect, FileExt)
{
    struct Case {
        const char* path;
        const char* want;
    };
    const std::string long_ext = "x." + std::string(70, 'E');
    const Case cases[] = {
        {"C:\\a\\b.TXT", "txt"},
        {"C:\\a.b\\c", ""},
        {"C:\\a\\.bashrc", ""},
        {"C:\\a\\.hidden.Ps1", "ps1"},
        {"a.", ""},
        {"a..b", "b"},
        {"C:/dir/setup.Exe", "exe"},
        {"C:\\dir/x.7Z", "7z"},
        {"noext", ""},
        {"", ""},
        {"\\", ""},
        {long_ext.c_str(), "eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee"},
    };
    for (const Case& c : cases) {
        char out[TG_EXT_SIZE];
        memset(out, 'z', sizeof(out));
        file_ext(c.path, out);
        EXPECT_STREQ(out, c.want) << c.path;
    }
    char out[TG_EXT_SIZE] = "zz";
    file_ext(nullptr, out);
    EXPECT_STREQ(out, "");

    // As Windows runs the file: trailing dots and spaces left out first.
    const Case as_run[] = {
        {"C:\\a\\evil.EXE.", "exe"},
        {"C:\\a\\evil.exe ", "exe"},
        {"evil.exe. . ", "exe"},
        {"C:\\a.b\\c.", ""},
        {"...", ""},
        {"C:\\a\\b.txt", "txt"},
    };
    for (const Case& c : as_run) {
        file_ext_as_run(c.path, out);
        EXPECT_STREQ(out, c.want) << c.path;
    }
    file_ext_as_run(nullptr, out);
    EXPECT_STREQ(out, "");
}

TEST(Inspect, ExtensionLists)
{
    EXPECT_TRUE(ext_in_list("exe", executable_exts));
    EXPECT_TRUE(ext_in_list("gadget", executable_exts));
    EXPECT_TRUE(ext_in_list("js", script_exts));
    EXPECT_TRUE(ext_in_list("7z", document_exts));
    EXPECT_TRUE(ext_in_list("cpl", native_exts));
    // Whole entries only, and the empty extension is in no list.
    EXPECT_FALSE(ext_in_list("ex", executable_exts));
    EXPECT_FALSE(ext_in_list("xe", executable_exts));
    EXPECT_FALSE(ext_in_list("jse2", script_exts));
    EXPECT_FALSE(ext_in_list("msi", native_exts));
    EXPECT_FALSE(ext_in_list("jar", script_exts));
    for (const char* list : {executable_exts, document_exts, native_exts, script_exts})
        EXPECT_FALSE(ext_in_list("", list));
}

TEST(Inspect, Verdicts)
{
    struct Case {
        const char* name;
        const char* path;
        std::string head;
        uint64_t size;
        const char* sig;
        int want;
        const char* threat;
    };
    const std::string plain_mz = mz(pad("", 62, '\0'));
    const std::string pe3 = mz(pad("", 200, '\0') + api_words(3));
    const std::string text3 = pad("", 40) + api_words(3);
    const std::string ps_twice =
        script_word(kPowershell) + " -NoProfile " + script_word(kPowershell) + "\r\n";
    const std::string ps_enc = script_word(kPowershell) + " " + script_word(kEnc) + "ZQBjAGgAbwA=";
    const std::string two15 = pad(script_word(kMshta) + " " + script_word(kBypass), 15, 'x');
    const std::string two16 = pad(script_word(kMshta) + " " + script_word(kBypass), 16, 'x');
    const uint64_t big = 200 * kMiB;
    const Case cases[] = {
        // Double extension: by name alone, before the contents are looked at.
        {"double extension", "C:\\d\\report.pdf.exe", plain_mz, 64, nullptr, 1,
         "HEUR:DoubleExtension"},
        {"upper-case double extension", "C:\\d\\a.PDF.EXE", "hello", 5, nullptr, 1,
         "HEUR:DoubleExtension"},
        {"forward slashes", "C:/d/invoice.docx.scr", "hello", 5, nullptr, 1,
         "HEUR:DoubleExtension"},
        {"leading dot is no inner name", "C:\\d\\.pdf.exe", plain_mz, 64, nullptr, 0, ""},
        {"single extension", "C:\\d\\report.exe", plain_mz, 64, nullptr, 0, ""},
        {"dot in the folder only", "C:\\my.pdf\\setup.exe", plain_mz, 64, nullptr, 0, ""},
        {"inner extension not a document", "C:\\d\\setup.x86.exe", plain_mz, 64, nullptr, 0, ""},
        {"document over a non-executable", "C:\\d\\a.pdf.txt", plain_mz, 64, nullptr, 1,
         "HEUR:DisguisedExecutable"},
        // Disguised executable: MZ without an executable extension.
        {"MZ without extension", "C:\\d\\payload", plain_mz, 64, nullptr, 1,
         "HEUR:DisguisedExecutable"},
        {"MZ as txt", "C:\\d\\notes.txt", plain_mz, 64, nullptr, 1, "HEUR:DisguisedExecutable"},
        {"MZ alone", "C:\\d\\notes.txt", "MZ", 2, nullptr, 1, "HEUR:DisguisedExecutable"},
        {"M alone", "C:\\d\\notes.txt", "M", 1, nullptr, 0, ""},
        {"MZ as exe", "C:\\d\\tool.exe", plain_mz, 64, nullptr, 0, ""},
        {"MZ as msi", "C:\\d\\setup.msi", plain_mz, 64, nullptr, 0, ""},
        {"MZ as lnk", "C:\\d\\app.lnk", plain_mz, 64, nullptr, 0, ""},
        {"mz lower case is not MZ", "C:\\d\\notes.txt", "mz" + text3, 64, nullptr, 0, ""},
        // Keyword heuristics.
        {"API names after NUL bytes", "C:\\d\\tool.exe", pe3, 300, nullptr, 1,
         "HEUR:Suspicious.API(3)"},
        {"two API names", "C:\\d\\tool.exe", mz(pad("", 100, '\0') + api_words(2)), 300, nullptr, 0,
         ""},
        {"exe without MZ still counted", "C:\\d\\tool.exe", text3, 300, nullptr, 1,
         "HEUR:Suspicious.API(3)"},
        {"dll without MZ counted", "C:\\d\\lib.dll", text3, 300, nullptr, 1,
         "HEUR:Suspicious.API(3)"},
        {"txt without MZ is clean", "C:\\d\\notes.txt", text3, 300, nullptr, 0, ""},
        {"js is not native", "C:\\d\\a.js", text3, 300, nullptr, 0, ""},
        {"MZ bat gets the API count", "C:\\d\\run.bat", pe3, 300, nullptr, 1,
         "HEUR:Suspicious.API(3)"},
        {"ps1 with one word twice", "C:\\d\\a.ps1", ps_twice, 64, nullptr, 0, ""},
        {"ps1 with two words", "C:\\d\\a.ps1", ps_enc, 64, nullptr, 1, "HEUR:Suspicious.Script(2)"},
        {"script words in an exe", "C:\\d\\a.exe", ps_enc, 64, nullptr, 0, ""},
        {"15-byte bat", "C:\\d\\a.bat", two15, 15, nullptr, 0, ""},
        {"16-byte bat", "C:\\d\\a.bat", two16, 16, nullptr, 1, "HEUR:Suspicious.Script(2)"},
        {"empty exe", "C:\\d\\a.exe", "", 0, nullptr, 0, ""},
        // Signatures: second, and only for files that were hashable.
        {"signature", "C:\\d\\a.txt", "plain text here", 15, "Trojan.X", 1, "Trojan.X"},
        {"signature before double extension", "C:\\d\\a.pdf.exe", "x", 1, "Worm.Y", 1, "Worm.Y"},
        {"signature at 128 MiB", "C:\\d\\a.bin", "x", 128 * kMiB, "Big.Z", 1, "Big.Z"},
        {"no signature above 128 MiB", "C:\\d\\a.bin", "x", 128 * kMiB + 1, "Big.Z", 0, ""},
        {"200 MiB: heuristics still run", "C:\\d\\big.exe", pe3, big, "Big.Z", 1,
         "HEUR:Suspicious.API(3)"},
        // EICAR: first, whatever the name, the size or the signature.
        {"EICAR", "C:\\d\\a.pdf.exe", "X5O " + eicar_text() + "!$H+H*", 70, "Sig.A", 1,
         "EICAR-Test-File"},
        {"EICAR in a huge file", "C:\\d\\a.dat", eicar_text(), big, nullptr, 1, "EICAR-Test-File"},
        {"EICAR at 4000", "C:\\d\\a.txt", pad("", 4000) + eicar_text(), 5000, nullptr, 1,
         "EICAR-Test-File"},
        {"EICAR ending at 4095", "C:\\d\\a.txt", pad("", 4095 - 34) + eicar_text(), 5000, nullptr,
         1, "EICAR-Test-File"},
        {"EICAR ending at 4096", "C:\\d\\a.txt", pad("", 4096 - 34) + eicar_text(), 5000, nullptr,
         0, ""},
        {"EICAR at 4095", "C:\\d\\a.txt", pad("", 4095) + eicar_text(), 5000, nullptr, 0, ""},
        {"EICAR after a NUL", "C:\\d\\a.txt", "ab" + kNul + eicar_text(), 50, nullptr, 0, ""},
        {"EICAR after a NUL, signed", "C:\\d\\a.txt", "ab" + kNul + eicar_text(), 50, "Sig.B", 1,
         "Sig.B"},
    };
    for (const Case& c : cases) {
        Verdict v = verdict(c.path, c.head, c.size, c.sig);
        EXPECT_EQ(v.result, c.want) << c.name;
        EXPECT_EQ(v.threat, c.threat) << c.name;
    }
}

TEST(Inspect, KeywordsOnlyInTheFirstTwoMiB)
{
    std::string head = mz(std::string(TG_INSPECT_HEAD_BYTES - 2 - 40, '\0'));
    head += api_words(3);
    ASSERT_GT(head.size(), TG_INSPECT_HEAD_BYTES);
    // The third name lies past the 2 MiB mark: two remain.
    EXPECT_EQ(verdict("C:\\a.exe", head, head.size()).result, 0);
    head.resize(TG_INSPECT_HEAD_BYTES - 200);
    head += api_words(3);
    EXPECT_EQ(verdict("C:\\a.exe", head, head.size()).threat, "HEUR:Suspicious.API(3)");
}

TEST(Inspect, HashOnlyWhenItCanDecide)
{
    const std::string e = eicar_text();
    const auto* eh = reinterpret_cast<const unsigned char*>(e.data());
    const unsigned char plain[] = "MZ plain";
    EXPECT_FALSE(inspect_needs_hash(eh, e.size(), 100));
    EXPECT_TRUE(inspect_needs_hash(plain, sizeof(plain), 100));
    EXPECT_TRUE(inspect_needs_hash(plain, sizeof(plain), TG_HASH_MAX_FILE_SIZE));
    EXPECT_FALSE(inspect_needs_hash(plain, sizeof(plain), TG_HASH_MAX_FILE_SIZE + 1));
    EXPECT_TRUE(inspect_needs_hash(nullptr, 0, 0));
}

TEST(Inspect, ThreatBufferIsEmptiedAndCut)
{
    const std::string head = mz("");
    char small[8];
    memset(small, 'x', sizeof(small));
    EXPECT_EQ(inspect_verdict("C:\\a.txt", reinterpret_cast<const unsigned char*>(head.data()),
                              head.size(), 2, nullptr, small, sizeof(small)),
              1);
    EXPECT_STREQ(small, "HEUR:Di");

    char one[1] = {'x'};
    EXPECT_EQ(inspect_verdict("C:\\a.txt", reinterpret_cast<const unsigned char*>(head.data()),
                              head.size(), 2, nullptr, one, sizeof(one)),
              1);
    EXPECT_EQ(one[0], '\0');

    char clean[16];
    memset(clean, 'x', sizeof(clean));
    EXPECT_EQ(inspect_verdict("C:\\a.exe", nullptr, 0, 0, nullptr, clean, sizeof(clean)), 0);
    EXPECT_STREQ(clean, "");
    // A null path has no extension; a null threat buffer is allowed.
    EXPECT_EQ(inspect_verdict(nullptr, reinterpret_cast<const unsigned char*>(head.data()),
                              head.size(), 2, nullptr, nullptr, 0),
              1);
}
