// Scheduled full scans: the due test of every tick, the missed test at
// start-up and the catch-up run. The decisions are engine/schedule.h's;
// here are the settings, the scan and what it leaves behind.
#include "engine/schedule_win32.h"

#include "common/eventlog.h"
#include "common/log_win32.h"
#include "common/settings_win32.h"
#include "common/text.h"
#include "detect/scan_win32.h"
#include "detect/scanlog_win32.h"
#include "engine/actions_win32.h"
#include "engine/engine_win32.h"
#include "engine/schedule.h"

struct ScheduleSettings {
    char days[TG_ENGINE_SETTING_SIZE];
    char time[TG_ENGINE_SETTING_SIZE];
    char freq[TG_ENGINE_SETTING_SIZE];
    char last[TG_ENGINE_SETTING_SIZE];
};

static void read_schedule(ScheduleSettings* s)
{
    config_get("scan_days", s->days, sizeof(s->days), "");
    config_get("scan_time", s->time, sizeof(s->time), "02:00");
    config_get("scan_freq", s->freq, sizeof(s->freq), "weekly");
    stats_get("scan_sched_last", s->last, sizeof(s->last), "");
}

static ScanStats run_full_scan()
{
    const EngineConfig& c = g_engine.cfg;
    ScanStats st = {};
    st.stop = &g_engine.stop;
    uint32_t t0 = c.clock.ticks();
    c.hooks.full_scan(&st);
    long secs = scan_duration_seconds(elapsed(c.clock.ticks(), t0));
    scans_log_append("scheduled", secs, st.files, st.threats);
    return st;
}

void schedule_startup_check()
{
    ScheduleSettings s;
    read_schedule(&s);
    if (s.days[0] == '\0')
        return;
    MissedScan m = schedule_missed(s.days, s.time, s.freq, s.last, g_engine.cfg.clock.local_time());
    if (!m.missed)
        return;
    log_msg("INFO", "service: scheduled scan of %04d-%02d-%02d was missed — catch-up in 5 minutes",
            m.year, m.month, m.day);
    schedule_arm_catch_up();
}

void schedule_tick()
{
    ScheduleSettings s;
    read_schedule(&s);
    ScheduleDecision d =
        schedule_due(s.days, s.time, s.freq, s.last, g_engine.cfg.clock.local_time());
    if (d.result == ScheduleResult::BadTime) {
        log_msg("WARN", "service: ignoring bad scan_time value '%s'", s.time);
        return;
    }
    if (d.result != ScheduleResult::Due)
        return;
    // Recorded before the scan, so that a scan cut short is not repeated
    // the same day.
    stats_set("scan_sched_last", d.today);
    counters_save();
    log_msg("INFO", "service: scheduled full scan starting (%s, days %s @ %02d:%02d)", s.freq,
            s.days, d.hour, d.minute);
    ScanStats st = run_full_scan();
    log_msg("INFO", "service: scheduled full scan done (%ld files, %ld threats)", st.files,
            st.threats);
    char files[48], threats[48];
    bounded_format(files, sizeof(files), "%ld files scanned", st.files);
    bounded_format(threats, sizeof(threats), "%ld threats found", st.threats);
    report_event(TG_MSG_SCAN_COMPLETED, EVENTLOG_INFORMATION_TYPE, "scheduled full", files,
                 threats);
    char body[TG_SCAN_BODY_SIZE];
    format_scan_body(body, sizeof(body), st.files, st.threats);
    notify_log_append("Scheduled full scan complete", body);
    counters_save();
}

void schedule_catch_up()
{
    ScheduleSettings s;
    read_schedule(&s);
    MissedScan m = schedule_missed(s.days, s.time, s.freq, s.last, g_engine.cfg.clock.local_time());
    if (!m.missed)
        return;
    if (engine_is_paused()) {
        log_msg("INFO", "service: catch-up scan skipped (protection not allowed/paused)");
        return;
    }
    log_msg("INFO", "service: running missed scheduled full scan (catch-up)");
    ScanStats st = run_full_scan();
    // The slot caught up is recorded, not today: today may be a scheduled
    // day whose slot is still ahead, and its scan must still run.
    stats_set("scan_sched_last", m.date);
    counters_save();
    log_msg("INFO", "service: catch-up full scan done (%ld files, %ld threats)", st.files,
            st.threats);
    char body[TG_SCAN_BODY_SIZE];
    format_scan_body(body, sizeof(body), st.files, st.threats);
    notify_log_append("Missed scheduled scan completed", body);
}
