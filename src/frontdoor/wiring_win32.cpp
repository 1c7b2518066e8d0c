#include "frontdoor/wiring_win32.h"

#include "cloud/cloud_win32.h"
#include "install/uninstall_win32.h"
#include "ui/ui_win32.h"

DetectSink wiring_detect_sink()
{
    DetectSink s = {};
    s.report_detection = cloud_report_detection;
    s.alert_threat = ui_post_threat;
    return s;
}

void wiring_install()
{
    g_detect_sink = wiring_detect_sink();
}

EngineConfig wiring_engine_config(bool tray_role)
{
    EngineConfig c = engine_defaults(tray_role);
    c.hooks.uninstall_run = uninstall_run;
    c.hooks.post_threat = ui_post_threat;
    c.hooks.post_alert = ui_post_alert;
    return c;
}
