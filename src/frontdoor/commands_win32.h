// The one-shot commands of the command line. Each opens the console, does
// its work and returns the process exit code.
#pragma once

#include "common/win.h"

int cmd_status();
// The installed copy started without arguments: status, then wait for Enter.
int cmd_installed_status();
int cmd_set_server(const char* url);
int cmd_quarantine_list();
// `--service` (protection engine): the service dispatcher, or the loop run by hand.
int cmd_service();

// The single-instance check of the loop run by hand, on the mutex `name`.
enum class InstanceClaim {
    First,      // no other instance: *mutex holds the mutex until the loop ends
    Running,    // another instance holds the mutex
    Unverified, // the mutex can be neither created nor opened (access denied, or
                // another kind of object holds the name): refuse as if one ran
};
InstanceClaim instance_claim(const char* name, HANDLE* mutex, DWORD* err);

// Prints that `option` is not available in this build; exit code 1.
int cmd_not_available(const char* option);
