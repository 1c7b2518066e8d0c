#include "detect/exclusions.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

std::unique_ptr<ExclusionTable> table_of(const std::string& raw)
{
    auto t = std::make_unique<ExclusionTable>();
    *t = ExclusionTable{};
    exclusions_update(t.get(), raw.c_str());
    return t;
}

std::vector<std::string> entries(const ExclusionTable& t)
{
    std::vector<std::string> out;
    for (int i = 0; i < t.count; i++)
        out.push_back(t.entries[i]);
    return out;
}

} // namespace

TEST(Exclusions, Parsing)
{
    struct Case {
        const char* name;
        std::string raw;
        std::vector<std::string> want;
    };
    const std::string e260 = "D:\\" + std::string(257, 'a');
    const std::string e261 = e260 + "b";
    const Case cases[] = {
        {"blanks and empty entries", " ; D:\\Data ;; *.iso ;", {"D:\\Data", "*.iso"}},
        {"tabs around, blanks inside",
         "\t C:\\Program Files\\X \t;\t*.tmp",
         {"C:\\Program Files\\X", "*.tmp"}},
        {"only separators", " ;\t; ;", {}},
        {"empty", "", {}},
        {"260 kept, 261 dropped, rest read", e260 + ";" + e261 + ";E:\\k", {e260, "E:\\k"}},
        {"no trailing separator", "C:\\a", {"C:\\a"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(entries(*table_of(c.raw)), c.want) << c.name;
}

TEST(Exclusions, AtMost128Entries)
{
    std::string raw;
    for (int i = 0; i < 129; i++)
        raw += "C:\\d" + std::to_string(i) + ";";
    auto t = table_of(raw);
    ASSERT_EQ(t->count, TG_EXCL_MAX_ENTRIES);
    EXPECT_STREQ(t->entries[127], "C:\\d127");
    EXPECT_EQ(is_excluded(t.get(), "C:\\d127\\x.exe"), 1);
    EXPECT_EQ(is_excluded(t.get(), "C:\\d128\\x.exe"), 0);

    // Only the first 4,095 characters of the value count: an entry that
    // runs past them is cut there.
    std::string long_raw = std::string(4090, ';') + "C:\\abcdefgh";
    auto cut = table_of(long_raw);
    ASSERT_EQ(cut->count, 1);
    EXPECT_STREQ(cut->entries[0], "C:\\ab");
}

TEST(Exclusions, SameValueIsNotParsedAgain)
{
    auto t = std::make_unique<ExclusionTable>();
    *t = ExclusionTable{};
    EXPECT_FALSE(exclusions_update(t.get(), ""));
    EXPECT_FALSE(exclusions_update(t.get(), nullptr));
    EXPECT_TRUE(exclusions_update(t.get(), "C:\\a;*.iso"));
    EXPECT_EQ(t->count, 2);
    // Damage the table: an unchanged value must leave it as it is.
    t->count = 1;
    EXPECT_FALSE(exclusions_update(t.get(), "C:\\a;*.iso"));
    EXPECT_EQ(t->count, 1);
    EXPECT_TRUE(exclusions_update(t.get(), "C:\\a;*.iso;"));
    EXPECT_EQ(t->count, 2);
    EXPECT_TRUE(exclusions_update(t.get(), ""));
    EXPECT_EQ(t->count, 0);
    EXPECT_EQ(is_excluded(t.get(), "C:\\a"), 0);
}

TEST(Exclusions, Matching)
{
    struct Case {
        const char* entries;
        const char* path;
        int want;
    };
    const Case cases[] = {
        // Extension entries.
        {"*.ISO", "D:\\x.iso", 1},
        {"*.iso", "D:\\disk.ISO", 1},
        {"*.iso", "D:\\disk.isox", 0},
        {"*.iso", "D:\\disk.is", 0},
        {"*.iso", "D:\\.iso", 0},
        {"*.iso", "D:\\a.b\\iso", 0},
        {"*.iso", "D:/dir/a.iso", 1},
        {"*.iso", "D:\\a.iso.exe", 0},
        {"*.", "D:\\a.exe", 0},
        {"*.", "D:\\a", 0},
        {"*.tar.gz", "D:\\a.tar.gz", 0},
        // Folder entries.
        {"C:\\Temp\\", "C:\\Temp", 1},
        {"C:\\Temp\\", "C:\\temp\\a.exe", 1},
        {"C:\\Temp\\", "C:\\Temp2\\a.exe", 0},
        {"C:\\Temp", "C:\\TEMP/a.exe", 1},
        {"C:\\Temp", "C:\\Tem", 0},
        {"C:\\Temp", "C:/Temp/a.exe", 0},
        {"C:/Temp", "C:/Temp/a.exe", 1},
        {"C:\\", "C:\\Windows\\system32\\x.dll", 1},
        {"C:\\", "c:", 1},
        {"C:\\", "D:\\x", 0},
        {"C:\\Temp\\/\\", "C:\\Temp\\x", 1},
        {"\\", "\\", 1},
        {"\\", "\\\\server\\share", 1},
        {"\\", "\\x", 0},
        {"D:\\a.iso", "D:\\a.iso", 1},
        // First match wins; any match is enough.
        {"E:\\x;*.tmp;C:\\Temp", "C:\\Temp\\a.exe", 1},
        {"E:\\x;*.tmp", "C:\\Temp\\a.exe", 0},
        {"", "C:\\Temp\\a.exe", 0},
    };
    for (const Case& c : cases) {
        auto t = table_of(c.entries);
        EXPECT_EQ(is_excluded(t.get(), c.path), c.want) << c.entries << " vs " << c.path;
    }
    auto t = table_of("C:\\");
    EXPECT_EQ(is_excluded(t.get(), nullptr), 0);
    EXPECT_EQ(is_excluded(nullptr, "C:\\x"), 0);
}
