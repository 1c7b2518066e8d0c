// Removing an installation (also asked for by the fleet's remote
// "uninstall" command).
#pragma once

// Runs the uninstaller in this process and prints its progress to the
// console. The process exit code: 0 on success, 1 on failure.
int uninstall_run();
