#include "rtsp/client/url.hpp"

#include "kx/address.h"
#include "rtsp/client/text.hpp"

namespace kx::rtsp {

UrlError parseRtspUrl(std::string_view url, RtspUrl &out) {
    out = RtspUrl{};
    if (url.size() < 14) return UrlError::length;
    if (!istartsWith(url, "rtsp://")) return UrlError::head;
    std::string_view rest = url.substr(7);
    size_t at = rest.find('@');
    if (at != std::string_view::npos) {
        std::string_view user = rest.substr(0, at);
        if (user.size() > 0xFFFF) return UrlError::username;
        if (!user.empty()) {
            size_t colon = user.find(':');
            if (colon == std::string_view::npos) return UrlError::username;
            if (colon + 1 == user.size()) return UrlError::password;
            out.hasUser = true;
            out.username = std::string(user.substr(0, colon));
            out.password = std::string(user.substr(colon + 1));
        }
        rest = rest.substr(at + 1);
    }
    size_t slash = rest.find('/');
    std::string_view host = rest;
    if (slash != std::string_view::npos) {
        host = rest.substr(0, slash);
        out.hasPath = true;
        out.path = std::string(rest.substr(slash));
    }
    size_t colon = host.find(':');
    if (colon != std::string_view::npos) {
        std::string_view port = host.substr(colon + 1);
        host = host.substr(0, colon);
        long value = 0;
        if (port.empty() || port.size() > 5) return UrlError::port;
        for (char c : port) {
            if (c < '0' || c > '9') return UrlError::port;
            value = value * 10 + (c - '0');
        }
        if (value < 1 || value > 65535) return UrlError::port;
        out.port = static_cast<uint16_t>(value);
        out.hasPort = true;
    }
    uint32_t ip = kx_ipv4_network_get(host.size(), host.data());
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
