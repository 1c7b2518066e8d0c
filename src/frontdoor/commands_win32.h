// The one-shot commands of the command line. Each opens the console, does
// its work and returns the process exit code.
#pragma once

int cmd_status();
// The installed copy started without arguments: status, then wait for Enter.
int cmd_installed_status();
int cmd_set_server(const char* url);
int cmd_quarantine_list();
// `--service` (protection engine): the service dispatcher, or the loop run by hand.
int cmd_service();

// Prints that `option` is not available in this build; exit code 1.
int cmd_not_available(const char* option);
