// Schedule parsing and decisions over arbitrary settings text and dates.
// Input: 6 bytes of clock (year lo/hi, month, day, hour, minute), then the
// fields scan_days, scan_time, scan_freq and scan_sched_last separated by
// LF. The whole input is also tried as each field alone.
#include "engine/schedule.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

static void check(bool ok)
{
    if (!ok)
        abort();
}

static void check_date(const LocalTime& now)
{
    if (!local_time_valid(now))
        return;
    long long days = days_from_civil(now.year, now.month, now.day);
    LocalTime back = civil_from_days(days);
    check(back.year == now.year && back.month == now.month && back.day == now.day);
    LocalTime next = civil_from_days(days + 1);
    check(weekday_from_days(days + 1) == (back.weekday + 1) % 7);
    check(next.day == 1 || next.day == now.day + 1);
    IsoWeek w = iso_week(now.year, now.month, now.day);
    check(w.week >= 1 && w.week <= 53);
    check(w.year >= now.year - 1 && w.year <= now.year + 1);
}

static void check_decisions(const char* days, const char* time, const char* freq, const char* last,
                            const LocalTime& now)
{
    for (int w = -1; w <= 8; w++)
        check(!schedule_day_listed(days, w) || (w >= 0 && w <= 6));
    int hour = -1, minute = -1;
    if (schedule_parse_time(time, &hour, &minute))
        check(hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59);

    ScheduleDecision d = schedule_due(days, time, freq, last, now);
    if (d.result == ScheduleResult::Due) {
        check(local_time_valid(now) && std::strlen(d.today) == 10);
        check(std::strcmp(d.today, last) != 0);
        check(now.hour > d.hour || (now.hour == d.hour && now.minute >= d.minute));
    }

    MissedScan m = schedule_missed(days, time, freq, last, now);
    if (m.date[0] != '\0') {
        check(std::strlen(m.date) == 10);
        long long today = days_from_civil(now.year, now.month, now.day);
        long long slot = days_from_civil(m.year, m.month, m.day);
        check(slot <= today && today - slot < TG_MISSED_WALK_DAYS);
        check(m.missed == (last[0] == '\0' || std::strcmp(last, m.date) < 0));
        LocalTime t = civil_from_days(slot);
        check(schedule_day_listed(days, t.weekday));
        check(schedule_freq_allows(freq, m.year, m.month, m.day));
    } else {
        check(!m.missed);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string all(reinterpret_cast<const char*>(data), size);
    LocalTime now = {};
    now.year = 2024;
    now.month = 5;
    now.day = 15;
    now.hour = 10;
    if (size >= 6) {
        now.year = (data[0] | (data[1] << 8)) % 10001;
        now.month = data[2] % 14;
        now.day = data[3] % 33;
        now.hour = data[4] % 25;
        now.minute = data[5] % 61;
        all.erase(0, 6);
    }
    check_date(now);

    std::string field[4];
    size_t start = 0;
    for (int i = 0; i < 4; i++) {
        size_t end = all.find('\n', start);
        field[i] = all.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    check_decisions(field[0].c_str(), field[1].c_str(), field[2].c_str(), field[3].c_str(), now);
    // The whole text as each field, with plain values in the others.
    check_decisions(all.c_str(), "02:00", "weekly", "", now);
    check_decisions("1,3,5", all.c_str(), "", "2024-01-01", now);
    check_decisions("0,1,2,3,4,5,6", "00:00", all.c_str(), "", now);
    check_decisions("0,1,2,3,4,5,6", "00:00", "monthly", all.c_str(), now);
    return 0;
}
