// Hashing a whole file. Paths are ANSI strings of at most 1023 characters.
#pragma once

// Digest of a whole file as 64 lower-case hex characters and a NUL (65
// bytes). 0 on success, -1 when the file cannot be opened. A read error part
// way gives the digest of the bytes read so far.
int sha256_file(const char* path, char* out);
