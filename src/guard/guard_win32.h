// Advanced protection as the protection loop starts and refreshes it: the
// guard threads (process guard, ransomware heuristic, USB guard) and the
// threat-feed sync that feeds web protection and the firewall blocker.
#pragma once

// Starts the guard threads on the first call; later calls do nothing.
void advanced_rtp_start();
// Forgets the guard threads so that a later start starts them again; the
// threads themselves end through the engine's stop flag.
void advanced_rtp_stop();
// Fetches the threat feed from the fleet server at `server_url` and applies
// it. The number of entries applied, 0 when standalone (empty URL), -1 when
// the feed could not be fetched.
int webprotect_feed_sync(const char* server_url);
