// The PE header reader and the API keyword count outside its range, over
// arbitrary files, against the plain lower-cased-copy search with the range
// blanked out.
//
// Input: byte 0 = how many keywords to plant (its low 3 bits), bytes 1-4 =
// a second range to count outside (offset and length, 16 bits each), then 3
// bytes per planted keyword (index into the API table, file offset in 16
// bits), then the file. A planted keyword overwrites the file's bytes at its
// offset when it fits, so that the corpus holds no keyword itself.
#include "detect/inspect.h"
#include "detect/pe.h"
#include "plain_keywords.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static int plain_count(std::vector<unsigned char> data, size_t begin, size_t end)
{
    if (end > data.size())
        end = data.size();
    for (size_t i = begin; i < end; i++)
        data[i] = 0;
    return plain_keyword_count(data.data(), data.size(), api_keywords);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    const size_t plants = data[0] & 7;
    const size_t other_begin = data[1] | (static_cast<size_t>(data[2]) << 8);
    const size_t other_end = other_begin + (data[3] | (static_cast<size_t>(data[4]) << 8));
    data += 5;
    size -= 5;
    if (size < plants * 3)
        return 0;
    const uint8_t* plant = data;
    data += plants * 3;
    size -= plants * 3;

    // An exact-size heap copy: the sanitizer sees any read past its end.
    std::vector<unsigned char> file(data, data + size);
    for (size_t i = 0; i < plants; i++, plant += 3) {
        const char* word = api_keywords[plant[0] % 20];
        const size_t at = plant[1] | (static_cast<size_t>(plant[2]) << 8);
        const size_t n = strlen(word);
        if (at <= file.size() && n <= file.size() - at)
            memcpy(file.data() + at, word, n);
    }
    const unsigned char* p = file.empty() ? nullptr : file.data();
    const size_t len = file.size();

    PeRange r;
    r.begin = 1;
    r.end = 0;
    const bool pe = pe_export_range(p, len, &r);
    if (pe && !(r.begin < r.end && r.end <= len))
        abort();
    if (!pe && (r.begin != 1 || r.end != 0))
        abort(); // touched on failure
    const int whole = count_keywords(p, len, api_keywords);
    const int outside = pe ? count_keywords_outside(p, len, api_keywords, r.begin, r.end) : whole;
    if (outside != (pe ? plain_count(file, r.begin, r.end) : plain_count(file, 0, 0)))
        abort();
    if (count_keywords_outside(p, len, api_keywords, other_begin, other_end) !=
        plain_count(file, other_begin, other_end))
        abort();

    // The verdict on it as a DLL: the API count decides unless the EICAR
    // text does.
    char threat[TG_THREAT_SIZE];
    inspect_verdict("C:\\d\\lib.dll", p, len, len, nullptr, threat, sizeof(threat));
    char want[TG_THREAT_SIZE] = "";
    if (len >= TG_KEYWORD_MIN_HEAD_BYTES && outside >= 3)
        snprintf(want, sizeof(want), "HEUR:Suspicious.API(%d)", outside);
    if (!inspect_has_eicar(p, len) && strcmp(threat, want) != 0)
        abort();
    return 0;
}
