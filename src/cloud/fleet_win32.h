// The fleet calls of the protection loop: enrolment, heartbeat with its
// remote-command queue, and the update check. All of them run on the
// protection loop's thread (the command queue has no lock).
#pragma once

#include <cstddef>

// 1 when there is nothing to do (standalone, or already enrolled) or the
// registration succeeded; 0 when it failed.
int cloud_register();
// 1 when the server answered, 0 when not enrolled or the request failed.
int cloud_heartbeat();
// Takes the oldest queued remote command into `dest` (cut to `size`):
// 1, or 0 when the queue is empty.
int cloud_pop_command(char* dest, size_t size);
// 1 when an updater was staged (the caller then ends the process); 0 when
// standalone, offline or nothing to update.
int cloud_check_update();
