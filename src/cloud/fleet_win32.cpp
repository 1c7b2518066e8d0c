// The fleet calls of the protection loop as this build has them: there is
// no HTTP transport yet, so with a server URL set nothing is sent and every
// call reports what a client without a connection would (failure, nothing
// queued, no update). The first such call of a process logs one line saying
// so; the standalone agent (empty server URL) logs nothing.
#include "cloud/fleet_win32.h"

#include "cloud/cloud_win32.h"
#include "common/log_win32.h"

static volatile LONG g_unavailable_logged = 0;

static void note_unavailable()
{
    if (InterlockedExchange(&g_unavailable_logged, 1) == 0)
        log_msg("WARN", "cloud: fleet client not available in this build; server %s not contacted",
                g_cloud.server_url);
}

int cloud_register()
{
    if (g_cloud.server_url[0] == '\0')
        return 1;
    if (g_cloud.install_id[0] != '\0' && g_cloud.install_token[0] != '\0')
        return 1;
    note_unavailable();
    return 0;
}

int cloud_heartbeat()
{
    if (g_cloud.server_url[0] == '\0' || g_cloud.install_id[0] == '\0')
        return 0;
    note_unavailable();
    return 0;
}

int cloud_pop_command(char* dest, size_t size)
{
    // Nothing is ever queued without a heartbeat that reached the server.
    if (dest != nullptr && size > 0)
        dest[0] = '\0';
    return 0;
}

int cloud_check_update()
{
    if (g_cloud.server_url[0] == '\0')
        return 0;
    note_unavailable();
    return 0;
}
