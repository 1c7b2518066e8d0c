#include "engine/schedule.h"

#include "common/text.h"

#include <climits>
#include <cstring>

bool is_leap_year(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month)
{
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return 0;
    if (month == 2 && is_leap_year(year))
        return 29;
    return kDays[month - 1];
}

// Civil calendar <-> day number over 400-year eras (March-based years, so the
// leap day is the last day of a year). Exact for every date in int range.
long long days_from_civil(int year, int month, int day)
{
    long long y = static_cast<long long>(year) - (month <= 2 ? 1 : 0);
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yoe = y - era * 400;                         // 0..399
    long long mp = (month + 9) % 12;                       // March = 0
    long long doy = (153 * mp + 2) / 5 + day - 1;          // 0..365
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy; // 0..146096
    return era * 146097 + doe - 719468;
}

int weekday_from_days(long long days)
{
    // 1970-01-01 was a Thursday (4).
    long long w = (days + 4) % 7;
    return static_cast<int>(w < 0 ? w + 7 : w);
}

LocalTime civil_from_days(long long days)
{
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;                                      // 0..146096
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365; // 0..399
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);               // 0..365
    long long mp = (5 * doy + 2) / 153;                                    // March = 0
    LocalTime t = {};
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
    t.weekday = weekday_from_days(days);
    return t;
}

bool local_time_valid(const LocalTime& t)
{
    if (t.year < 1 || t.year > 9999)
        return false;
    if (t.day < 1 || t.day > days_in_month(t.year, t.month))
        return false;
    // Seconds play no part in any decision and are not checked.
    return t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59;
}

static int iso_weeks_in_year(int year)
{
    // 53 weeks when the year starts on a Thursday, or is a leap year that
    // starts on a Wednesday; else 52.
    int jan1 = weekday_from_days(days_from_civil(year, 1, 1));
    if (jan1 == 4 || (jan1 == 3 && is_leap_year(year)))
        return 53;
    return 52;
}

IsoWeek iso_week(int year, int month, int day)
{
    long long days = days_from_civil(year, month, day);
    int iso_weekday = weekday_from_days(days);
    if (iso_weekday == 0)
        iso_weekday = 7; // Monday 1 .. Sunday 7
    int ordinal = static_cast<int>(days - days_from_civil(year, 1, 1)) + 1;
    int week = (ordinal - iso_weekday + 10) / 7;
    if (week < 1)
        return IsoWeek{year - 1, iso_weeks_in_year(year - 1)};
    if (week > iso_weeks_in_year(year))
        return IsoWeek{year + 1, 1};
    return IsoWeek{year, week};
}

bool format_date(char* out, size_t size, int year, int month, int day)
{
    return bounded_format(out, size, "%04d-%02d-%02d", year, month, day);
}

static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Accumulates decimal digits, saturating at INT_MAX so that a long digit run
// stays defined; returns the position after the last digit.
static const char* read_digits(const char* p, int* value)
{
    int v = 0;
    for (; is_digit(*p); p++) {
        int d = *p - '0';
        v = (v > (INT_MAX - d) / 10) ? INT_MAX : v * 10 + d;
    }
    *value = v;
    return p;
}

bool schedule_day_listed(const char* scan_days, int weekday)
{
    if (scan_days == nullptr || weekday < 0 || weekday > 6)
        return false;
    const char* p = scan_days;
    for (;;) {
        while (*p == ' ' || *p == ',')
            p++;
        if (!is_digit(*p))
            return false;
        int n = 0;
        p = read_digits(p, &n);
        if (n == weekday && n < 7)
            return true;
        if (*p != ',')
            return false;
    }
}

static bool is_c_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One "%d" conversion: blanks, an optional sign, at least one digit. The value
// saturates at the int range instead of overflowing.
static const char* scan_int(const char* p, int* value)
{
    while (is_c_space(*p))
        p++;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = (*p++ == '-');
    if (!is_digit(*p))
        return nullptr;
    int v = 0;
    p = read_digits(p, &v);
    *value = negative ? -v : v;
    return p;
}

bool schedule_parse_time(const char* scan_time, int* hour, int* minute)
{
    if (scan_time == nullptr)
        return false;
    int h = 0;
    int m = 0;
    const char* p = scan_time;
    if ((p = scan_int(p, &h)) == nullptr || *p != ':')
        return false;
    if (scan_int(p + 1, &m) == nullptr)
        return false;
    if (h < 0 || h > 23 || m < 0 || m > 59)
        return false;
    *hour = h;
    *minute = m;
    return true;
}

bool schedule_freq_allows(const char* scan_freq, int year, int month, int day)
{
    if (scan_freq == nullptr)
        return true;
    if (std::strcmp(scan_freq, "biweekly") == 0)
        return iso_week(year, month, day).week % 2 == 0;
    if (std::strcmp(scan_freq, "monthly") == 0)
        return day >= 1 && day <= 7;
    return true; // empty, "weekly", or anything unknown
}

static const char* or_empty(const char* s)
{
    return s != nullptr ? s : "";
}

static bool before_slot(const LocalTime& now, int hour, int minute)
{
    return now.hour < hour || (now.hour == hour && now.minute < minute);
}

ScheduleDecision schedule_due(const char* scan_days, const char* scan_time, const char* scan_freq,
                              const char* scan_sched_last, const LocalTime& now)
{
    ScheduleDecision d = {};
    d.result = ScheduleResult::NotScheduled;
    if (or_empty(scan_days)[0] == '\0')
        return d;
    d.result = ScheduleResult::BadTime;
    if (!schedule_parse_time(scan_time, &d.hour, &d.minute))
        return d;
    d.result = ScheduleResult::NotDue;
    if (!local_time_valid(now))
        return d;
    format_date(d.today, sizeof d.today, now.year, now.month, now.day);
    int weekday = weekday_from_days(days_from_civil(now.year, now.month, now.day));
    if (!schedule_day_listed(scan_days, weekday))
        return d;
    if (!schedule_freq_allows(scan_freq, now.year, now.month, now.day))
        return d;
    if (before_slot(now, d.hour, d.minute))
        return d;
    if (std::strcmp(d.today, or_empty(scan_sched_last)) == 0)
        return d;
    d.result = ScheduleResult::Due;
    return d;
}

MissedScan schedule_missed(const char* scan_days, const char* scan_time, const char* scan_freq,
                           const char* scan_sched_last, const LocalTime& now)
{
    MissedScan m = {};
    int hour = 0;
    int minute = 0;
    if (!schedule_parse_time(scan_time, &hour, &minute) || or_empty(scan_days)[0] == '\0')
        return m;
    if (!local_time_valid(now))
        return m;
    long long today = days_from_civil(now.year, now.month, now.day);
    for (int back = 0; back < TG_MISSED_WALK_DAYS; back++) {
        if (back == 0 && before_slot(now, hour, minute))
            continue;
        long long days = today - back;
        LocalTime date = civil_from_days(days);
        if (!schedule_day_listed(scan_days, date.weekday) ||
            !schedule_freq_allows(scan_freq, date.year, date.month, date.day))
            continue;
        m.year = date.year;
        m.month = date.month;
        m.day = date.day;
        format_date(m.date, sizeof m.date, date.year, date.month, date.day);
        const char* last = or_empty(scan_sched_last);
        m.missed = last[0] == '\0' || std::strcmp(last, m.date) < 0;
        return m;
    }
    return m;
}
