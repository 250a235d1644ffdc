// URL and query splitters on arbitrary bytes: every field must be a bounded,
// well-formed copy of the input, and everything must be released again.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "kx/address.h"
#include "rtsp/client/url.hpp"

namespace {

void check_parameter(const kx_UrlParameter *p, std::string_view s) {
    if (p == nullptr) __builtin_trap();
    std::string_view path = s.substr(0, s.find('?'));
    if (memcmp(p->path, path.data(), path.size()) != 0 || p->path[path.size()] != '\0') __builtin_trap();
    // Each pair comes from a non-empty segment of the query, and segments are
    // separated by '&', so pairs are at most (query length + 1) / 2.
    size_t query = path.size() < s.size() ? s.size() - path.size() - 1 : 0;
    if (p->count > (query + 1) / 2) __builtin_trap();
    for (uint32_t i = 0; i < p->count; ++i) {
        const char *name = p->parameters[i].name, *value = p->parameters[i].value;
        if (name != nullptr && strpbrk(name, "&=") != nullptr) __builtin_trap();
        if (value != nullptr && strchr(value, '&') != nullptr) __builtin_trap();
    }
}

void check_url(const kx_Url *url, size_t size) {
    if (url == nullptr) return;
    if (url->protocol != KX_URL_PROTOCOL_HTTP || url->port == 0 || url->path == nullptr || url->path[0] != '/')
        __builtin_trap();
    if (url->hostName != nullptr && (url->ipv4 != KX_IPV4_INVALID || strlen(url->hostName) > 253)) __builtin_trap();
    if (strlen(url->path) > size + 1) __builtin_trap();
    if (url->password != nullptr && url->username == nullptr) __builtin_trap();
}

// The RTSP reading of the same text: whatever it accepts, the user info comes from before
// the host, so the host and path it names are in the text behind the last '@' of the authority.
void check_rtsp(std::string_view s) {
    kx::rtsp::RtspUrl u;
    if (kx::rtsp::parseRtspUrl(s, u) != kx::rtsp::UrlError::none) return;
    if (u.hasPath && (u.path.empty() || u.path[0] != '/')) __builtin_trap();
    if (u.hasUser && (u.username.find(':') != std::string::npos || u.password.empty())) __builtin_trap();
    if (u.hasPath && s.find(u.path.substr(1)) == std::string_view::npos) __builtin_trap();
    if (u.hasUser && s.find(u.username + ":" + u.password + "@") != 7) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    char *text = static_cast<char *>(malloc(size ? size : 1));
    if (size) memcpy(text, data, size);
    std::string_view s(text, size);

    kx_UrlParameter *parameter = kx_UrlParameter_new_IO(text, size);
    check_parameter(parameter, s);
    kx_UrlParameter_delete__OI(parameter);

    kx_Url *url = kx_Url_new_buffer__IO(text, size);
    check_url(url, size);
    kx_Url_delete__OI(url);

    // The NUL-terminated entry sees the text up to its first NUL.
    char *z = static_cast<char *>(malloc(size + 1));
    if (size) memcpy(z, data, size);
    z[size] = '\0';
    url = kx_Url_new__IO(z);
    check_url(url, strlen(z));
    kx_Url_delete__OI(url);

    check_rtsp(s);

    kx_ipv4Network net;
    kx_ipv4_get_from_string(&net, size, text);
    if (net.prefix > 32) __builtin_trap();
    (void)kx_ipv4_network_get(size, text);
    free(z);
    free(text);
    return 0;
}
