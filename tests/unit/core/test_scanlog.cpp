#include "detect/scanlog.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

const LocalTime kEnded = {2024, 3, 9, 7, 5, 2, 6};

std::string rewrite(const std::string& old, const std::string& line)
{
    return scanlog_rewrite(old.data(), old.size(), line.c_str());
}

std::string numbered(int from, int to)
{
    std::string s;
    for (int i = from; i <= to; i++)
        s += "line" + std::to_string(i) + "\n";
    return s;
}

std::vector<std::string> split(const std::string& text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(text.substr(at, nl - at));
    EXPECT_EQ(at, text.size()) << "text must end with a newline";
    return lines;
}

} // namespace

TEST(ScanLog, FormatLine)
{
    char line[TG_SCANLOG_LINE_SIZE];
    EXPECT_FALSE(scanlog_format_line(line, sizeof(line), kEnded, "quick", 12, 3400, 1));
    EXPECT_STREQ(line, "2024-03-09T07:05:02|quick|12|3400|1");
    EXPECT_FALSE(scanlog_format_line(line, sizeof(line), kEnded, "a|b\r\n", -1, 0, 0));
    EXPECT_STREQ(line, "2024-03-09T07:05:02|a_b__|-1|0|0");

    const std::string long_kind(200, 'k');
    EXPECT_TRUE(scanlog_format_line(line, sizeof(line), kEnded, long_kind.c_str(), 1, 2, 3));
    EXPECT_EQ(std::string(line).size(), TG_SCANLOG_LINE_MAX_CHARS);
}

TEST(ScanLog, Rewrite)
{
    struct Case {
        const char* name;
        std::string old;
        std::string add;
        std::string want;
    };
    const std::string l159(159, 'a');
    const std::string l300 = std::string(159, 'b') + std::string(141, 'c');
    const Case cases[] = {
        {"no file", "", "new", "new\n"},
        {"append", "a\nb\n", "new", "a\nb\nnew\n"},
        {"blank lines go", "\n\na\n\r\n\nb", "new", "a\nb\nnew\n"},
        {"CR LF cut", "a\r\nb\rjunk\n", "new", "a\nb\nnew\n"},
        {"NUL ends a line", std::string("a\0b\n", 4), "new", "a\nnew\n"},
        {"159 characters and CR LF", l159 + "\r\nz\n", "new", l159 + "\nz\nnew\n"},
        {"a longer line is read in pieces", l300 + "\n", "new",
         std::string(159, 'b') + "\n" + std::string(141, 'c') + "\nnew\n"},
        {"new line cut at LF", "", "one\ntwo", "one\n"},
        {"new line cut to 159", "", l300, std::string(159, 'b') + "\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(rewrite(c.old, c.add), c.want) << c.name;
    EXPECT_EQ(scanlog_rewrite(nullptr, 0, "x"), "x\n");
}

TEST(ScanLog, KeepsTheNewest200)
{
    // 199 lines: nothing is dropped.
    std::vector<std::string> lines = split(rewrite(numbered(1, 199), "new"));
    ASSERT_EQ(lines.size(), 200u);
    EXPECT_EQ(lines.front(), "line1");
    EXPECT_EQ(lines.back(), "new");

    // 200 lines: the oldest goes.
    lines = split(rewrite(numbered(1, 200), "new"));
    ASSERT_EQ(lines.size(), 200u);
    EXPECT_EQ(lines.front(), "line2");
    EXPECT_EQ(lines[198], "line200");

    // Blank lines do not count towards the 200.
    std::string gappy;
    for (int i = 1; i <= 199; i++)
        gappy += "line" + std::to_string(i) + "\n\n";
    lines = split(rewrite(gappy, "new"));
    ASSERT_EQ(lines.size(), 200u);
    EXPECT_EQ(lines.front(), "line1");

    // A file that grew past the limit keeps its newest lines, not its oldest.
    lines = split(rewrite(numbered(1, 250), "new"));
    ASSERT_EQ(lines.size(), 200u);
    EXPECT_EQ(lines.front(), "line52");
    EXPECT_EQ(lines[198], "line250");
    EXPECT_EQ(lines.back(), "new");
}

TEST(ScanLog, ParseLine)
{
    ScanLogEntry e;
    ASSERT_TRUE(scanlog_parse_line("2024-03-09T07:05:02|scheduled|75|120345|2\r\n", &e));
    EXPECT_STREQ(e.time, "2024-03-09T07:05:02");
    EXPECT_STREQ(e.kind, "scheduled");
    EXPECT_EQ(e.seconds, 75);
    EXPECT_EQ(e.files, 120345);
    EXPECT_EQ(e.threats, 2);

    ASSERT_TRUE(scanlog_parse_line("t|k|x|-4|99999999999999999999999|extra", &e));
    EXPECT_STREQ(e.time, "t");
    EXPECT_EQ(e.seconds, 0);
    EXPECT_EQ(e.files, -4);
    EXPECT_EQ(e.threats, LONG_MAX);

    const std::string long_fields = std::string(40, 'T') + "|" + std::string(40, 'K') + "|1|2|3";
    ASSERT_TRUE(scanlog_parse_line(long_fields.c_str(), &e));
    EXPECT_EQ(std::string(e.time), std::string(19, 'T'));
    EXPECT_EQ(std::string(e.kind), std::string(31, 'K'));

    ASSERT_TRUE(scanlog_parse_line("||||", &e));
    EXPECT_STREQ(e.kind, "");
    for (const char* bad :
         {"", "2024-03-09T07:05:02|quick|1|2", "a|b|c|d\n|e", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(scanlog_parse_line(bad, &e)) << (bad ? bad : "(null)");

    // What the formatter writes, the parser reads back.
    char line[TG_SCANLOG_LINE_SIZE];
    scanlog_format_line(line, sizeof(line), kEnded, "custom", 3, 40, 5);
    ASSERT_TRUE(scanlog_parse_line(line, &e));
    EXPECT_STREQ(e.time, "2024-03-09T07:05:02");
    EXPECT_STREQ(e.kind, "custom");
    EXPECT_EQ(e.seconds + e.files + e.threats, 48);
}
