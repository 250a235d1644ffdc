#include "rtsp/client/url.hpp"

#include "core/url.hpp"
#include "kx/address.h"
#include "rtsp/client/text.hpp"

namespace kx::rtsp {

UrlError parseRtspUrl(std::string_view url, RtspUrl &out) {
    out = RtspUrl{};
    if (url.size() < 14) return UrlError::length;
    UrlParts parts = splitUrl(url);
    if (!parts.hasScheme || !iequals(parts.scheme, "rtsp")) return UrlError::head;
    if (parts.hasUser && !parts.userinfo.empty()) {
        std::string_view user = parts.userinfo;
        if (user.size() > 0xFFFF) return UrlError::username;
        size_t colon = user.find(':');
        if (colon == std::string_view::npos) return UrlError::username;
        if (colon + 1 == user.size()) return UrlError::password;
        out.hasUser = true;
        out.username = std::string(user.substr(0, colon));
        out.password = std::string(user.substr(colon + 1));
    }
    if (!parts.rest.empty()) {
        out.hasPath = true;
        // "host?query" still names the resource below the root.
        out.path = parts.rest.front() == '/' ? std::string(parts.rest) : "/" + std::string(parts.rest);
    }
    if (parts.hasPort) {
        std::optional<uint16_t> port = parsePort(parts.port);
        if (!port) return UrlError::port;
        out.port = *port;
        out.hasPort = true;
    }
    uint32_t ip = kx_ipv4_network_get(parts.host.size(), parts.host.data());
    if (ip == KX_IPV4_INVALID) return UrlError::ip;
    out.ipv4 = ip;
    return UrlError::none;
}

const char *urlErrorFormat(UrlError e) {
    switch (e) {
    case UrlError::length: return "Invalid lenth(=%ld) of the url:\"%s\"";
    case UrlError::head: return "Invalid head of the url:\"%s\"";
    case UrlError::username: return "Invalid username of the url:\"%s\"";
    case UrlError::password: return "Invalid  password of the url:\"%s\"";
    case UrlError::ip: return "Invalid IP of the url:\"%s\"";
    case UrlError::port: return "Invalid port of the url:\"%s\"";
    case UrlError::none: break;
    }
    return "";
}

}  // namespace kx::rtsp
