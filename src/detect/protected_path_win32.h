// The folders whose files a heuristic verdict alone never moves or deletes
// (see protected_path.h): the Windows folder and the Program Files folders
// of this machine, found once per process. Any number of threads may call
// this at once.
#pragma once

#include "common/limits.h"

#include <cstddef>

// Size of the reason heuristic_kept_in_place writes: a folder path and its kind.
constexpr size_t TG_KEPT_WHY_SIZE = TG_PATH_SIZE + 32;

// Whether the verdict `threat` on the file `path` leaves it in place: a
// heuristic verdict on a file under the Windows folder or a Program Files
// folder. Then `why` (of why_size bytes, TG_KEPT_WHY_SIZE is enough) receives
// the reason, "the system folder <folder>" or "the programs folder <folder>".
// The path is compared as given and, when the file opens, in its final form
// (links, short names and other drive names of the same folder resolved), so
// that a walk of another name of the folder leaves its files in place too.
// False for signature and EICAR verdicts (why is then "").
bool heuristic_kept_in_place(const char* path, const char* threat, char* why, size_t why_size);
