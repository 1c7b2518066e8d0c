#include "engine/schedule.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

LocalTime at(int year, int month, int day, int hour = 12, int minute = 0)
{
    LocalTime t = {};
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.weekday = -1; // never trusted by the decisions
    return t;
}

std::string date_text(const LocalTime& t)
{
    char buf[TG_DATE_SIZE];
    format_date(buf, sizeof buf, t.year, t.month, t.day);
    return buf;
}

} // namespace

TEST(ScheduleDates, AnchorsAndLeapYears)
{
    struct Case {
        int y, m, d;
        long long days;
        int weekday;
    };
    const Case cases[] = {
        {1970, 1, 1, 0, 4},      {2024, 2, 29, 19782, 4}, {2000, 2, 29, 11016, 2},
        {2100, 2, 28, 47540, 0}, {2100, 3, 1, 47541, 1},  {2020, 12, 31, 18627, 4},
        {1969, 12, 31, -1, 3},   {1, 1, 1, -719162, 1},   {9999, 12, 31, 2932896, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.y << "-" << c.m << "-" << c.d);
        EXPECT_EQ(days_from_civil(c.y, c.m, c.d), c.days);
        EXPECT_EQ(weekday_from_days(c.days), c.weekday);
        LocalTime back = civil_from_days(c.days);
        EXPECT_EQ(back.year, c.y);
        EXPECT_EQ(back.month, c.m);
        EXPECT_EQ(back.day, c.d);
        EXPECT_EQ(back.weekday, c.weekday);
    }
    EXPECT_TRUE(is_leap_year(2024));
    EXPECT_TRUE(is_leap_year(2000));
    EXPECT_FALSE(is_leap_year(2100));
    EXPECT_FALSE(is_leap_year(2023));
    EXPECT_EQ(days_in_month(2024, 2), 29);
    EXPECT_EQ(days_in_month(2100, 2), 28);
    EXPECT_EQ(days_in_month(2000, 2), 29);
    EXPECT_EQ(days_in_month(2024, 13), 0);
    EXPECT_EQ(days_in_month(2024, 0), 0);
}

// Walks every day from 1600 to 2400 with a plain calendar counter: the day
// numbers must count up by one, convert back, and the weekday cycle by one.
TEST(ScheduleDates, EveryDayRoundTrips)
{
    int y = 1600, m = 1, d = 1;
    long long expected = days_from_civil(y, m, d);
    int weekday = weekday_from_days(expected);
    while (y < 2400) {
        ASSERT_EQ(days_from_civil(y, m, d), expected) << y << "-" << m << "-" << d;
        LocalTime t = civil_from_days(expected);
        ASSERT_TRUE(t.year == y && t.month == m && t.day == d) << y << "-" << m << "-" << d;
        ASSERT_EQ(t.weekday, weekday);
        expected++;
        weekday = (weekday + 1) % 7;
        if (++d > days_in_month(y, m)) {
            d = 1;
            if (++m > 12) {
                m = 1;
                y++;
            }
        }
    }
}

TEST(ScheduleDates, LocalTimeValidity)
{
    EXPECT_TRUE(local_time_valid(at(2024, 2, 29, 23, 59)));
    EXPECT_TRUE(local_time_valid(at(1, 1, 1, 0, 0)));
    const LocalTime bad[] = {at(2023, 2, 29),      at(2024, 13, 1),    at(2024, 0, 1),
                             at(2024, 4, 31),      at(2024, 1, 0),     at(0, 1, 1),
                             at(10000, 1, 1),      at(2024, 1, 1, 24), at(2024, 1, 1, -1),
                             at(2024, 1, 1, 0, 60)};
    for (const LocalTime& t : bad)
        EXPECT_FALSE(local_time_valid(t))
            << t.year << "-" << t.month << "-" << t.day << " " << t.hour << ":" << t.minute;
}

TEST(ScheduleIsoWeek, YearEndsAndLeapDays)
{
    struct Case {
        int y, m, d;
        int iso_year, week;
    };
    const Case cases[] = {
        {2020, 12, 31, 2020, 53}, {2021, 1, 1, 2020, 53},   {2021, 1, 3, 2020, 53},
        {2021, 1, 4, 2021, 1},    {2026, 1, 1, 2026, 1},    {2027, 1, 1, 2026, 53},
        {2024, 12, 30, 2025, 1},  {2024, 12, 29, 2024, 52}, {2024, 1, 1, 2024, 1},
        {2024, 1, 8, 2024, 2},    {2024, 2, 29, 2024, 9},   {2015, 12, 31, 2015, 53},
        {2016, 1, 3, 2015, 53},   {2008, 12, 29, 2009, 1},  {2010, 1, 3, 2009, 53},
        {2000, 2, 29, 2000, 9},   {2100, 3, 1, 2100, 9},
    };
    for (const Case& c : cases) {
        IsoWeek w = iso_week(c.y, c.m, c.d);
        EXPECT_EQ(w.year, c.iso_year) << c.y << "-" << c.m << "-" << c.d;
        EXPECT_EQ(w.week, c.week) << c.y << "-" << c.m << "-" << c.d;
    }
}

