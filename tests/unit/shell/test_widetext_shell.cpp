// The one path between ANSI and UTF-16 text, under the default code page
// and (shell_tests_utf8) under UTF-8 as the ANSI code page; the "\\?\" form
// of paths; names that Win32 rewrites or takes for devices, through the
// scan driver.
#include "shell_test.h"

#include "common/widetext_win32.h"
#include "detect/scan_win32.h"

#include <cstdlib>
#include <cstring>

namespace {

bool utf8_acp()
{
    return GetACP() == CP_UTF8;
}

// The EICAR marker, built from pieces so that this source is no sample.
std::string eicar()
{
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-") +
           "ANTIVIRUS-TEST-FILE!$H+H*";
}

std::wstring wide_of(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

} // namespace

TEST(AnsiText, ExactOrNothing)
{
    struct Case {
        const wchar_t* wide;
        const char* cp1252; // exact form under 1252, null: none
        const char* utf8;   // exact form under UTF-8, null: none
    };
    const Case cases[] = {
        {L"plain.exe", "plain.exe", "plain.exe"},
        {L"caf\u00e9.exe", "caf\xe9.exe", "caf\xc3\xa9.exe"},
        {L"\u4e2d\u6587.exe", nullptr, "\xe4\xb8\xad\xe6\x96\x87.exe"},
        // A full-width digit: best-fit mapping would make it "1".
        {L"\uff11", nullptr, "\xef\xbc\x91"},
        // An unpaired surrogate has no form in any code page.
        {L"a\xd800"
         L"b",
         nullptr, nullptr},
        {L"", "", ""},
    };
    // The UTF-8 build's run says which code page its manifest must give.
    const char* expect = getenv("TG_EXPECT_ACP");
    if (expect != nullptr) {
        ASSERT_EQ(GetACP(), strtoul(expect, nullptr, 10));
    }
    const bool utf8 = utf8_acp();
    if (!utf8) {
        ASSERT_EQ(GetACP(), 1252u) << "the table knows 1252 and UTF-8";
    }
    for (const Case& c : cases) {
        const char* want = utf8 ? c.utf8 : c.cp1252;
        std::string got;
        EXPECT_EQ(wide_to_ansi(c.wide, std::wstring::npos, &got), want != nullptr) << got;
        char buf[64];
        EXPECT_EQ(wide_to_ansi(c.wide, buf, sizeof(buf)), want != nullptr) << buf;
        if (want == nullptr) {
            EXPECT_STREQ(buf, "");
            continue;
        }
        EXPECT_EQ(got, want);
        EXPECT_STREQ(buf, want);
        std::wstring back;
        EXPECT_TRUE(ansi_to_wide(want, &back));
        EXPECT_EQ(back, c.wide);
        // A buffer one byte short holds nothing.
        const size_t need = strlen(want) + 1;
        if (need > 1) {
            EXPECT_FALSE(wide_to_ansi(c.wide, buf, need - 1));
            EXPECT_STREQ(buf, "");
        }
        wchar_t wbuf[64];
        EXPECT_TRUE(ansi_to_wide(want, wbuf, wcslen(c.wide) + 1));
        EXPECT_FALSE(wcslen(c.wide) > 0 && ansi_to_wide(want, wbuf, wcslen(c.wide)));
    }
    // Bytes that are no UTF-8 text.
    std::wstring w;
    if (utf8) {
        EXPECT_FALSE(ansi_to_wide("caf\xe9", &w));
        EXPECT_TRUE(w.empty());
    }
}

TEST(AnsiText, VerbatimPaths)
{
    struct Case {
        const char* path;
        const wchar_t* want;
    };
    const Case cases[] = {
        {"C:\\a\\b.exe", L"\\\\?\\C:\\a\\b.exe"},
        {"C:/a/./b//../c.exe", L"\\\\?\\C:\\a\\c.exe"},
        {"C:\\..\\x", L"\\\\?\\C:\\x"},
        {"C:\\", L"\\\\?\\C:\\"},
        {"C:\\dir\\", L"\\\\?\\C:\\dir\\"},
        // The names Win32 would take for devices or cut stay as they are.
        {"C:\\d\\nul.exe", L"\\\\?\\C:\\d\\nul.exe"},
        {"C:\\d\\CON", L"\\\\?\\C:\\d\\CON"},
        {"C:\\d\\name.", L"\\\\?\\C:\\d\\name."},
        {"C:\\d\\name ", L"\\\\?\\C:\\d\\name "},
        {"\\\\server\\share\\x.exe", L"\\\\?\\UNC\\server\\share\\x.exe"},
        {"\\\\?\\C:\\as\\is", L"\\\\?\\C:\\as\\is"},
        {"\\\\.\\pipe\\p", L"\\\\.\\pipe\\p"},
        {"", L""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(verbatim_path(c.path), c.want) << c.path;

    // Relative paths start from the current folder.
    wchar_t cwd[MAX_PATH];
    DWORD n = GetCurrentDirectoryW(MAX_PATH, cwd);
    ASSERT_TRUE(n > 2 && n < MAX_PATH);
    std::wstring base = L"\\\\?\\" + std::wstring(cwd);
    if (base.back() != L'\\')
        base.push_back(L'\\');
    EXPECT_EQ(verbatim_path("sub\\aux.exe"), base + L"sub\\aux.exe");
}

// A device reached by its own name is refused, counted as an error and
// logged; nothing blocks.
TEST(Names, ADeviceIsRefusedAndCounted)
{
    TempDir dir;
    std::string data = dir.file("data");
    make_dir_path(data.c_str());
    use_data_dir(data);
    ScanStats s{};
    scan_file("\\\\.\\NUL", &s, 1);
    EXPECT_EQ(s.files, 1);
    EXPECT_EQ(s.errors, 1);
    EXPECT_EQ(s.threats, 0);
    WIN32_FIND_DATAA fd;
    HANDLE f = FindFirstFileA((data + "\\logs\\*.log").c_str(), &fd);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    const std::string log = read_file(data + "\\logs\\" + fd.cFileName);
    FindClose(f);
    EXPECT_NE(log.find("[WARN] \\\\.\\NUL is not a file on disk"), std::string::npos) << log;
    counters_save(); // this test's counts stay in its own data directory
}

// Names with no ANSI form in 1252, device names and names Win32 cuts: each
// is listed, inspected by its own name and quarantined.
TEST(Names, ScanTreeReachesEveryName)
{
    TempDir dir;
    std::string data = dir.file("data");
    make_dir_path(data.c_str());
    use_data_dir(data);
    const std::wstring root = wide_of(dir.file("names"));
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\\u76ee\u5f55").c_str(), nullptr));
    const wchar_t* scanned[] = {
        L"caf\u00e9.exe", L"\u4e2d\u6587.exe", L"\u76ee\u5f55\\evil.exe",
        L"nul.exe",       L"CON.exe",          L"AUX.exe",
        L"aux.com",       L"com1.exe",         L"LPT1.bat",
        L"dot.exe.",      L"space.exe ",
    };
    const wchar_t* skipped[] = {L"AUX", L"nul", L"name.", L"name "}; // no executable type
    for (const wchar_t* n : scanned)
        write_wide(root + L"\\" + n, eicar());
    for (const wchar_t* n : skipped)
        write_wide(root + L"\\" + n, eicar());

    ScanStats s{};
    std::string ansi_root = dir.file("names");
    scan_tree(ansi_root.c_str(), &s, 0);
    const long want = static_cast<long>(sizeof(scanned) / sizeof(scanned[0]));
    EXPECT_EQ(s.files, want);
    EXPECT_EQ(s.threats, want);
    EXPECT_EQ(s.errors, 0);
    EXPECT_EQ(s.skipped, static_cast<long>(sizeof(skipped) / sizeof(skipped[0])));
    for (size_t i = 0; i < sizeof(scanned) / sizeof(scanned[0]); i++)
        EXPECT_FALSE(exists_wide(root + L"\\" + scanned[i])) << "still there: name " << i;
    for (const wchar_t* n : skipped)
        EXPECT_TRUE(exists_wide(root + L"\\" + n));
    counters_save(); // this test's counts stay in its own data directory
}
