#include "detect/quarantine.h"

#include "common/limits.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

const LocalTime kWhen = {2024, 3, 9, 7, 5, 2, 6};

std::string record(long id, const std::string& path, const std::string& threat)
{
    char line[TG_QUAR_RECORD_SIZE];
    EXPECT_TRUE(quar_format_record(line, sizeof(line), id, kWhen, path.c_str(), threat.c_str()));
    return line;
}

long next_id(const std::string& db)
{
    return quar_next_id(db.data(), db.size());
}

bool find(const std::string& db, long id, QuarRecord* rec)
{
    return quar_find(db.data(), db.size(), id, rec);
}

// A record whose path is long enough that character 2,047 of its line (where
// a 2,048-byte line buffer would split it) starts "999|".
std::string overlong_record(long id)
{
    std::string head = std::to_string(id) + "|2024-01-01 00:00:00|C:\\";
    std::string line = head + std::string(2047 - head.size(), 'p') + "999|x|y|z\n";
    return line;
}

} // namespace

TEST(Quarantine, LineId)
{
    struct Case {
        std::string line;
        long want;
    };
    const Case cases[] = {
        {"12|2024-01-01 00:00:00|C:\\a|T", 12},
        {"  \t7|x", 7},
        {"+5|x", 5},
        {"-3|x", -3},
        {"12abc", 12},
        {"abc|1", 0},
        {"", 0},
        {"\r\n", 0},
        {"99999999999999999999999|x", LONG_MAX},
        {"-99999999999999999999999|x", LONG_MIN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(quar_line_id(c.line.data(), c.line.size()), c.want) << c.line;
    // Only len bytes are read.
    EXPECT_EQ(quar_line_id("123", 2), 12);
}

TEST(Quarantine, RecordLine)
{
    EXPECT_EQ(record(12, "C:\\Users\\a\\Downloads\\x.exe", "HEUR:DoubleExtension"),
              "12|2024-03-09 07:05:02|C:\\Users\\a\\Downloads\\x.exe|HEUR:DoubleExtension\n");
    // Characters that would split the record are written as '_'.
    EXPECT_EQ(record(3, "C:\\a\nb", "Bad|Name\r\n"), "3|2024-03-09 07:05:02|C:\\a_b|Bad_Name__\n");

    // A record that does not fit is refused whole, never cut.
    char small[20];
    EXPECT_FALSE(quar_format_record(small, sizeof(small), 1, kWhen, "C:\\x", "T"));
    EXPECT_STREQ(small, "");
    char line[TG_QUAR_RECORD_SIZE];
    const std::string huge(2100, 'p');
    EXPECT_FALSE(quar_format_record(line, sizeof(line), 1, kWhen, huge.c_str(), "T"));
    EXPECT_STREQ(line, "");
}

TEST(Quarantine, NextId)
{
    struct Case {
        const char* name;
        std::string db;
        long want;
    };
    const std::string r3 = record(3, "C:\\a.exe", "T");
    const std::string r7 = record(7, "C:\\b.exe", "T");
    const Case cases[] = {
        {"empty", "", 1},
        {"3 and 7", r3 + r7, 8},
        {"7 and 3", r7 + r3, 8},
        {"7 removed", r3, 4},
        {"garbage and negative lines", "junk\n-5|x|y|z\n\n", 1},
        {"last line without newline", r3 + "41|x", 42},
        {"CRLF lines", "5|a|b|c\r\n9|a|b|c\r\n", 10},
        {"overlong line is one line", overlong_record(4), 5},
        {"largest id is LONG_MAX", "1|a\n" + std::to_string(LONG_MAX) + "|a\n2|a\n4|a\n", 3},
        {"saturated and nothing else", std::to_string(LONG_MAX) + "0|a\n", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(next_id(c.db), c.want) << c.name;
    EXPECT_EQ(quar_next_id(nullptr, 0), 1);
}

TEST(Quarantine, FileName)
{
    struct Case {
        const char* original;
        long id;
        const char* want;
    };
    const Case cases[] = {
        {"C:\\Users\\a\\Downloads\\x.exe", 12, "Q:\\quarantine\\12_x.exe.quar"},
        {"C:\\a\\dir/sub/x.exe", 3, "Q:\\quarantine\\3_dir_sub_x.exe.quar"},
        {"C:\\a\\file.txt:evil.exe", 4, "Q:\\quarantine\\4_file.txt_evil.exe.quar"},
        {"x.exe", 5, "Q:\\quarantine\\5_x.exe.quar"},
        {"C:\\a\\", 6, "Q:\\quarantine\\6_.quar"},
    };
    for (const Case& c : cases) {
        char out[TG_PATH_SIZE];
        EXPECT_TRUE(quar_file_name(out, sizeof(out), "Q:\\quarantine", c.id, c.original));
        EXPECT_STREQ(out, c.want);
    }

    // A long name is cut so that the file's own name stays within 255.
    const std::string name(300, 'n');
    const std::string original = "C:\\d\\" + name + ".exe";
    char out[TG_PATH_SIZE];
    ASSERT_TRUE(quar_file_name(out, sizeof(out), "Q:\\q", 123, original.c_str()));
    const std::string got = out;
    const std::string file = got.substr(strlen("Q:\\q\\"));
    EXPECT_EQ(file.size(), 255u);
    EXPECT_EQ(file.substr(0, 5), "123_n");
    EXPECT_EQ(file.substr(file.size() - 6), "n.quar");

    // A target that does not fit the buffer is refused, not cut.
    const std::string deep_folder = "Q:\\" + std::string(1000, 'f');
    EXPECT_FALSE(
        quar_file_name(out, sizeof(out), deep_folder.c_str(), 1, "C:\\abcdefghijklmnop.exe"));
    EXPECT_STREQ(out, "");

    EXPECT_TRUE(quar_file_pattern(out, sizeof(out), "Q:\\q", 77));
    EXPECT_STREQ(out, "Q:\\q\\77_*.quar");
    EXPECT_FALSE(quar_file_pattern(out, 8, "Q:\\q", 77));
    EXPECT_STREQ(out, "");
}

TEST(Quarantine, Find)
{
    const std::string long_threat(200, 't');
    const std::string long_path = "C:\\" + std::string(1021, 'p');
    const std::string db = "5|only|three\n" // too few fields
                           "5|2024-01-02 03:04:05|C:\\a\\x.exe|Trojan.A|with bar\r\n"
                           "5|2024-01-02 03:04:06|C:\\b\\y.exe|Trojan.B\n"
                           "8|2024-01-02 03:04:05|C:\\c.exe|" +
                           long_threat +
                           "\n"
                           "9|d|" +
                           long_path +
                           "|T\n"
                           "10|d|" +
                           long_path.substr(0, 1023) +
                           "|T10\n"
                           "10|d|C:\\ok.exe|T\n";
    QuarRecord rec;
    ASSERT_TRUE(find(db, 5, &rec));
    EXPECT_EQ(rec.id, 5);
    EXPECT_STREQ(rec.date, "2024-01-02 03:04:05");
    EXPECT_STREQ(rec.path, "C:\\a\\x.exe");
    EXPECT_STREQ(rec.threat, "Trojan.A|with bar");

    ASSERT_TRUE(find(db, 8, &rec));
    EXPECT_EQ(std::string(rec.threat), long_threat.substr(0, 127));

    // A 1,024-character path would be restored somewhere else if cut;
    // 1,023 characters fit.
    EXPECT_FALSE(find(db, 9, &rec));
    ASSERT_TRUE(find(db, 10, &rec));
    EXPECT_EQ(std::string(rec.path), long_path.substr(0, 1023));
    EXPECT_STREQ(rec.threat, "T10");

    EXPECT_FALSE(find(db, 6, &rec));
    EXPECT_FALSE(find("", 1, &rec));
    // The tail of an overlong line is never a record of its own.
    EXPECT_FALSE(find(overlong_record(4), 999, &rec));
}

TEST(Quarantine, RemoveKeepsOtherBytes)
{
    struct Case {
        const char* name;
        std::string db;
        long id;
        bool dropped;
        std::string want;
    };
    const std::string a = "3|d|C:\\a.exe|T\r\n";
    const std::string b = "7|d|C:\\b.exe|T\n";
    const std::string c = "7|d|C:\\c.exe|T2\n";
    const std::string odd = "junk line\n\n";
    const Case cases[] = {
        {"drop one", a + b, 7, true, a},
        {"drop every line with the id", b + a + c, 7, true, a},
        {"absent id", a + odd + b, 8, false, a + odd + b},
        {"last line without newline", b + "3|d|x|T", 3, true, b},
        {"keep last line without newline", a + "7|d|x|T", 3, true, "7|d|x|T"},
        {"id 0 drops junk and blank lines", a + odd, 0, true, a},
        {"overlong line stays whole", overlong_record(4) + b, 999, false, overlong_record(4) + b},
        {"overlong line dropped whole", overlong_record(4) + b, 4, true, b},
    };
    for (const Case& k : cases) {
        std::string out = "stale";
        EXPECT_EQ(quar_db_remove(k.db.data(), k.db.size(), k.id, &out), k.dropped) << k.name;
        EXPECT_EQ(out, k.want) << k.name;
    }
}

TEST(Quarantine, Listing)
{
    const std::string db = "12|2024-03-09 07:05:02|C:\\Users\\a\\x.exe|HEUR:DoubleExtension\r\n"
                           "bad|line\n"
                           "3|2024-03-10 08:00:00|C:\\b.exe|Name|with|bars\n"
                           "4|||\n";
    const std::string want =
        "ID     Date                Threat                       Original path\n"
        "12     2024-03-09 07:05:02 HEUR:DoubleExtension         C:\\Users\\a\\x.exe\n"
        "3      2024-03-10 08:00:00 Name|with|bars               C:\\b.exe\n"
        "4                                                       \n";
    EXPECT_EQ(quar_list_text(db.data(), db.size()), want);
    EXPECT_EQ(quar_list_text(nullptr, 0),
              "ID     Date                Threat                       Original path\n");
}

TEST(Quarantine, Action)
{
    struct Case {
        const char* value;
        bool del;
    };
    const Case cases[] = {{"delete", true},   {"Delete", true},      {"DELETE", true},
                          {"d", true},        {"quarantine", false}, {"", false},
                          {" delete", false}, {"remove", false},     {nullptr, false}};
    for (const Case& c : cases)
        EXPECT_EQ(quar_action_is_delete(c.value), c.del) << (c.value ? c.value : "(null)");
}
