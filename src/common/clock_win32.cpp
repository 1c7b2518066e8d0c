#include "common/clock_win32.h"

#include "common/win.h"

static void (*g_clock_override)(LocalTime*) = nullptr;

void clock_set_override(void (*fn)(LocalTime* out))
{
    g_clock_override = fn;
}

LocalTime clock_now()
{
    LocalTime t{};
    if (g_clock_override != nullptr) {
        g_clock_override(&t);
        return t;
    }
    SYSTEMTIME st;
    GetLocalTime(&st);
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.weekday = st.wDayOfWeek;
    return t;
}