// Cross-check against the other definition of the ISO week: a date belongs
// to the week, and the ISO year, of the Thursday of its Monday-based week.
TEST(ScheduleIsoWeek, AgreesWithThursdayRuleOverCenturies)
{
    long long first = days_from_civil(1899, 12, 1);
    long long last = days_from_civil(2201, 1, 31);
    for (long long days = first; days <= last; days++) {
        LocalTime t = civil_from_days(days);
        int iso_weekday = t.weekday == 0 ? 7 : t.weekday;
        LocalTime thursday = civil_from_days(days - iso_weekday + 4);
        long long ordinal = days - iso_weekday + 4 - days_from_civil(thursday.year, 1, 1);
        IsoWeek w = iso_week(t.year, t.month, t.day);
        ASSERT_EQ(w.year, thursday.year) << date_text(t);
        ASSERT_EQ(w.week, static_cast<int>(ordinal / 7 + 1)) << date_text(t);
    }
}

TEST(ScheduleDays, ListMembership)
{
    struct Case {
        const char* list;
        const char* listed; // weekdays 0..6 that match, as digits
    };
    const Case cases[] = {
        {"1", "1"},
        {"1,3,5", "135"},
        {"1 3", "1"},       // a blank without a comma ends the walk
        {"1, 3", "13"},     // blanks after a comma are skipped
        {"1,  ,, 3", "13"}, // and so are repeated commas
        {", 0", "0"},       // leading separators
        {" 2", "2"},        // leading blank
        {"0,1,2,3,4,5,6", "0123456"},
        {"7", ""}, // entries of 7 and above never match
        {"17,2", "2"},
        {"07", ""}, // is the number 7
        {"03", "3"},
        {"1;3", "1"}, // any other character ends the walk
        {"1,\t3", "1"},
        {"x1", ""},
        {"-1,2", ""},
        {"+2", ""},
        {"1,3x,5", "13"},                   // the walk ends after 3
        {"99999999999999999999999,4", "4"}, // long digit runs are one big number
        {"", ""},
        {",", ""},
    };
    for (const Case& c : cases) {
        for (int w = 0; w < 7; w++) {
            bool want = std::string(c.listed).find(static_cast<char>('0' + w)) != std::string::npos;
            EXPECT_EQ(schedule_day_listed(c.list, w), want) << "'" << c.list << "' weekday " << w;
        }
    }
    EXPECT_FALSE(schedule_day_listed(nullptr, 1));
    EXPECT_FALSE(schedule_day_listed("7", 7));
    EXPECT_FALSE(schedule_day_listed("-1", -1));
}

TEST(ScheduleTime, ParsesLikeScanfIntColonInt)
{
    struct Case {
        const char* text;
        bool ok;
        int hour, minute;
    };
    const Case cases[] = {
        {"02:00", true, 2, 0},
        {"2:5", true, 2, 5},
        {"23:59", true, 23, 59},
        {"0:0", true, 0, 0},
        {" 7:30", true, 7, 30}, // %d skips leading blanks
        {"7: 30", true, 7, 30}, // before the second number too
        {"\t7:\n30", true, 7, 30},
        {"+7:+30", true, 7, 30}, // signs
        {"-0:-0", true, 0, 0},
        {"07:30 pm", true, 7, 30}, // the rest is ignored
        {"7:30:99", true, 7, 30},
        {"24:00", false, 0, 0},
        {"12", false, 0, 0},
        {"12:", false, 0, 0},
        {"12:x", false, 0, 0},
        {"7 :30", false, 0, 0}, // the colon must follow the number
        {":30", false, 0, 0},
        {"-1:00", false, 0, 0},
        {"12:60", false, 0, 0},
        {"12:-1", false, 0, 0},
        {"", false, 0, 0},
        {"ab:cd", false, 0, 0},
        {"+:5", false, 0, 0},
        {"99999999999999999999:00", false, 0, 0}, // no overflow, just out of range
        {"4294967298:00", false, 0, 0},           // would wrap to 2 in 32 bits
        {"2:4294967301", false, 0, 0},
        {"-99999999999999999999:0", false, 0, 0},
    };
    for (const Case& c : cases) {
        int h = -7, m = -7;
        EXPECT_EQ(schedule_parse_time(c.text, &h, &m), c.ok) << "'" << c.text << "'";
        if (c.ok) {
            EXPECT_EQ(h, c.hour) << c.text;
            EXPECT_EQ(m, c.minute) << c.text;
        } else {
            EXPECT_TRUE(h == -7 && m == -7) << "changed on failure: " << c.text;
        }
    }
    int h = 0, m = 0;
    EXPECT_FALSE(schedule_parse_time(nullptr, &h, &m));
}

