// The quarantine store on disk: the quarantine folder and quarantine.db.
// Every function may be called from several threads at once. Paths are ANSI
// strings of at most 1023 characters.
#pragma once

#include "detect/inspect_win32.h"

// Handles a detected file: the new id (1 or more) when quarantined, 0 when
// deleted under the delete policy, -1 when it could not be moved or copied
// (or was refused, see below); the reason is logged.
//
// The file is opened without following a final reparse point and must be a
// plain file; with an identity (from inspect_file_ex) it must also still be
// the file that was inspected, unchanged since, or nothing is done. It is
// then renamed (or deleted) through that same handle; across volumes its
// bytes are copied from that handle and the original deleted through it,
// and when that delete fails the copy goes again (-1). The quarantine folder
// must be a real folder, not a reparse point. Id, record and move happen
// under the quarantine.db lock: the record is written first, so a crash
// leaves the file either in place (with a record that quarantine_check
// reports) or in quarantine with its record; a failed move drops the record.
long quarantine_file(const char* path, const char* threat);
long quarantine_file_ex(const char* path, const char* threat, const FileIdentity* id);
// Looks up record `id` whose .quar file exists: 1 and the fields, else 0.
// original_path holds 1024 bytes, threat 128, quar_file 1024.
int quarantine_find(long id, char* original_path, char* threat, char* quar_file);
// Command-line and window actions; they print to the console. 0 success, 1 failure.
// Restore replaces a file that has since appeared at the original path in
// one move; a failed delete of the .quar file keeps the record and fails.
int quarantine_restore(const char* id_text);
int quarantine_delete(const char* id_text);
// Drops every line of quarantine.db whose id equals `id` (rewritten through
// a temporary file and an atomic replace; untouched when no line matches).
void quarantine_db_remove(long id);
// Start-up check: records whose .quar file is missing while the original
// exists, and .quar files without a record, are logged (WARN).
void quarantine_check();
