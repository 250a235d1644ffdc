// Host addresses and URL parameters.
//
// All parsers walk [text, text + length) with explicit bounds; nothing here reads a
// terminating NUL, keeps a pointer into the caller's text, or lets an exception out.
#include "kx/address.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/url.hpp"
#include "kx/string.h"

namespace {

constexpr size_t kQuadMin = 7;   // "1.2.3.4"
constexpr size_t kQuadMax = 15;  // "111.222.111.222"
constexpr size_t kHostNameMax = 253;
constexpr size_t kLabelMax = 63;
constexpr uint16_t kHttpPort = 80;

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline bool all_digits(std::string_view s) {
    for (char c : s)
        if (!is_digit(c)) return false;
    return true;
}

// Octets in text order become the bytes of the value in memory order, so the
// result is in network byte order on every host.
inline uint32_t from_octets(const unsigned char octet[4]) {
    uint32_t value;
    memcpy(&value, octet, sizeof value);
    return value;
}

// Dotted quad; nullopt when the text is not one. 255.255.255.255 is a valid result
// here, unlike at the C boundary where it collides with the failure value.
std::optional<uint32_t> parse_quad(std::string_view s) {
    if (s.size() < kQuadMin || s.size() > kQuadMax) return std::nullopt;
    unsigned char octet[4];
    size_t i = 0;
    for (int o = 0; o < 4; ++o) {
        if (o > 0) {
            if (i >= s.size() || s[i] != '.') return std::nullopt;
            ++i;
        }
        unsigned value = 0;
        size_t digits = 0;
        while (i < s.size() && is_digit(s[i])) {
            if (++digits > 3) return std::nullopt;
            value = value * 10 + static_cast<unsigned>(s[i] - '0');
            ++i;
        }
        if (digits == 0 || value > 255) return std::nullopt;
        octet[o] = static_cast<unsigned char>(value);
    }
    if (i != s.size()) return std::nullopt;
    return from_octets(octet);
}

// One or two digits, at most 32; an empty suffix means a single host (32).
std::optional<uint8_t> parse_prefix(std::string_view s) {
    if (s.empty()) return 32;
    if (s.size() > 2 || kx_String_buffer_isDigit(static_cast<uint32_t>(s.size()), s.data()) != 1) return std::nullopt;
    unsigned value = 0;
    for (char c : s) value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 32) return std::nullopt;
    return static_cast<uint8_t>(value);
}

inline bool is_label_char(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

// A host name a resolver may be given: dot-separated non-empty labels of letters,
// digits, '-' and '_'. The last label must not be all digits, so text such as
// "1.2.3" or "1.2.3.300", which some resolvers read as numeric addresses, is refused.
bool valid_host_name(std::string_view s) {
    if (s.empty() || s.size() > kHostNameMax) return false;
    size_t labelStart = 0;
    for (size_t i = 0; i <= s.size(); ++i) {
        if (i < s.size() && s[i] != '.') {
            if (!is_label_char(s[i])) return false;
            continue;
        }
        size_t labelLength = i - labelStart;
        if (labelLength == 0 || labelLength > kLabelMax) return false;
        if (i == s.size() && all_digits(s.substr(labelStart))) return false;
        labelStart = i + 1;
    }
    return true;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Heap copy with a NUL behind it; null when memory is exhausted.
char *copy_text(std::string_view s) {
    char *out = static_cast<char *>(malloc(s.size() + 1));
    if (out == nullptr) return nullptr;
    if (!s.empty()) memcpy(out, s.data(), s.size());
    out[s.size()] = '\0';
    return out;
}

// Overflow-checked size arithmetic for the one-block parameter record.
inline bool add_size(size_t &total, size_t more) { return !__builtin_add_overflow(total, more, &total); }

// One query segment cut at its first '='. An empty side is absent.
struct Segment {
    std::string_view name, value;
    bool hasName, hasValue;
};

Segment split_segment(std::string_view seg) {
    size_t eq = seg.find('=');
    if (eq == std::string_view::npos) return {seg, {}, true, false};
    std::string_view name = seg.substr(0, eq), value = seg.substr(eq + 1);
    return {name, value, !name.empty(), !value.empty()};
}

// Calls fn for every non-empty '&'-separated segment of the query, in order.
template <class Fn>
void for_each_segment(std::string_view query, Fn fn) {
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string_view::npos) end = query.size();
        if (end > start) fn(split_segment(query.substr(start, end - start)));
        start = end + 1;
    }
}

