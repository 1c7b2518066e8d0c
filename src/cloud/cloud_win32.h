// Cloud state (server URL, enrolment) and the fleet calls other areas make.
// Without a server URL the agent is standalone and none of these contacts
// anything.
#pragma once

struct CloudState {
    char server_url[512];
    char install_id[64];
    char install_token[128];
    long sigs_version;
};
extern CloudState g_cloud;

// Reads server_url, install_id, install_token and sigs_version from config.ini.
void cloud_load_state();
// Writes the four keys back to config.ini.
void cloud_save_state();
// Whether the fleet policy allows real-time protection (on until a policy
// switches it off; not persisted).
int cloud_realtime_allowed();
// Tells the server about one detection; nothing while the agent is
// standalone or not enrolled.
void cloud_report_detection(const char* threat, const char* path);
