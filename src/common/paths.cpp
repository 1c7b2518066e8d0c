#include "common/paths.h"

#include "common/text.h"

#include <cstring>

bool path_join(char* out, size_t size, const char* a, const char* b)
{
    size_t la = strlen(a);
    const char* sep = (la == 0 || a[la - 1] == '\\' || a[la - 1] == '/') ? "" : "\\";
    return bounded_format(out, size, "%s%s%s", a, sep, b);
}

// "<drive>\<folder>" on the system drive; the drive is read into an 8-byte
// buffer preset to "C:", so a missing or oversized variable gives "C:".
static void on_system_drive(char* out, size_t size, const char* system_drive, const char* folder)
{
    char drive[TG_SYSTEM_DRIVE_SIZE] = "C:";
    if (system_drive != nullptr && system_drive[0] != '\0' && strlen(system_drive) < sizeof(drive))
        bounded_copy(drive, system_drive, sizeof(drive));
    bounded_format(out, size, "%s\\%s", drive, folder);
}

static bool usable(const char* s)
{
    return s != nullptr && s[0] != '\0';
}

void paths_compute(const PathInputs& in, bool per_user, Paths* p)
{
    memset(p, 0, sizeof(*p));
    if (usable(in.program_files))
        bounded_copy(p->program_files, in.program_files, sizeof(p->program_files));
    else
        on_system_drive(p->program_files, sizeof(p->program_files), in.system_drive,
                        "Program Files");
    if (usable(in.common_appdata))
        bounded_copy(p->common_appdata, in.common_appdata, sizeof(p->common_appdata));
    else
        on_system_drive(p->common_appdata, sizeof(p->common_appdata), in.system_drive,
                        "ProgramData");

    path_join(p->install_dir, sizeof(p->install_dir), p->program_files, "Tallowguard");
    path_join(p->installed_exe, sizeof(p->installed_exe), p->install_dir, "Tallowguard.exe");

    if (per_user && usable(in.local_appdata))
        path_join(p->data_dir, sizeof(p->data_dir), in.local_appdata, "Tallowguard");
    else
        path_join(p->data_dir, sizeof(p->data_dir), p->common_appdata, "Tallowguard");

    path_join(p->quarantine_dir, sizeof(p->quarantine_dir), p->data_dir, "quarantine");
    path_join(p->logs_dir, sizeof(p->logs_dir), p->data_dir, "logs");
    path_join(p->signatures_db, sizeof(p->signatures_db), p->data_dir, "signatures.db");
    path_join(p->config_ini, sizeof(p->config_ini), p->data_dir, "config.ini");
    path_join(p->stats_ini, sizeof(p->stats_ini), p->data_dir, "stats.ini");
    path_join(p->quarantine_db, sizeof(p->quarantine_db), p->data_dir, "quarantine.db");
    path_join(p->notify_log, sizeof(p->notify_log), p->data_dir, "notify.log");
    path_join(p->scans_log, sizeof(p->scans_log), p->data_dir, "scans.log");
    if (usable(in.common_programs))
        bounded_format(p->start_menu_dir, sizeof(p->start_menu_dir), "%s\\Tallowguard",
                       in.common_programs);
}
