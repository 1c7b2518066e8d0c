#include "common/logline.h"

#include "common/limits.h"
#include "common/text.h"

#include <cstring>

void log_file_name(char* out, size_t size, const char* logs_dir, const LocalTime& t)
{
    bounded_format(out, size, "%s\\tallowguard-%04d-%02d-%02d.log", logs_dir, t.year, t.month,
                   t.day);
}

void format_local_timestamp(char* out, size_t size, const LocalTime& t)
{
    bounded_format(out, size, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                   t.minute, t.second);
}

static std::string cut_message(const char* message)
{
    if (message == nullptr)
        return std::string();
    size_t n = strnlen(message, TG_LOG_MESSAGE_SIZE - 1);
    return std::string(message, n);
}

std::string log_format_line(const LocalTime& t, const char* level, const char* message)
{
    char ts[32];
    format_local_timestamp(ts, sizeof(ts), t);
    std::string line;
    line.reserve(64 + TG_LOG_MESSAGE_SIZE);
    line += '[';
    line += ts;
    line += "] [";
    line += level ? level : "";
    line += "] ";
    line += cut_message(message);
    line += '\n';
    return line;
}

std::string log_format_echo(const char* level, const char* message)
{
    std::string line = "[";
    line += level ? level : "";
    line += "] ";
    line += cut_message(message);
    line += '\n';
    return line;
}
