// The verdict over arbitrary names and heads, with keyword counting checked
// against the plain lower-cased-copy search.
//
// Input: byte 0 = flags (bit 0: a signature name is given, bit 1: the file
// is too large to hash, bit 2: the EICAR text is written into the head at
// the offset in bytes 3-4), byte 1 = threat buffer size (0: 160), byte 2 =
// length of the path, then the path, then the head.
#include "detect/inspect.h"

#include "plain_keywords.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    const uint8_t flags = data[0];
    const size_t threat_size = data[1] == 0 ? TG_THREAT_SIZE : (data[1] % TG_THREAT_SIZE) + 1;
    size_t path_len = data[2];
    const size_t eicar_at = data[3] | (static_cast<size_t>(data[4]) << 8);
    data += 5;
    size -= 5;
    if (path_len > size)
        path_len = size;
    std::string path(reinterpret_cast<const char*>(data), path_len);
    // Stored in two halves so that this file is no test sample itself.
    const std::string eicar = std::string("EICAR-STANDARD-") + "ANTIVIRUS-TEST-FILE";
    std::string head_bytes(reinterpret_cast<const char*>(data + path_len), size - path_len);
    if ((flags & 4) && eicar_at <= head_bytes.size())
        head_bytes.insert(eicar_at, eicar);
    const uint8_t* head = reinterpret_cast<const uint8_t*>(head_bytes.data());
    const size_t head_len = head_bytes.size();
    const uint64_t file_size = (flags & 2) ? TG_HASH_MAX_FILE_SIZE + 1 : head_len;

    char threat[TG_THREAT_SIZE + 1];
    memset(threat, 'x', sizeof(threat));
    const int r = inspect_verdict(path.c_str(), head, head_len, file_size,
                                  (flags & 1) ? "Sig.Fuzz" : nullptr, threat, threat_size);
    if (threat[threat_size] != 'x')
        abort(); // wrote past the buffer
    if (memchr(threat, 0, threat_size) == nullptr)
        abort(); // not terminated
    if (r != kVerdictClean && r != kVerdictThreat)
        abort();
    if (r == kVerdictClean && threat[0] != '\0')
        abort();
    if (r == kVerdictThreat && threat_size > 1 && threat[0] == '\0')
        abort();
    if (inspect_needs_hash(head, head_len, file_size) && inspect_has_eicar(head, head_len))
        abort();

    char ext[TG_EXT_SIZE + 1];
    ext[TG_EXT_SIZE] = 'x';
    file_ext(path.c_str(), ext);
    if (ext[TG_EXT_SIZE] != 'x' || strlen(ext) > TG_EXT_MAX_CHARS)
        abort();

    if (count_keywords(head, head_len, api_keywords) !=
        plain_keyword_count(head, head_len, api_keywords))
        abort();
    if (count_keywords(head, head_len, script_keywords) !=
        plain_keyword_count(head, head_len, script_keywords))
        abort();
    return 0;
}