// Bump writer inside the parameter block.
struct Cursor {
    char *at;
    char *put(std::string_view s) {
        char *out = at;
        if (!s.empty()) memcpy(at, s.data(), s.size());
        at[s.size()] = '\0';
        at += s.size() + 1;
        return out;
    }
};

kx_UrlParameter *new_parameter(std::string_view text) {
    size_t q = text.find('?');
    std::string_view path = q == std::string_view::npos ? text : text.substr(0, q);
    std::string_view query = q == std::string_view::npos ? std::string_view{} : text.substr(q + 1);

    // First pass: count pairs and text bytes. count <= query length, and every
    // addition is checked, so the block size cannot wrap.
    size_t count = 0, textBytes = path.size() + 1;
    bool ok = true;
    for_each_segment(query, [&](const Segment &s) {
        ++count;
        if (s.hasName) ok = ok && add_size(textBytes, s.name.size() + 1);
        if (s.hasValue) ok = ok && add_size(textBytes, s.value.size() + 1);
    });
    if (!ok || count > UINT32_MAX) return nullptr;
    size_t total = sizeof(kx_UrlParameter);
    size_t pairBytes;
    if (__builtin_mul_overflow(count, sizeof(kx_UrlParameterPair), &pairBytes)) return nullptr;
    if (!add_size(total, pairBytes) || !add_size(total, textBytes)) return nullptr;

    static_assert(sizeof(kx_UrlParameter) % alignof(kx_UrlParameterPair) == 0, "pairs follow the record aligned");
    auto *record = static_cast<kx_UrlParameter *>(malloc(total));
    if (record == nullptr) return nullptr;
    auto *pairs = reinterpret_cast<kx_UrlParameterPair *>(record + 1);
    Cursor cursor{reinterpret_cast<char *>(pairs + count)};
    record->count = static_cast<uint32_t>(count);
    record->parameters = count > 0 ? pairs : nullptr;
    record->path = cursor.put(path);
    size_t i = 0;
    for_each_segment(query, [&](const Segment &s) {
        pairs[i].name = s.hasName ? cursor.put(s.name) : nullptr;
        pairs[i].value = s.hasValue ? cursor.put(s.value) : nullptr;
        ++i;
    });
    return record;
}

void free_url(kx_Url *url) {
    free(url->path);
    free(url->hostName);
    free(url->username);
    free(url->password);
    free(url);
}

kx_Url *new_url(std::string_view text) {
    kx::UrlParts parts = kx::splitUrl(text);
    if (parts.hasScheme && !iequals(parts.scheme, "http")) return nullptr;
    std::string_view userinfo = parts.userinfo, host = parts.host, rest = parts.rest;
    bool hasUser = parts.hasUser;
    std::optional<uint16_t> port = parts.port.empty() ? std::optional<uint16_t>(kHttpPort) : kx::parsePort(parts.port);
    if (!port) return nullptr;
    std::optional<uint32_t> ipv4 = parse_quad(host);
    if (!ipv4 && !valid_host_name(host)) return nullptr;

    auto *url = static_cast<kx_Url *>(calloc(1, sizeof(kx_Url)));
    if (url == nullptr) return nullptr;
    url->protocol = KX_URL_PROTOCOL_HTTP;
    url->ipv4 = ipv4 ? *ipv4 : KX_IPV4_INVALID;
    url->port = *port;
    bool ok = true;
    if (!ipv4) ok = (url->hostName = copy_text(host)) != nullptr;
    if (ok && hasUser) {
        size_t sep = userinfo.find(':');
        ok = (url->username = copy_text(userinfo.substr(0, sep))) != nullptr;
        if (ok && sep != std::string_view::npos) ok = (url->password = copy_text(userinfo.substr(sep + 1))) != nullptr;
    }
    if (ok) {
        if (!rest.empty() && rest.front() == '/') {
            url->path = copy_text(rest);
        } else if ((url->path = static_cast<char *>(malloc(rest.size() + 2))) != nullptr) {
            // "host?q" or "host": the path is "/" followed by the query, if any
            url->path[0] = '/';
            if (!rest.empty()) memcpy(url->path + 1, rest.data(), rest.size());
            url->path[rest.size() + 1] = '\0';
        }
        ok = url->path != nullptr;
    }
    if (!ok) {
        free_url(url);
        return nullptr;
    }
    return url;
}

}  // namespace

