// Files that a heuristic verdict alone never moves or deletes.
//
// Files under the Windows folder or under a Program Files folder belong to
// the system or to installed programs, and the heuristics (double
// extension, disguised executable, API or script keywords) can flag them:
// taking them away can leave the machine unable to start a program. A
// heuristic verdict on such a file is reported and the file left in place;
// a signature or EICAR verdict is acted on as anywhere else. The shell finds
// the folders and passes them in.
//
// Pure: reads only its inputs; any number of threads may call these at once.
#pragma once

#include <cstddef>

// Whether path names folder or something inside it. Both are compared in
// the same form: '\\' and '/' alike, runs of separators as one, trailing
// separators ignored, a "\\?\" or "\\.\" prefix ignored ("\\?\UNC\srv" read
// as "\\srv"), "." components dropped and ".." ones taking back the
// component before them, A-Z compared case-insensitively (other bytes as
// they are). folder matches on component boundaries only: "C:\Windows" holds
// "C:\Windows\x.dll" but not "C:\WindowsApps\x.dll". A null or empty folder,
// or one of separators only, holds nothing; a null path lies under nothing.
bool path_under_folder(const char* path, const char* folder);

// The index in folders[0, count) of the first folder that path lies under
// when threat is a heuristic verdict (verdict_is_heuristic): the file is
// reported and left in place. -1 when the verdict is to be acted on: a
// signature or EICAR verdict, or a path under none of the folders. Null and
// empty entries of folders are skipped.
int heuristic_left_in_place(const char* path, const char* threat, const char* const* folders,
                            size_t count);
