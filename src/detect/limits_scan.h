// Fixed limits of file inspection, exclusions, the quarantine index and the
// scan log. Text longer than a limit is cut to fit; nothing is ever written
// past a buffer.
#pragma once

#include <cstddef>
#include <cstdint>

// Head given to inspection: later bytes are never searched for keywords.
constexpr size_t TG_INSPECT_HEAD_BYTES = 2097152;
// Head bytes searched for the EICAR string: later ones are not.
constexpr size_t TG_EICAR_WINDOW_BYTES = 4095;
// Larger files are not hashed: they get the heuristics only.
constexpr uint64_t TG_HASH_MAX_FILE_SIZE = 134217728;
// Shorter heads are clean without keyword checks.
constexpr size_t TG_KEYWORD_MIN_HEAD_BYTES = 16;
// Extensions: longer ones are cut to this many characters.
constexpr size_t TG_EXT_MAX_CHARS = 63;
// Keywords: only their first 95 characters are matched.
constexpr size_t TG_KEYWORD_MAX_CHARS = 95;
// Threat-name buffers: longer names are cut to 159 characters.
constexpr size_t TG_THREAT_SIZE = 160;

// The `exclusions` value: characters past it are ignored.
constexpr size_t TG_EXCL_VALUE_MAX_CHARS = 4095;
// Exclusion entries: later ones are ignored.
constexpr int TG_EXCL_MAX_ENTRIES = 128;
// One exclusion entry: a longer one is dropped.
constexpr size_t TG_EXCL_ENTRY_MAX_CHARS = 260;

// quarantine.db line read for fields: the rest is kept as it is but not read.
constexpr size_t TG_QUAR_LINE_MAX_CHARS = 2047;
// A record's original path: a longer one is not restorable (never cut).
constexpr size_t TG_QUAR_PATH_MAX_CHARS = 1023;
// A record's threat name as looked up: cut beyond.
constexpr size_t TG_QUAR_THREAT_MAX_CHARS = 127;
// "<id>_<name>.quar": the name is cut to stay within it.
constexpr size_t TG_QUAR_FILE_NAME_MAX_CHARS = 255;

// A scans.log line: cut; a longer line read back is split into pieces.
constexpr size_t TG_SCANLOG_LINE_MAX_CHARS = 159;
// scans.log lines kept: the oldest go first.
constexpr size_t TG_SCANLOG_MAX_LINES = 200;
