#include "cloud/cloud.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

static int reject(ParsedUrl* out)
{
    memset(out, 0, sizeof(*out));
    return 0;
}

int cloud_parse_url(const char* url, ParsedUrl* out)
{
    memset(out, 0, sizeof(*out));
    if (url == nullptr)
        return 0;
    const char* rest = nullptr;
    if (strncmp(url, "https://", 8) == 0) {
        out->secure = 1;
        out->port = 443;
        rest = url + 8;
    } else if (strncmp(url, "http://", 7) == 0) {
        out->port = 80;
        rest = url + 7;
    } else {
        return 0;
    }
    const char* slash = strchr(rest, '/');
    const char* colon = strchr(rest, ':');
    size_t host_len = 0;
    if (colon != nullptr && (slash == nullptr || colon < slash)) {
        // The number after the colon as atoi reads it; strtol holds an
        // overlong one at LONG_MAX, which the range refuses.
        long port = strtol(colon + 1, nullptr, 10);
        if (port < 1 || port > 65535)
            return reject(out);
        out->port = static_cast<int>(port);
        host_len = static_cast<size_t>(colon - rest);
    } else {
        host_len = slash != nullptr ? static_cast<size_t>(slash - rest) : strlen(rest);
    }
    if (host_len == 0 || host_len >= sizeof(out->host))
        return reject(out);
    memcpy(out->host, rest, host_len);
    if (slash == nullptr) {
        out->path[0] = '/';
    } else {
        size_t n = strlen(slash);
        memcpy(out->path, slash, n < sizeof(out->path) ? n : sizeof(out->path) - 1);
    }
    return 1;
}

int cloud_url_acceptable(const char* url)
{
    if (url == nullptr)
        return 0;
    for (const char* p = url; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f)
            return 0;
    }
    ParsedUrl u;
    return cloud_parse_url(url, &u);
}