namespace kx {

UrlParts splitUrl(std::string_view text) {
    UrlParts parts;
    size_t stop = text.find_first_of("/?#");
    size_t authorityStart = 0;
    if (stop != std::string_view::npos && text[stop] == '/' && stop > 0 && text[stop - 1] == ':' &&
        stop + 1 < text.size() && text[stop + 1] == '/') {
        parts.hasScheme = true;
        parts.scheme = text.substr(0, stop - 1);
        authorityStart = stop + 2;
    }
    size_t authorityEnd = text.find_first_of("/?#", authorityStart);
    if (authorityEnd == std::string_view::npos) authorityEnd = text.size();
    std::string_view authority = text.substr(authorityStart, authorityEnd - authorityStart);
    parts.rest = text.substr(authorityEnd);
    std::string_view hostPort = authority;
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        parts.hasUser = true;
        parts.userinfo = authority.substr(0, at);
        hostPort = authority.substr(at + 1);
    }
    size_t colon = hostPort.find(':');
    parts.host = hostPort.substr(0, colon);
    if (colon != std::string_view::npos) {
        parts.hasPort = true;
        parts.port = hostPort.substr(colon + 1);
    }
    return parts;
}

std::optional<uint16_t> parsePort(std::string_view s) {
    if (s.empty()) return std::nullopt;
    uint32_t value = 0;
    for (char c : s) {
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > 65535) return std::nullopt;
    }
    if (value == 0) return std::nullopt;
    return static_cast<uint16_t>(value);
}

}  // namespace kx

extern "C" {

uint32_t kx_ipv4_network_get(size_t length, const char *text) {
    if (text == nullptr) return KX_IPV4_INVALID;
    return parse_quad(std::string_view(text, length)).value_or(KX_IPV4_INVALID);
}

uint32_t kx_ipv4_get_from_string(kx_ipv4Network *result, size_t length, const char *text) {
    kx_ipv4Network out = {KX_IPV4_INVALID, 32};
    uint32_t rv = KX_IPV4_INVALID;
    // A CIDR text is at most 18 characters, so a length beyond 32 bits is plain bad text.
    if (text != nullptr && length <= UINT32_MAX) {
        std::string_view s(text, length);
        long slash = kx_String_buffer_indexOf(static_cast<uint32_t>(length), text, '/');
        if (slash < 0) {
            out.ipv4 = rv = parse_quad(s).value_or(KX_IPV4_INVALID);
        } else if (std::optional<uint32_t> address = parse_quad(s.substr(0, static_cast<size_t>(slash))); !address) {
            // bad address before '/': {invalid, 32}
        } else if (*address == 0) {
            out.ipv4 = rv = 0;
        } else if (std::optional<uint8_t> prefix = parse_prefix(s.substr(static_cast<size_t>(slash) + 1)); prefix) {
            out = {*address, *prefix};
            rv = *prefix;
        } else {
            out = {0, 32};
        }
    }
    if (result != nullptr) *result = out;
    return rv;
}

kx_UrlParameter *kx_UrlParameter_new_IO(const char *text, size_t length) {
    if (text == nullptr && length > 0) return nullptr;
    return new_parameter(text == nullptr ? std::string_view{} : std::string_view(text, length));
}

void kx_UrlParameter_delete__OI(kx_UrlParameter *parameter) { free(parameter); }

long kx_UrlParameter_indexOf(const kx_UrlParameter *parameter, const char *name) {
    if (parameter == nullptr || name == nullptr) return -1;
    for (uint32_t i = 0; i < parameter->count; ++i) {
        const char *n = parameter->parameters[i].name;
        if (n != nullptr && strcmp(n, name) == 0) return static_cast<long>(i);
    }
    return -1;
}

kx_Url *kx_Url_new_buffer__IO(const char *text, size_t length) {
    if (text == nullptr) return nullptr;
    return new_url(std::string_view(text, length));
}

kx_Url *kx_Url_new__IO(const char *text) {
    if (text == nullptr) return nullptr;
    return new_url(std::string_view(text, strlen(text)));
}

void kx_Url_delete__OI(kx_Url *url) {
    if (url != nullptr) free_url(url);
}

}  // extern "C"
