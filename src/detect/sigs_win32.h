// The process-wide signature list as the program loads it from signatures.db.
#pragma once

// Adds every valid line of signatures.db to the signature list; a file that
// cannot be opened adds nothing. The file is read block by block (no size
// limit) into a new table published in one swap. Meant for start-up: a
// sig_add running at the same moment may be lost.
void sigs_load();
// Writes the default signatures.db unless one exists.
void sigs_write_default();
// The start-up order: the built-in EICAR entry, then signatures.db.
void sigs_startup();
// The same, with signatures.db loaded on a thread of its own, for a command
// that has files to read meanwhile: a lookup waits for the load through
// sigs_wait_ready (inspect_file_ex does), or is put off (see InspectDefer).
void sigs_startup_background();
// Whether the list is complete: no load is under way.
bool sigs_ready();
// Waits until the load started by sigs_startup_background has ended.
void sigs_wait_ready();
// After an update replaced signatures.db: a new list (built-in + file)
// swapped in; scanners still holding the old one keep it until they finish.
// sig_count() gives the new count.
void sigs_reload();
