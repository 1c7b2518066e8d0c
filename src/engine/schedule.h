// Scheduled full scans: the schedule rules, the due test and the missed test
// as pure decisions over the settings text and a local time. The engine's
// shell reads config.ini / stats.ini, takes the local time, calls these, and
// does the logging, the storing of scan_sched_last and the scan itself.
//
// Dates are proleptic Gregorian and computed here, never through the C
// library's time zone functions.
#pragma once

#include "common/localtime.h"
#include "engine/limits.h"

#include <cstddef>

// LocalTime (common/localtime.h) is the wall clock as GetLocalTime gives
// it. The decisions below derive the weekday from the date and do not trust
// its weekday field, which civil_from_days fills for callers that want it.

bool is_leap_year(int year);
// Days of the month, or 0 for a month outside 1..12.
int days_in_month(int year, int month);
// Days since 1970-01-01 (negative before). Month and day must be valid.
long long days_from_civil(int year, int month, int day);
// The date of a day number, with weekday set and the time of day 00:00:00.
LocalTime civil_from_days(long long days);
// 0 = Sunday .. 6 = Saturday.
int weekday_from_days(long long days);
// Year 1..9999, month, day within the month, hour 0..23, minute 0..59 (the
// seconds are not used). Every decision below treats an invalid time as "not due" /
// "not missed".
bool local_time_valid(const LocalTime& t);

// ISO 8601 week of a valid date: weeks start on Monday and week 1 holds
// January 4. Dates before a year's week 1 belong to the last week (52 or 53)
// of the previous ISO year; dates after its last week to week 1 of the next.
struct IsoWeek {
    int year;
    int week;
};
IsoWeek iso_week(int year, int month, int day);

// Writes "%04d-%02d-%02d"; returns true when it was cut (never for a valid
// date and TG_DATE_SIZE bytes).
bool format_date(char* out, size_t size, int year, int month, int day);

// Whether weekday w (0..6) is in the scan_days list. The walk skips blanks
// and commas before a number, reads decimal digits and matches when they
// equal w (entries of 7 and above never match); after a number only a comma
// lets it go on, any other character ends it. So "1 3" lists Monday only and
// "1, 3" lists Monday and Wednesday. NULL is the empty list.
bool schedule_day_listed(const char* scan_days, int weekday);

// Parses scan_time the way "%d:%d" reads it (blanks before each number, an
// optional sign, digits; the colon right after the first number; anything
// after the second number ignored) and checks hour 0..23, minute 0..59.
// Returns false for a bad value; hour and minute are then left unchanged.
bool schedule_parse_time(const char* scan_time, int* hour, int* minute);

// The frequency rule for one date: empty, "weekly" or any unknown value is
// true; "biweekly" is true in even ISO weeks; "monthly" on days 1..7.
// Compared exactly (case-sensitive). NULL counts as empty.
bool schedule_freq_allows(const char* scan_freq, int year, int month, int day);

enum class ScheduleResult {
    NotScheduled, // scan_days empty: the schedule is off
    BadTime,      // scan_time does not parse; log the WARN line
    NotDue,
    Due, // store `today` as scan_sched_last, save, then scan
};

struct ScheduleDecision {
    ScheduleResult result;
    int hour; // the parsed slot, for the start log line (valid from NotDue on)
    int minute;
    char today[TG_DATE_SIZE]; // today's date text (empty for an invalid `now`)
};

// The once-a-minute due test. Any string may be NULL (read as empty). Due
// when today's weekday is listed, the frequency rule holds for today, the
// clock is at or past the slot and scan_sched_last is not already today.
ScheduleDecision schedule_due(const char* scan_days, const char* scan_time, const char* scan_freq,
                              const char* scan_sched_last, const LocalTime& now);

struct MissedScan {
    bool missed;
    int year; // the last slot's date (set whenever a slot was found)
    int month;
    int day;
    char date[TG_DATE_SIZE]; // the same as "%04d-%02d-%02d", empty when no slot
};

// The start-up missed test: walks back from today over TG_MISSED_WALK_DAYS
// days (today only once its slot has passed) to the last scheduled slot, and
// reports it missed when scan_sched_last is empty or sorts below its date.
//
// After a catch-up scan the caller stores `date` (the slot it caught up) as
// scan_sched_last, not today's date: storing today would make the due test
// think today's own slot had already run when today is a scheduled day whose
// slot is still ahead, and that scan would be lost.
MissedScan schedule_missed(const char* scan_days, const char* scan_time, const char* scan_freq,
                           const char* scan_sched_last, const LocalTime& now);
