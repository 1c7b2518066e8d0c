// Advanced protection as this build has it: the guard threads and the feed
// transport are not part of it yet. Nothing here pretends otherwise: the
// guards are not started (one INFO line per process says so) and a feed
// sync with a server URL set fails as an unreachable feed would.
#include "guard/guard_win32.h"

#include "common/log_win32.h"

static volatile LONG g_rtp_logged = 0;
static volatile LONG g_feed_logged = 0;

void advanced_rtp_start()
{
    if (InterlockedExchange(&g_rtp_logged, 1) == 0)
        log_msg("INFO", "rtp: advanced real-time protection not available in this build");
}

void advanced_rtp_stop() {}

int webprotect_feed_sync(const char* server_url)
{
    if (server_url == nullptr || server_url[0] == '\0')
        return 0;
    if (InterlockedExchange(&g_feed_logged, 1) == 0)
        log_msg("WARN", "webprotect: threat feed fetch failed (not available in this build)");
    return -1;
}
