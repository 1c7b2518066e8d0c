#include "engine/timers.h"

#include "common/settings.h"
#include "common/text.h"

#include <cstring>

EngineTimings engine_timings_shipped()
{
    EngineTimings t = {};
    t.tick_wait_ms = 60000;
    t.startup_sleep_ms = 15000;
    t.catch_up_wait_ms = 300000;
    t.feed_startup_wait_ms = 30000;
    t.settle_pause_ms = 1200;
    t.settle_retry_ms = 500;
    t.settle_attempts = 16;
    t.watcher_error_sleep_ms = 5000;
    t.reboot_wait_ms = 60000;
    t.start_pending_hint_ms = 30000;
    t.stop_pending_hint_ms = 15000;
    t.hour_ms = 3600000;
    t.minute_ms = 60000;
    return t;
}

int clamp_setting(const char* text, int lo, int hi)
{
    long v = settings_atol(text);
    if (v < lo)
        return lo;
    if (v > hi)
        return hi;
    return static_cast<int>(v);
}

static int get_clamped(const char* text, size_t len, const char* key, const char* fallback, int lo,
                       int hi)
{
    char value[TG_ENGINE_SETTING_SIZE];
    settings_get(text, len, key, value, sizeof value, fallback);
    return clamp_setting(value, lo, hi);
}

void engine_settings_parse(const char* text, size_t len, EngineSettings* out)
{
    out->scan_interval_hours = get_clamped(text, len, "scan_interval_hours", "6",
                                           TG_SCAN_INTERVAL_HOURS_MIN, TG_SCAN_INTERVAL_HOURS_MAX);
    out->heartbeat_minutes = get_clamped(text, len, "heartbeat_minutes", "15",
                                         TG_HEARTBEAT_MINUTES_MIN, TG_HEARTBEAT_MINUTES_MAX);
    out->update_interval_hours =
        get_clamped(text, len, "update_interval_hours", "6", TG_UPDATE_INTERVAL_HOURS_MIN,
                    TG_UPDATE_INTERVAL_HOURS_MAX);
    out->feed_refresh_hours = get_clamped(text, len, "feed_refresh_hours", "6",
                                          TG_FEED_REFRESH_HOURS_MIN, TG_FEED_REFRESH_HOURS_MAX);
    char paused[TG_ENGINE_SETTING_SIZE];
    settings_get(text, len, "paused", paused, sizeof paused, "0");
    out->paused = std::strcmp(paused, "1") == 0;
    settings_get(text, len, "scan_days", out->scan_days, sizeof out->scan_days, "");
    settings_get(text, len, "scan_time", out->scan_time, sizeof out->scan_time, "02:00");
    settings_get(text, len, "scan_freq", out->scan_freq, sizeof out->scan_freq, "weekly");
}

static uint32_t period(int units, uint32_t unit_ms)
{
    unsigned long long ms = static_cast<unsigned long long>(units > 0 ? units : 0) * unit_ms;
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

uint32_t scan_period_ms(const EngineSettings& s, const EngineTimings& t)
{
    return period(s.scan_interval_hours, t.hour_ms);
}

uint32_t heartbeat_period_ms(const EngineSettings& s, const EngineTimings& t)
{
    return period(s.heartbeat_minutes, t.minute_ms);
}

uint32_t update_period_ms(const EngineSettings& s, const EngineTimings& t)
{
    return period(s.update_interval_hours, t.hour_ms);
}

uint32_t feed_period_ms(const EngineSettings& s, const EngineTimings& t)
{
    return period(s.feed_refresh_hours, t.hour_ms);
}

void engine_marks_reset(EngineMarks* marks, uint32_t now)
{
    marks->heartbeat = now;
    marks->feed = now;
    marks->update = now;
    marks->quick_scan = now;
}

EngineDuties engine_due_duties(const EngineMarks& marks, const EngineSettings& s,
                               const EngineTimings& t, uint32_t now, bool active)
{
    EngineDuties d = {};
    d.heartbeat = is_due(now, marks.heartbeat, heartbeat_period_ms(s, t));
    d.feed = is_due(now, marks.feed, feed_period_ms(s, t));
    d.update = is_due(now, marks.update, update_period_ms(s, t));
    d.quick_scan = active && is_due(now, marks.quick_scan, scan_period_ms(s, t));
    return d;
}

long scan_duration_seconds(uint32_t elapsed_ms)
{
    // In 64 bits: near the top of the tick range, elapsed + 500 would wrap
    // a 32-bit sum to a duration of 0.
    return static_cast<long>((static_cast<unsigned long long>(elapsed_ms) + 500) / 1000);
}

bool format_scan_body(char* out, size_t size, long files, long threats)
{
    return bounded_format(out, size, "%ld files scanned - %ld threat%s found", files, threats,
                          threats == 1 ? "" : "s");
}
