// quarantine.db text: ids, lookups, removal and the listing.
#include "detect/quarantine.h"

#include "common/limits.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* db = reinterpret_cast<const char*>(data);
    const long next = quar_next_id(db, size);
    if (next < 1)
        abort();

    // Every line's id: a new id never collides with it, and removing it
    // leaves no line with that id.
    size_t at = 0;
    int lines = 0;
    while (at < size && lines < 8) {
        const char* nl = static_cast<const char*>(memchr(db + at, '\n', size - at));
        const size_t end = nl != nullptr ? static_cast<size_t>(nl - db) : size;
        const size_t view = end - at < TG_QUAR_LINE_MAX_CHARS ? end - at : TG_QUAR_LINE_MAX_CHARS;
        const long id = quar_line_id(db + at, view);
        if (id == next)
            abort();
        std::string out;
        const bool dropped = quar_db_remove(db, size, id, &out);
        if (!dropped || out.size() >= size)
            abort();
        QuarRecord rec;
        if (quar_find(out.data(), out.size(), id, &rec))
            abort();
        std::string again;
        if (quar_db_remove(out.data(), out.size(), id, &again) || again != out)
            abort();
        if (quar_find(db, size, id, &rec)) {
            if (rec.id != id || strlen(rec.path) > TG_QUAR_PATH_MAX_CHARS)
                abort();
        }
        at = end + 1;
        lines++;
    }

    std::string out;
    if (quar_db_remove(db, size, next, &out) || out != std::string(db, size))
        abort();
    (void)quar_list_text(db, size);

    // The input as a path and a threat: a record is one line of four fields
    // that reads back as written, or is refused.
    std::string text(db, size);
    text = text.substr(0, strlen(text.c_str()));
    char line[TG_QUAR_RECORD_SIZE];
    const LocalTime when = {2024, 1, 2, 3, 4, 5, 0};
    if (quar_format_record(line, sizeof(line), next, when, text.c_str(), "Threat|X")) {
        const size_t n = strlen(line);
        if (n == 0 || line[n - 1] != '\n' || strchr(line, '\n') != line + n - 1)
            abort();
        QuarRecord rec;
        if (text.size() <= TG_QUAR_PATH_MAX_CHARS) {
            if (!quar_find(line, n, next, &rec) || strcmp(rec.threat, "Threat_X") != 0)
                abort();
        }
        if (quar_next_id(line, n) != (next == LONG_MAX ? 1 : next + 1))
            abort();
    }
    char name[TG_PATH_SIZE];
    if (quar_file_name(name, sizeof(name), "C:\\Q", next, text.c_str())) {
        const char* file = name + strlen("C:\\Q\\");
        if (strlen(file) > TG_QUAR_FILE_NAME_MAX_CHARS || strpbrk(file, "\\/:") != nullptr)
            abort();
    }
    return 0;
}
