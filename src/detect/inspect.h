// The verdict on one file, as a pure function of its name and its head.
//
// The shell (inspect_win32.cpp) opens the file once, takes its size, reads
// its first TG_INSPECT_HEAD_BYTES bytes once, and then:
//
//   1. inspect_needs_hash(head, head_len, size): when true, hash the whole
//      file (the head already read, then the rest) and look the digest up in
//      the signature list; when false, do not hash (the EICAR string already
//      decides, or the file is too large to hash).
//   2. inspect_verdict(path, head, head_len, size, name_or_null, threat, n)
//      with the signature name found (or null: no match, not hashed, or
//      hashing failed).
//
// Both only read their inputs; any number of threads may call them at once.
#pragma once

#include "detect/keywords.h"
#include "detect/limits_scan.h"

#include <cstddef>
#include <cstdint>

// Verdicts of inspect_verdict and of the shell's inspect_file.
constexpr int kVerdictCannotOpen = -1;
constexpr int kVerdictClean = 0;
constexpr int kVerdictThreat = 1;

// Extension lists: every lower-case extension between two '|'.
extern const char executable_exts[];
extern const char document_exts[];
extern const char native_exts[];
extern const char script_exts[];

// Size of the buffer file_ext writes.
constexpr size_t TG_EXT_SIZE = TG_EXT_MAX_CHARS + 1;

// The extension of the last component of path (after the last '\\' or '/'):
// the text after its last '.', when that '.' is not the component's first
// character, cut to TG_EXT_MAX_CHARS characters and lower-cased; otherwise "".
// out must hold TG_EXT_SIZE bytes. A null path gives "".
void file_ext(const char* path, char* out);
// The extension Windows runs the file by: file_ext of the path without the
// trailing dots and spaces of its last component, which the Win32 names of
// a file leave out ("evil.exe." and "evil.exe " are taken as "exe").
void file_ext_as_run(const char* path, char* out);

// Whether ext is one of list's entries ("|ext|" occurs in it). The empty
// extension is in no list.
bool ext_in_list(const char* ext, const char* list);

// Whether the first TG_EICAR_WINDOW_BYTES bytes of head, read as text ending at
// the first NUL byte, hold the EICAR test string.
bool inspect_has_eicar(const unsigned char* head, size_t head_len);

// Whether the shell should hash the file: false when the EICAR string already
// decides the verdict, or when file_size is above TG_HASH_MAX_FILE_SIZE.
bool inspect_needs_hash(const unsigned char* head, size_t head_len, uint64_t file_size);

// The verdict, checks in this order, the first that fires deciding:
//   EICAR string in the head -> "EICAR-Test-File";
//   sig_name (ignored when file_size is above TG_HASH_MAX_FILE_SIZE) -> sig_name;
//   an executable extension over a document one -> "HEUR:DoubleExtension";
//   "MZ" head without an executable extension -> "HEUR:DisguisedExecutable";
//   no "MZ" and no executable extension -> clean;
//   head shorter than TG_KEYWORD_MIN_HEAD_BYTES -> clean;
//   "MZ" head or native extension, 3+ API keywords -> "HEUR:Suspicious.API(n)"
//     (in a PE file, only keywords wholly outside its export directory count:
//     see pe_export_range; damaged headers count the whole head);
//   script extension, 2+ script keywords -> "HEUR:Suspicious.Script(n)";
//   otherwise clean.
// head holds the file's first head_len bytes (only the first
// TG_INSPECT_HEAD_BYTES are used; null when head_len is 0). threat, of
// threat_size bytes, is set to "" first and receives the threat name cut to
// threat_size - 1 characters. Returns kVerdictThreat or kVerdictClean.
int inspect_verdict(const char* path, const unsigned char* head, size_t head_len,
                    uint64_t file_size, const char* sig_name, char* threat, size_t threat_size);

// Whether threat, a threat name inspect_verdict gave, comes from one of the
// heuristics: the names beginning "HEUR:" (double extension, disguised
// executable, API or script keywords). "EICAR-Test-File" and the signature
// list's names are not (a list entry whose own name began "HEUR:" would be
// taken for one). A null threat is not.
bool verdict_is_heuristic(const char* threat);
