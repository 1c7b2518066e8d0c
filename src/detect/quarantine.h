// Quarantine store, pure half: the quarantine.db record lines, ids, the
// names of quarantined files, and the listing. The shell
// (quarantine_win32.cpp) reads quarantine.db whole, in binary, hands the
// bytes here, and writes back what it gets.
//
// quarantine.db holds one record per line:
//     id|YYYY-MM-DD hh:mm:ss|original path|threat
// A line's id is its leading decimal number (atol: leading blanks, a sign,
// digits; 0 when there are none; out-of-range values held at LONG_MIN or
// LONG_MAX). A line is everything up to and including its '\n' (the last
// one may have none), however long; only its first TG_QUAR_LINE_MAX_CHARS
// characters are read for fields, so an overlong line is never taken for
// two records.
//
// All functions only read their inputs and may run on any thread.
#pragma once

#include "common/localtime.h"
#include "detect/limits_scan.h"

#include <cstddef>
#include <string>

// Buffer size for one record line written by quar_format_record.
constexpr size_t TG_QUAR_RECORD_SIZE = TG_QUAR_LINE_MAX_CHARS + 1;

// One record as found in quarantine.db.
struct QuarRecord {
    long id;
    char date[20];                             // second field, cut to 19 characters
    char path[TG_QUAR_PATH_MAX_CHARS + 1];     // third field, the original path
    char threat[TG_QUAR_THREAT_MAX_CHARS + 1]; // fourth field (rest of the line), cut
};

// The id of one line of len bytes (atol semantics, see above).
long quar_line_id(const char* line, size_t len);

// Writes the record line "%ld|%04d-%02d-%02d %02d:%02d:%02d|%s|%s\n" into out
// (size bytes). '\r', '\n' and '|' in path and threat are written as '_', so
// that one record is always one line of four fields (Windows names hold none
// of them; signature names may hold '|'). Returns false, with out set to "",
// when the line does not fit in size bytes or would exceed TG_QUAR_LINE_MAX_CHARS
// characters: a cut record must never be written.
bool quar_format_record(char* out, size_t size, long id, const LocalTime& when, const char* path,
                        const char* threat);

// The id for a new record of db (len bytes; null when len is 0): the largest
// id of any line plus 1, and 1 for an empty db. Ids are not reused while
// their lines remain. Should the largest id be LONG_MAX (a damaged line),
// the smallest positive id used by no line is given instead of overflowing.
long quar_next_id(const char* db, size_t len);

// The full path of the quarantined file "<folder>\<id>_<name>.quar", where
// name is the text after the last '\\' of original_path, with '/' and ':'
// written as '_' (':' would name an alternate data stream). A long name is
// cut so that "<id>_<name>.quar" stays within TG_QUAR_FILE_NAME_MAX_CHARS
// characters. Returns false, with out set to "", when the path does not fit
// in size bytes (callers pass TG_PATH_SIZE): a cut target is never used.
bool quar_file_name(char* out, size_t size, const char* folder, long id, const char* original_path);

// The search pattern "<folder>\<id>_*.quar" for finding an id's file.
// Returns false, with out set to "", when it does not fit.
bool quar_file_pattern(char* out, size_t size, const char* folder, long id);

// The first line of db whose id equals id and which has all four fields
// (at least three '|' once the line is cut at its first CR or LF) and an
// original path of at most TG_QUAR_PATH_MAX_CHARS characters (a longer one
// cannot be restored faithfully and is passed over). Fills *rec and returns
// true when found.
bool quar_find(const char* db, size_t len, long id, QuarRecord* rec);

// The db without the lines whose id equals id, every other byte kept as it
// was, into *out. Returns whether any line was dropped; when none was, the
// caller leaves quarantine.db untouched.
bool quar_db_remove(const char* db, size_t len, long id, std::string* out);

// The listing of db: the header line ("%-6s %-19s %-28s %s\n" with "ID",
// "Date", "Threat", "Original path"), then for each line (cut at its first
// CR or LF) with at least three '|', the id, date, threat (fourth field,
// rest of the line) and original path (third field) in the same format.
// Lines with fewer separators are skipped.
std::string quar_list_text(const char* db, size_t len);

// Whether the `quar_action` value selects deletion (first letter 'D' or 'd').
// Null or "" does not.
bool quar_action_is_delete(const char* value);
