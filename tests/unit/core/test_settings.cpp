#include "common/settings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string get(const std::string& text, const char* key, const char* def, size_t size = 64)
{
    char out[1100];
    settings_get(text.data(), text.size(), key, out, size, def);
    return out;
}

std::string set(const std::string& text, const char* key, const char* value)
{
    return settings_set(text.data(), text.size(), key, value);
}

} // namespace

TEST(SettingsRead, Cases)
{
    struct Case {
        const char* text;
        const char* key;
        const char* expect;
    } cases[] = {
        {"scan_time =03:00\n", "scan_time", "02:00"},  // blank before '=': not the key
        {"scan_time=03:00\r\n", "scan_time", "03:00"}, // CRLF cut off
        {"a=1\na=2\n", "a", "1"},                      // first line wins
        {"a=\n", "a", ""},                             // empty value is not the default
        {"A=1\n", "a", "02:00"},                       // keys are case-sensitive
        {"# a=1\n a=2\nab=3\n", "a", "02:00"},         // comments, indents, longer keys
        {"x=1\na=last", "a", "last"},                  // no line break at the end
        {"a= spaced value \n", "a", " spaced value "}, // nothing trimmed
        {"", "a", "02:00"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(get(c.text, c.key, "02:00"), c.expect) << c.text;
}

TEST(SettingsRead, MissingFileGivesDefaultAndCutsToBuffer)
{
    char out[4];
    settings_get(nullptr, 0, "a", out, sizeof(out), "default");
    EXPECT_STREQ(out, "def");
    EXPECT_EQ(get("a=123456789\n", "a", "", 5), "1234");
}

TEST(SettingsRead, LongLineIsReadInPieces)
{
    // A line longer than 1023 bytes is seen as several lines: the text after
    // the first 1023 bytes can itself look like a setting.
    std::string text = "x=" + std::string(1021, 'y') + "a=hidden\n";
    EXPECT_EQ(get(text, "a", "def"), "hidden");
    EXPECT_EQ(get(text, "x", "def", 2000).size(), 1021u);
}

TEST(SettingsWrite, Cases)
{
    struct Case {
        const char* before;
        const char* key;
        const char* value;
        const char* after;
    } cases[] = {
        {"# c\nb=2\n", "a", "1", "# c\nb=2\na=1\n"},      // appended last, rest in order
        {"a=1\nx=0\na=2\n", "a", "9", "a=9\nx=0\na=2\n"}, // only the first occurrence
        {"a=1\n", "a", "", "a=\n"},                       // empty value
        {"b=2", "a", "1", "b=2\na=1\n"},                  // last line without line break kept whole
        {"a=1\r\nb=2\r\n", "a", "5", "a=5\r\nb=2\r\n"},   // CRLF kept on the replaced line
        {"b=2\r\n", "a", "1", "b=2\r\na=1\r\n"},          // and used for a new one
        {"a =1\n", "a", "2", "a =1\na=2\n"},              // blank before '=' is another line
        {"a=1\n", "a", "x\ninjected=1", "a=x\n"},         // a value never adds lines
        {"", "a", "1", "a=1\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(set(c.before, c.key, c.value), c.after) << c.before;
    EXPECT_EQ(settings_set(nullptr, 0, "a", "1"), "a=1\n");
}

TEST(SettingsWrite, KeepsEveryLineOfALongFile)
{
    std::string text;
    for (int i = 0; i < 600; i++)
        text += "k" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    std::string out = set(text, "new", "v");
    EXPECT_EQ(out, text + "new=v\n");
    out = set(text, "k599", "z");
    EXPECT_EQ(get(out, "k599", ""), "z");
    EXPECT_EQ(get(out, "k0", ""), "0");
}

TEST(SettingsWrite, OverlongValueIsCutWithItsLineBreakKept)
{
    std::string value(3000, 'v');
    std::string out = set("a=1\nb=2\n", "a", value.c_str());
    ASSERT_EQ(out.find('\n'), 1022u);
    EXPECT_EQ(out.substr(1023), "b=2\n");
}

TEST(SettingsAtol, Cases)
{
    EXPECT_EQ(settings_atol("42"), 42);
    EXPECT_EQ(settings_atol("  -7x"), -7);
    EXPECT_EQ(settings_atol("abc"), 0);
    EXPECT_EQ(settings_atol(""), 0);
    EXPECT_GT(settings_atol("99999999999999999999999"), 0); // saturates, no overflow
}

// A damaged (negative) stored counter counts as 0, so that the next scans
// move it again; only the top holds.
TEST(SettingsCounter, NegativeCountsAsZeroAndOnlyTheTopHolds)
{
    struct {
        const char* text;
        long value;
    } stored[] = {{"12", 12},
                  {"-5", 0},
                  {"-99999999999999999999", 0},
                  {"junk", 0},
                  {"2147483647", TG_COUNTER_MAX},
                  {"99999999999", TG_COUNTER_MAX}};
    for (const auto& c : stored)
        EXPECT_EQ(settings_counter_value(c.text), c.value) << c.text;
    struct {
        long count, n, sum;
    } adds[] = {{10, 5, 15},
                {-5, 3, 3},
                {-5, 0, 0},
                {0, 0, 0},
                {TG_COUNTER_MAX - 1, 5, TG_COUNTER_MAX},
                {TG_COUNTER_MAX, TG_COUNTER_MAX, TG_COUNTER_MAX},
                {3, -7, 0}};
    for (const auto& c : adds)
        EXPECT_EQ(settings_counter_add(c.count, c.n), c.sum) << c.count << " + " << c.n;
}
