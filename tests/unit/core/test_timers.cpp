#include "engine/timers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

EngineSettings parse(const std::string& config)
{
    EngineSettings s;
    std::memset(&s, 0x5a, sizeof s);
    engine_settings_parse(config.data(), config.size(), &s);
    return s;
}

} // namespace

TEST(EngineSettingsTest, DefaultsWhenMissing)
{
    EngineSettings s;
    engine_settings_parse(nullptr, 0, &s);
    EXPECT_EQ(s.scan_interval_hours, 6);
    EXPECT_EQ(s.heartbeat_minutes, 15);
    EXPECT_EQ(s.update_interval_hours, 6);
    EXPECT_EQ(s.feed_refresh_hours, 6);
    EXPECT_FALSE(s.paused);
    EXPECT_STREQ(s.scan_days, "");
    EXPECT_STREQ(s.scan_time, "02:00");
    EXPECT_STREQ(s.scan_freq, "weekly");
}

TEST(EngineSettingsTest, ClampsEachKey)
{
    struct Case {
        const char* key;
        const char* value;
        int expected;
    };
    const Case cases[] = {
        {"heartbeat_minutes", "1", 5},
        {"heartbeat_minutes", "0", 5},
        {"heartbeat_minutes", "fifteen", 5},
        {"heartbeat_minutes", "", 5},
        {"heartbeat_minutes", "100000", 1440},
        {"heartbeat_minutes", "1440", 1440},
        {"heartbeat_minutes", "5", 5},
        {"heartbeat_minutes", "30min", 30},
        {"feed_refresh_hours", "48", 24},
        {"feed_refresh_hours", "24", 24},
        {"feed_refresh_hours", "0", 1},
        {"scan_interval_hours", "-3", 1},
        {"scan_interval_hours", " 12", 12},
        {"scan_interval_hours", "+7", 7},
        {"scan_interval_hours", "169", 168},
        {"scan_interval_hours", "99999999999999999999999", 168},
        {"scan_interval_hours", "-99999999999999999999999", 1},
        {"scan_interval_hours", "4294967297", 168}, // not wrapped to 1
        {"update_interval_hours", "168", 168},
        {"update_interval_hours", "1", 1},
        {"update_interval_hours", "x", 1},
    };
    for (const Case& c : cases) {
        EngineSettings s = parse(std::string(c.key) + "=" + c.value + "\n");
        int got = 0;
        if (std::strcmp(c.key, "heartbeat_minutes") == 0)
            got = s.heartbeat_minutes;
        else if (std::strcmp(c.key, "feed_refresh_hours") == 0)
            got = s.feed_refresh_hours;
        else if (std::strcmp(c.key, "scan_interval_hours") == 0)
            got = s.scan_interval_hours;
        else
            got = s.update_interval_hours;
        EXPECT_EQ(got, c.expected) << c.key << "=" << c.value;
    }
    EXPECT_EQ(clamp_setting(nullptr, 5, 1440), 5);
}

TEST(EngineSettingsTest, PausedAndScheduleText)
{
    struct Case {
        const char* value;
        bool paused;
    };
    const Case cases[] = {{"1", true},   {"0", false},    {"", false}, {"1 ", false},
                          {"01", false}, {"true", false}, {"2", false}};
    for (const Case& c : cases)
        EXPECT_EQ(parse(std::string("paused=") + c.value + "\r\n").paused, c.paused) << c.value;

    EngineSettings s = parse("# schedule\nscan_days =9\nscan_days=1, 3\r\nscan_time=2:5\n"
                             "scan_freq=biweekly\nscan_days=0\n");
    EXPECT_STREQ(s.scan_days, "1, 3"); // first proper line; a blank before "=" is another key
    EXPECT_STREQ(s.scan_time, "2:5");
    EXPECT_STREQ(s.scan_freq, "biweekly");
    // An empty value is a value, not the default.
    EXPECT_STREQ(parse("scan_time=\n").scan_time, "");

    std::string longer(500, '1');
    s = parse("scan_days=" + longer + "\n");
    EXPECT_EQ(std::strlen(s.scan_days), TG_ENGINE_SETTING_SIZE - 1);
}

TEST(EngineTimers, ShippedTimings)
{
    EngineTimings t = engine_timings_shipped();
    EXPECT_EQ(t.tick_wait_ms, 60000u);
    EXPECT_EQ(t.startup_sleep_ms, 15000u);
    EXPECT_EQ(t.catch_up_wait_ms, 300000u);
    EXPECT_EQ(t.feed_startup_wait_ms, 30000u);
    EXPECT_EQ(t.settle_pause_ms, 1200u);
    EXPECT_EQ(t.settle_retry_ms, 500u);
    EXPECT_EQ(t.settle_attempts, 16);
    EXPECT_EQ(t.watcher_error_sleep_ms, 5000u);
    EXPECT_EQ(t.reboot_wait_ms, 60000u);
    EXPECT_EQ(t.start_pending_hint_ms, 30000u);
    EXPECT_EQ(t.stop_pending_hint_ms, 15000u);
    EXPECT_EQ(t.hour_ms, 3600000u);
    EXPECT_EQ(t.minute_ms, 60000u);
}

