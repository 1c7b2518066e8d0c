// Fleet client, pure half: constants and the URL rule shared by the agent's
// shell and a fleet server.
#pragma once

// The fleet server used when config.ini has no server_url key at all.
#define TG_DEFAULT_SERVER_URL "https://fleet.tallowguard.example"

// A URL split by cloud_parse_url.
struct ParsedUrl {
    char host[256];  // 1 to 255 characters
    char path[1024]; // path and query, begins with "/"; a longer one is cut to 1023
    int secure;      // 1 for https://, 0 for http://
    int port;        // 443 or 80 by default, or the explicit port (1 to 65535)
};

// Splits `url`: "https://" or "http://" (case-sensitive), the host, an
// optional ":port" before the first "/", then the path ("/" when there is
// none). A colon after the first "/" belongs to the path. Returns 1, or 0
// when the URL is rejected (another scheme, an empty or longer than 255
// characters host, a port outside 1 to 65535); *out is zeroed first and
// stays zeroed on rejection.
int cloud_parse_url(const char* url, ParsedUrl* out);

// Whether `url` can serve as the server URL: cloud_parse_url accepts it and
// it holds no control character (below 0x20, or 0x7F). Every request URL is
// this one with a path joined, so a URL refused here would never work.
int cloud_url_acceptable(const char* url);
