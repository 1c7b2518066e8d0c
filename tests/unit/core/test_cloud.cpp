#include "cloud/cloud.h"

#include <gtest/gtest.h>

#include <string>

TEST(CloudParseUrl, SplitsAndRejects)
{
    struct {
        const char* url;
        int ok;
        const char* host;
        int port;
        int secure;
        const char* path;
    } cases[] = {
        {"https://host", 1, "host", 443, 1, "/"},
        {"http://host:8080", 1, "host", 8080, 0, "/"},
        {"http://host/a:b", 1, "host", 80, 0, "/a:b"},
        {"https://10.0.0.1:8443/api/v1?x=1", 1, "10.0.0.1", 8443, 1, "/api/v1?x=1"},
        {"http://host:65535/", 1, "host", 65535, 0, "/"},
        {"http://host:0/x", 0, "", 0, 0, ""},
        {"http://host:65536/x", 0, "", 0, 0, ""},
        {"http://host:99999999999999999999/x", 0, "", 0, 0, ""},
        {"http://host:abc", 0, "", 0, 0, ""},
        {"http://:80/x", 0, "", 0, 0, ""},
        {"http:///x", 0, "", 0, 0, ""},
        {"https://", 0, "", 0, 0, ""},
        {"ftp://host/", 0, "", 0, 0, ""},
        {"HTTPS://host", 0, "", 0, 0, ""},
        {"host", 0, "", 0, 0, ""},
        {"", 0, "", 0, 0, ""},
    };
    for (const auto& c : cases) {
        ParsedUrl u;
        u.port = -1;
        EXPECT_EQ(cloud_parse_url(c.url, &u), c.ok) << c.url;
        EXPECT_STREQ(u.host, c.host) << c.url;
        EXPECT_EQ(u.port, c.port) << c.url;
        EXPECT_EQ(u.secure, c.secure) << c.url;
        EXPECT_STREQ(u.path, c.path) << c.url;
    }
}

TEST(CloudParseUrl, HostAndPathLimits)
{
    ParsedUrl u;
    std::string host255(255, 'h');
    EXPECT_EQ(cloud_parse_url(("http://" + host255 + "/p").c_str(), &u), 1);
    EXPECT_EQ(std::string(u.host), host255);
    EXPECT_EQ(cloud_parse_url(("http://" + host255 + "h:80/p").c_str(), &u), 0);
    std::string path = "/" + std::string(2000, 'p');
    EXPECT_EQ(cloud_parse_url(("https://h" + path).c_str(), &u), 1);
    EXPECT_EQ(std::string(u.path), path.substr(0, 1023));
}

TEST(CloudUrlAcceptable, NoControlCharactersAndAParsableUrl)
{
    struct {
        const char* url;
        int ok;
    } cases[] = {
        {"https://fleet.example.org", 1},
        {"http://10.0.0.1:8080", 1},
        {"https://fleet.example.org/tenant", 1},
        {"https://fleet\texample.org", 0},
        {"https://fleet.example.org\x7f", 0},
        {"https://fleet.example.org\x1b[0m", 0},
        {"fleet.example.org", 0},
        {"ftp://fleet.example.org", 0},
        {"http://", 0},
        {"https://fleet.example.org:0", 0},
        {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cloud_url_acceptable(c.url), c.ok) << c.url;
    EXPECT_EQ(cloud_url_acceptable(nullptr), 0);
}
