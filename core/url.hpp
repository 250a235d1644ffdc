// The one URL splitter of the library: scheme "://" [userinfo "@"] host [":" port] [rest].
//
// The authority runs from behind "://" to the first '/', '?' or '#'; the user info is what
// precedes the last '@' inside it, so '@' in a password ("admin:p@ss@host") or in a path
// ("host/live@main") is never taken for the separator. Callers judge the parts (which
// scheme, whether a user part needs a password, which port default) themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kx {

struct UrlParts {
    bool hasScheme = false;
    std::string_view scheme;    // before "://"
    bool hasUser = false;
    std::string_view userinfo;  // before the last '@' of the authority
    std::string_view host;
    bool hasPort = false;
    std::string_view port;      // behind the first ':' of host[:port], possibly empty
    std::string_view rest;      // from the first '/', '?' or '#' behind the authority on
};

// The scheme is only recognised before the first '/', '?' or '#', so a "://" inside a path
// or query is not mistaken for one; without a scheme the text starts with the authority.
UrlParts splitUrl(std::string_view text);

// Decimal port 1..65535 (leading zeros allowed); nullopt for anything else, also for "".
std::optional<uint16_t> parsePort(std::string_view text);

}  // namespace kx