TEST(ScheduleFrequency, Rules)
{
    struct Case {
        const char* freq;
        int y, m, d;
        bool allows;
    };
    const Case cases[] = {
        {"", 2024, 1, 1, true},
        {"weekly", 2024, 1, 1, true},
        {"biweekly", 2024, 1, 1, false},   // ISO week 1
        {"biweekly", 2024, 1, 8, true},    // ISO week 2
        {"biweekly", 2024, 12, 30, false}, // week 1 of 2025
        {"biweekly", 2024, 12, 29, true},  // week 52 of 2024
        {"biweekly", 2021, 1, 1, false},   // week 53 of 2020
        {"biweekly", 2027, 1, 1, false},   // week 53 of 2026
        {"monthly", 2024, 4, 1, true},
        {"monthly", 2024, 4, 7, true},
        {"monthly", 2024, 4, 8, false},
        {"monthly", 2024, 4, 30, false},
        {"Monthly", 2024, 4, 8, true}, // unknown: treated as weekly
        {"BIWEEKLY", 2024, 1, 1, true},
        {"biweekly ", 2024, 1, 1, true},
        {"daily", 2024, 4, 30, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(schedule_freq_allows(c.freq, c.y, c.m, c.d), c.allows)
            << "'" << c.freq << "' " << c.y << "-" << c.m << "-" << c.d;
    }
    EXPECT_TRUE(schedule_freq_allows(nullptr, 2024, 1, 1));
}

TEST(ScheduleDue, Decisions)
{
    using R = ScheduleResult;
    struct Case {
        const char* what;
        const char* days;
        const char* time;
        const char* freq;
        const char* last;
        LocalTime now;
        R result;
    };
    const Case cases[] = {
        {"no schedule", "", "02:00", "weekly", "", at(2024, 6, 2, 3), R::NotScheduled},
        {"no schedule (null)", nullptr, "02:00", "weekly", "", at(2024, 6, 2, 3), R::NotScheduled},
        {"no schedule before bad time", "", "24:00", "", "", at(2024, 6, 2, 3), R::NotScheduled},
        {"bad time 24:00", "0", "24:00", "weekly", "", at(2024, 6, 2, 3), R::BadTime},
        {"bad time bare 12", "0", "12", "weekly", "", at(2024, 6, 2, 13), R::BadTime},
        {"bad time null", "0", nullptr, "weekly", "", at(2024, 6, 2, 13), R::BadTime},
        {"Sunday before 02:00", "0", "02:00", "weekly", "", at(2024, 6, 2, 1, 59), R::NotDue},
        {"Sunday at 02:00", "0", "02:00", "weekly", "", at(2024, 6, 2, 2, 0), R::Due},
        {"Sunday late", "0", "02:00", "weekly", "", at(2024, 6, 2, 23, 59), R::Due},
        {"Sunday, already ran", "0", "02:00", "weekly", "2024-06-02", at(2024, 6, 2, 3), R::NotDue},
        {"Sunday, ran last week", "0", "02:00", "weekly", "2024-05-26", at(2024, 6, 2, 3), R::Due},
        {"Monday not listed", "0", "02:00", "weekly", "", at(2024, 6, 3, 3), R::NotDue},
        {"later hour, smaller minute", "0", "02:30", "weekly", "", at(2024, 6, 2, 3, 10), R::Due},
        {"same hour, minute before", "0", "02:30", "weekly", "", at(2024, 6, 2, 2, 29), R::NotDue},
        {"2:5 before", "0", "2:5", "", "", at(2024, 6, 2, 2, 4), R::NotDue},
        {"2:5 at", "0", "2:5", "", "", at(2024, 6, 2, 2, 5), R::Due},
        {"1 3 on Wednesday", "1 3", "10:00", "weekly", "", at(2024, 5, 15, 10), R::NotDue},
        {"1, 3 on Wednesday", "1, 3", "10:00", "weekly", "", at(2024, 5, 15, 10), R::Due},
        {"biweekly week 1", "1", "02:00", "biweekly", "", at(2024, 1, 1, 3), R::NotDue},
        {"biweekly week 2", "1", "02:00", "biweekly", "", at(2024, 1, 8, 3), R::Due},
        {"biweekly week 53", "5", "02:00", "biweekly", "", at(2021, 1, 1, 3), R::NotDue},
        {"monthly day 8", "1", "02:00", "monthly", "", at(2024, 4, 8, 3), R::NotDue},
        {"monthly day 1", "1", "02:00", "monthly", "", at(2024, 4, 1, 3), R::Due},
        {"leap day", "4", "02:00", "", "", at(2024, 2, 29, 3), R::Due},
        {"entry 7 never matches", "7", "02:00", "", "", at(2024, 6, 2, 3), R::NotDue},
        {"invalid clock", "0,1,2,3,4,5,6", "02:00", "", "", at(2024, 2, 30, 3), R::NotDue},
    };
    for (const Case& c : cases) {
        ScheduleDecision d = schedule_due(c.days, c.time, c.freq, c.last, c.now);
        EXPECT_EQ(d.result, c.result) << c.what;
    }
}

TEST(ScheduleDue, GivesTodayAndSlot)
{
    ScheduleDecision d = schedule_due("0", "2:5", "weekly", nullptr, at(2024, 6, 2, 2, 5));
    ASSERT_EQ(d.result, ScheduleResult::Due);
    EXPECT_STREQ(d.today, "2024-06-02");
    EXPECT_EQ(d.hour, 2);
    EXPECT_EQ(d.minute, 5);
    // Once stored, the same minute is no longer due: once per day.
    EXPECT_EQ(schedule_due("0", "2:5", "weekly", d.today, at(2024, 6, 2, 2, 6)).result,
              ScheduleResult::NotDue);
    // The stored weekday field is not trusted: 2024-06-02 is a Sunday whatever it says.
    LocalTime lying = at(2024, 6, 2, 3);
    lying.weekday = 3;
    EXPECT_EQ(schedule_due("0", "02:00", "", "", lying).result, ScheduleResult::Due);
    EXPECT_EQ(schedule_due("3", "02:00", "", "", lying).result, ScheduleResult::NotDue);
    EXPECT_STREQ(schedule_due("0", "02:00", "", "", at(1, 1, 1, 0)).today, "0001-01-01");
}

TEST(ScheduleMissed, Decisions)
{
    struct Case {
        const char* what;
        const char* days;
        const char* time;
        const char* freq;
        const char* last;
        LocalTime now;
        bool missed;
        const char* slot; // the last slot found, "" for none
    };
    const Case cases[] = {
        {"Wednesday 10:00, Monday listed, last two Mondays ago", "1", "02:00", "weekly",
         "2024-05-06", at(2024, 5, 15, 10), true, "2024-05-13"},
        {"never ran", "1", "02:00", "weekly", "", at(2024, 5, 15, 10), true, "2024-05-13"},
        {"never ran (null)", "1", "02:00", "weekly", nullptr, at(2024, 5, 15, 10), true,
         "2024-05-13"},
        {"ran on the slot", "1", "02:00", "weekly", "2024-05-13", at(2024, 5, 15, 10), false,
         "2024-05-13"},
        {"ran after the slot", "1", "02:00", "weekly", "2024-05-14", at(2024, 5, 15, 10), false,
         "2024-05-13"},
        {"today's slot still ahead", "1", "02:00", "weekly", "2024-05-06", at(2024, 5, 13, 1, 59),
         false, "2024-05-06"},
        {"today's slot just reached", "1", "02:00", "weekly", "2024-05-06", at(2024, 5, 13, 2, 0),
         true, "2024-05-13"},
        {"today's slot passed, hour later minute smaller", "1", "02:30", "weekly", "2024-05-06",
         at(2024, 5, 13, 3, 0), true, "2024-05-13"},
        {"Sunday across the month", "0", "23:00", "", "", at(2024, 6, 1, 9), true, "2024-05-26"},
        {"monthly goes back to the first week", "1", "02:00", "monthly", "2024-04-01",
         at(2024, 5, 15, 10), true, "2024-05-06"},
        {"biweekly skips odd weeks", "1", "02:00", "biweekly", "", at(2024, 5, 15, 10), true,
         "2024-05-13"},
        {"biweekly back over the odd week", "1", "02:00", "biweekly", "", at(2024, 5, 8, 10), true,
         "2024-04-29"},
        {"biweekly across week 53 and week 1", "1", "02:00", "biweekly", "", at(2021, 1, 10, 10),
         true, "2020-12-21"},
        {"leap day slot", "4", "02:00", "", "2024-02-22", at(2024, 3, 1, 10), true, "2024-02-29"},
        {"list never matches", "7", "02:00", "", "", at(2024, 5, 15, 10), false, ""},
        {"walk ends at a blank", " ", "02:00", "", "", at(2024, 5, 15, 10), false, ""},
        {"no schedule", "", "02:00", "", "", at(2024, 5, 15, 10), false, ""},
        {"bad time", "1", "24:00", "", "", at(2024, 5, 15, 10), false, ""},
        {"invalid clock", "1", "02:00", "", "", at(2024, 5, 32, 10), false, ""},
        // scan_sched_last is compared as text, whatever it holds.
        {"last cut short sorts below", "1", "02:00", "", "2024-05-1", at(2024, 5, 15, 10), true,
         "2024-05-13"},
        {"last without zero padding sorts above", "1", "02:00", "", "2024-5-01",
         at(2024, 5, 15, 10), false, "2024-05-13"},
        {"last in the future", "1", "02:00", "", "2030-01-01", at(2024, 5, 15, 10), false,
         "2024-05-13"},
    };
    for (const Case& c : cases) {
        MissedScan m = schedule_missed(c.days, c.time, c.freq, c.last, c.now);
        EXPECT_EQ(m.missed, c.missed) << c.what;
        EXPECT_STREQ(m.date, c.slot) << c.what;
    }
    MissedScan m = schedule_missed("1", "02:00", "", "", at(2024, 5, 15, 10));
    EXPECT_EQ(m.year, 2024);
    EXPECT_EQ(m.month, 5);
    EXPECT_EQ(m.day, 13);
}

// Over many years, for every single weekday and every frequency, the slot the
// missed test finds is listed, allowed, not ahead of the clock, and no later
// day up to now qualifies; and the window of 45 days always reaches one.
TEST(ScheduleMissed, FindsTheLatestSlotEveryDay)
{
    const char* freqs[] = {"weekly", "biweekly", "monthly"};
    const char* lists[] = {"0", "1", "2", "3", "4", "5", "6"};
    long long first = days_from_civil(2019, 12, 1);
    long long last = days_from_civil(2028, 2, 1);
    for (const char* freq : freqs) {
        for (const char* list : lists) {
            for (long long today = first; today <= last; today++) {
                LocalTime now = civil_from_days(today);
                now.hour = 10;
                MissedScan m = schedule_missed(list, "12:00", freq, "", now);
                ASSERT_TRUE(m.missed) << freq << " " << list << " " << date_text(now);
                long long slot = days_from_civil(m.year, m.month, m.day);
                ASSERT_LT(slot, today); // 10:00 is before today's 12:00 slot
                ASSERT_LT(today - slot, TG_MISSED_WALK_DAYS);
                for (long long d = slot; d < today; d++) {
                    LocalTime t = civil_from_days(d);
                    bool scheduled = schedule_day_listed(list, t.weekday) &&
                                     schedule_freq_allows(freq, t.year, t.month, t.day);
                    ASSERT_EQ(scheduled, d == slot)
                        << freq << " " << list << " " << date_text(now) << " at " << date_text(t);
                }
            }
        }
    }
}

// After a catch-up the caller stores the caught-up slot's date. Storing
// today's date instead would swallow today's own slot when today is listed
// too and its slot is still ahead.
TEST(ScheduleMissed, CatchUpKeepsTodaysLaterSlot)
{
    const char* days = "1,3";
    LocalTime start = at(2024, 5, 15, 10); // Wednesday
    MissedScan m = schedule_missed(days, "14:00", "weekly", "2024-05-06", start);
    ASSERT_TRUE(m.missed);
    ASSERT_STREQ(m.date, "2024-05-13");
    // What the catch-up stores:
    EXPECT_EQ(schedule_due(days, "14:00", "weekly", m.date, at(2024, 5, 15, 14)).result,
              ScheduleResult::Due);
    // A restart after the catch-up does not run it again.
    EXPECT_FALSE(schedule_missed(days, "14:00", "weekly", m.date, at(2024, 5, 15, 11)).missed);
    // Today's date would have lost Wednesday's run:
    EXPECT_EQ(schedule_due(days, "14:00", "weekly", "2024-05-15", at(2024, 5, 15, 14)).result,
              ScheduleResult::NotDue);
}
