// rtsp:// URLs: rtsp://[user:password@]a.b.c.d[:port][/path], split by the library's one URL
// splitter (core/url.hpp); the user info ends at the last '@' before the path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kx::rtsp {

struct RtspUrl {
    uint32_t ipv4 = 0;  // network byte order
    uint16_t port = 554;
    bool hasPort = false;
    bool hasUser = false;
    std::string username, password;
    bool hasPath = false;
    std::string path;  // from the first '/' on, query included
};

enum class UrlError { none, length, head, username, password, ip, port };

// Splits url into out. Host names are not resolved: the host must be a dotted quad.
UrlError parseRtspUrl(std::string_view url, RtspUrl &out);

// The record text for a rejection (format arguments: the length, then the URL), e.g.
// "Invalid IP of the url:\"%s\"".
const char *urlErrorFormat(UrlError e);

}  // namespace kx::rtsp
