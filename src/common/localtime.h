// A broken-down local time, filled by the Win32 shell from GetLocalTime (or a
// test clock) and consumed by the pure formatters.
#pragma once

struct LocalTime {
    int year;
    int month;   // 1..12
    int day;     // 1..31
    int hour;    // 0..23
    int minute;  // 0..59
    int second;  // 0..59
    int weekday; // 0 = Sunday .. 6 = Saturday
};
