// Timing of the protection loop: the settings it reads every tick and their
// clamps, the periods of its duties, tick-count arithmetic and the waits the
// engine's shell uses. All waits and periods come from an EngineTimings value
// so that a test build can shrink them; the shipped program passes
// engine_timings_shipped().
#pragma once

#include "engine/limits.h"

#include <cstddef>
#include <cstdint>

// Every fixed wait of the engine, in milliseconds (and one count).
struct EngineTimings {
    uint32_t tick_wait_ms;           // loop: wait on the stop event each tick (60 000)
    uint32_t startup_sleep_ms;       // before the start-up quick scan (15 000)
    uint32_t catch_up_wait_ms;       // catch-up thread, before the missed full scan (300 000)
    uint32_t feed_startup_wait_ms;   // feed start-up thread, before the first sync (30 000)
    uint32_t settle_pause_ms;        // watcher: pause after a change record (1 200)
    uint32_t settle_retry_ms;        // watcher: between two size checks (500)
    int settle_attempts;             // watcher: size checks before inspecting anyway (16)
    uint32_t watcher_error_sleep_ms; // watcher: after a failed wait for changes (5 000)
    uint32_t reboot_wait_ms;         // remote reboot: warning to restart (60 000)
    uint32_t start_pending_hint_ms;  // service wait hint with START_PENDING (30 000)
    uint32_t stop_pending_hint_ms;   // service wait hint with STOP_PENDING (15 000)
    uint32_t hour_ms;                // one hour of the *_hours settings (3 600 000)
    uint32_t minute_ms;              // one minute of heartbeat_minutes (60 000)
};

// The values the program ships with.
EngineTimings engine_timings_shipped();

// Reads text as atoi does (blanks, optional sign, digits up to the first
// other character; no digits gives 0) without overflowing, then clamps the
// number to lo..hi. So text reads as the lower bound and "100000" as the
// upper one. NULL reads as 0.
int clamp_setting(const char* text, int lo, int hi);

// The loop's view of config.ini, taken afresh at every tick.
struct EngineSettings {
    int scan_interval_hours;   // 1..168
    int heartbeat_minutes;     // 5..1440
    int update_interval_hours; // 1..168
    int feed_refresh_hours;    // 1..24
    bool paused;               // `paused` is exactly "1"
    char scan_days[TG_ENGINE_SETTING_SIZE];
    char scan_time[TG_ENGINE_SETTING_SIZE];
    char scan_freq[TG_ENGINE_SETTING_SIZE];
};

// Fills *out from the text of config.ini (as the shell read it; NULL when the
// file is missing) with the settings reader's rules, the defaults "6", "15",
// "6", "6", "0", "", "02:00", "weekly" and the clamps of engine/limits.h.
void engine_settings_parse(const char* config_text, size_t len, EngineSettings* out);

// Periods of the duties in ms: the clamped setting times timings.hour_ms (or
// minute_ms). Worked out in 64 bits and capped at UINT32_MAX (49.7 days)
// rather than wrapped round to a short period.
uint32_t scan_period_ms(const EngineSettings& s, const EngineTimings& t);
uint32_t heartbeat_period_ms(const EngineSettings& s, const EngineTimings& t);
uint32_t update_period_ms(const EngineSettings& s, const EngineTimings& t);
uint32_t feed_period_ms(const EngineSettings& s, const EngineTimings& t);

// Milliseconds from mark to now on the 32-bit tick counter; unsigned
// subtraction keeps it right across the wrap after 49.7 days.
inline uint32_t elapsed(uint32_t now, uint32_t mark)
{
    return now - mark;
}

inline bool is_due(uint32_t now, uint32_t mark, uint32_t period_ms)
{
    return elapsed(now, mark) >= period_ms;
}

// The tick counts at which each duty last ran.
struct EngineMarks {
    uint32_t heartbeat;
    uint32_t feed;
    uint32_t update;
    uint32_t quick_scan;
};

void engine_marks_reset(EngineMarks* marks, uint32_t now);

// The duties one tick runs, in this order: heartbeat (with the remote
// commands), feed refresh, update check, and while active the periodic quick
// scan. The caller sets each mark to `now` after running its duty (the update
// mark only when no update was staged). The scheduled full scan is decided by
// schedule_due on its own.
struct EngineDuties {
    bool heartbeat;
    bool feed;
    bool update;
    bool quick_scan;
};

EngineDuties engine_due_duties(const EngineMarks& marks, const EngineSettings& s,
                               const EngineTimings& t, uint32_t now, bool active);

// Scan duration in whole seconds, rounded: (elapsed ms + 500) / 1000.
long scan_duration_seconds(uint32_t elapsed_ms);

// Notify body "%ld files scanned - %ld threat%s found"; the suffix is empty
// for exactly one threat, "s" otherwise ("files" never changes). Returns true
// when it was cut to `size`.
bool format_scan_body(char* out, size_t size, long files, long threats);
