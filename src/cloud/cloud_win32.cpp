#include "cloud/cloud_win32.h"

#include "cloud/cloud.h"
#include "common/settings.h"
#include "common/settings_win32.h"
#include "common/win.h"

#include <cstdio>

CloudState g_cloud;
static volatile LONG g_realtime_allowed = 1;

void cloud_load_state()
{
    config_get("server_url", g_cloud.server_url, sizeof(g_cloud.server_url), TG_DEFAULT_SERVER_URL);
    config_get("install_id", g_cloud.install_id, sizeof(g_cloud.install_id), "");
    config_get("install_token", g_cloud.install_token, sizeof(g_cloud.install_token), "");
    char v[64];
    config_get("sigs_version", v, sizeof(v), "1");
    g_cloud.sigs_version = settings_atol(v);
}

void cloud_save_state()
{
    config_set("server_url", g_cloud.server_url);
    config_set("install_id", g_cloud.install_id);
    config_set("install_token", g_cloud.install_token);
    char v[32];
    snprintf(v, sizeof(v), "%ld", g_cloud.sigs_version);
    config_set("sigs_version", v);
}

int cloud_realtime_allowed()
{
    return g_realtime_allowed != 0;
}

void cloud_report_detection(const char* threat, const char* path)
{
    (void)threat;
    (void)path;
    // Standalone or not enrolled: nothing to tell. The network half of the
    // report comes with the fleet client.
    if (g_cloud.server_url[0] == '\0' || g_cloud.install_id[0] == '\0')
        return;
}
