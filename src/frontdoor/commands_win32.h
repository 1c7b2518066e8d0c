// The one-shot commands of the command line. Each opens the console, does
// its work and returns the process exit code.
#pragma once

int cmd_status();
int cmd_set_server(const char* url);
int cmd_quarantine_list();
// Prints that `option` is not available in this build; exit code 1.
int cmd_not_available(const char* option);