TEST(EngineTimers, Periods)
{
    EngineTimings t = engine_timings_shipped();
    EngineSettings s = parse("");
    EXPECT_EQ(scan_period_ms(s, t), 21600000u);
    EXPECT_EQ(heartbeat_period_ms(s, t), 900000u);
    EXPECT_EQ(update_period_ms(s, t), 21600000u);
    EXPECT_EQ(feed_period_ms(s, t), 21600000u);

    // The longest shipped periods still fit 32 bits.
    s = parse("scan_interval_hours=100000\nheartbeat_minutes=100000\n");
    EXPECT_EQ(scan_period_ms(s, t), 604800000u);
    EXPECT_EQ(heartbeat_period_ms(s, t), 86400000u);

    // A test build shrinks an hour to a few ms.
    EngineTimings fast = t;
    fast.hour_ms = 10;
    fast.minute_ms = 2;
    s = parse("feed_refresh_hours=48\n");
    EXPECT_EQ(feed_period_ms(s, fast), 240u);
    EXPECT_EQ(heartbeat_period_ms(s, fast), 30u);

    // A product past 32 bits is capped, not wrapped to a short period.
    EngineTimings huge = t;
    huge.hour_ms = 0x80000000u;
    s = parse("scan_interval_hours=2\n");
    EXPECT_EQ(scan_period_ms(s, huge), UINT32_MAX);
}

TEST(EngineTimers, ElapsedAcrossTheWrap)
{
    const uint32_t mark = 0xFFFFFF00u;
    const uint32_t now = 0x00000100u;
    EXPECT_EQ(elapsed(now, mark), 0x200u);
    EXPECT_TRUE(is_due(now, mark, 0x200u));
    EXPECT_FALSE(is_due(now, mark, 0x201u));
    EXPECT_TRUE(is_due(5, 5, 0));
    EXPECT_FALSE(is_due(5, 5, 1));
}

TEST(EngineTimers, DutiesOfATick)
{
    EngineTimings t = engine_timings_shipped();
    EngineSettings s = parse("heartbeat_minutes=15\nfeed_refresh_hours=1\n"
                             "update_interval_hours=2\nscan_interval_hours=3\n");
    EngineMarks marks;
    const uint32_t start = 0xFFFF0000u; // the tick count wraps during the run
    engine_marks_reset(&marks, start);

    struct Case {
        uint32_t after_ms;
        bool active;
        bool heartbeat, feed, update, quick;
    };
    const Case cases[] = {
        {0, true, false, false, false, false},      {899999, true, false, false, false, false},
        {900000, true, true, false, false, false},  {3600000, true, true, true, false, false},
        {7200000, true, true, true, true, false},   {10800000, true, true, true, true, true},
        {10800000, false, true, true, true, false}, // paused: no scan, the rest goes on
    };
    for (const Case& c : cases) {
        EngineDuties d = engine_due_duties(marks, s, t, start + c.after_ms, c.active);
        EXPECT_EQ(d.heartbeat, c.heartbeat) << c.after_ms;
        EXPECT_EQ(d.feed, c.feed) << c.after_ms;
        EXPECT_EQ(d.update, c.update) << c.after_ms;
        EXPECT_EQ(d.quick_scan, c.quick) << c.after_ms << (c.active ? "" : " paused");
    }

    // A duty's period runs from when it last ran.
    marks.heartbeat = start + 900000;
    EXPECT_FALSE(engine_due_duties(marks, s, t, start + 1000000, true).heartbeat);
    EXPECT_TRUE(engine_due_duties(marks, s, t, start + 1800000, true).heartbeat);
}

TEST(EngineTimers, DurationRounding)
{
    struct Case {
        uint32_t ms;
        long seconds;
    };
    const Case cases[] = {
        {0, 0}, {499, 0}, {500, 1}, {1499, 1}, {1500, 2}, {59999, 60}, {UINT32_MAX, 4294967}};
    for (const Case& c : cases)
        EXPECT_EQ(scan_duration_seconds(c.ms), c.seconds) << c.ms;
}

TEST(EngineTimers, ScanBody)
{
    struct Case {
        long files, threats;
        const char* text;
    };
    const Case cases[] = {
        {0, 0, "0 files scanned - 0 threats found"},
        {1, 1, "1 files scanned - 1 threat found"},
        {1234, 2, "1234 files scanned - 2 threats found"},
        {5, -1, "5 files scanned - -1 threats found"},
        {2147483647L, 2147483647L, "2147483647 files scanned - 2147483647 threats found"},
    };
    for (const Case& c : cases) {
        char body[TG_SCAN_BODY_SIZE];
        EXPECT_FALSE(format_scan_body(body, sizeof body, c.files, c.threats));
        EXPECT_STREQ(body, c.text);
    }
    char small[10];
    EXPECT_TRUE(format_scan_body(small, sizeof small, 12, 1));
    EXPECT_STREQ(small, "12 files ");
}
