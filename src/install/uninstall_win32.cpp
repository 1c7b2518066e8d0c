#include "install/uninstall_win32.h"

#include "common/console_win32.h"
#include "common/log_win32.h"

int uninstall_run()
{
    // The uninstaller is not part of this build: nothing is removed.
    log_msg("ERROR", "uninstall is not available in this build");
    console_print("Uninstall is not available in this build.\n");
    return 1;
}
