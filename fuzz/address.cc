// Dotted-quad and CIDR parsers on arbitrary bytes, checked against a reference
// reading of the same text, plus the query and URL splitters.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "kx/address.h"

namespace {

// Reference: four groups of 1-3 digits (each <= 255) joined by single dots.
bool reference_quad(std::string_view s, unsigned char out[4]) {
    if (s.size() < 7 || s.size() > 15) return false;
    size_t i = 0;
    for (int o = 0; o < 4; ++o) {
        if (o > 0 && (i >= s.size() || s[i++] != '.')) return false;
        size_t start = i;
        unsigned v = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 4) v = v * 10 + unsigned(s[i++] - '0');
        if (i == start || i - start > 3 || v > 255) return false;
        out[o] = static_cast<unsigned char>(v);
    }
    return i == s.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    // Exact-size copy: any read past the counted length is a heap overflow.
    char *text = static_cast<char *>(malloc(size ? size : 1));
    if (size) memcpy(text, data, size);
    std::string_view s(text, size);

    unsigned char octet[4];
    uint32_t ipv4 = kx_ipv4_network_get(size, text);
    if (reference_quad(s, octet)) {
        if (memcmp(&ipv4, octet, 4) != 0) __builtin_trap();
    } else if (ipv4 != KX_IPV4_INVALID) {
        __builtin_trap();
    }

    kx_ipv4Network net;
    uint32_t rv = kx_ipv4_get_from_string(&net, size, text);
    if (net.prefix > 32) __builtin_trap();
    if (s.find('/') == std::string_view::npos && (rv != ipv4 || net.ipv4 != ipv4)) __builtin_trap();

    kx_UrlParameter *parameter = kx_UrlParameter_new_IO(text, size);
    if (parameter == nullptr) __builtin_trap();
    kx_UrlParameter_delete__OI(parameter);
    kx_Url_delete__OI(kx_Url_new_buffer__IO(text, size));
    free(text);
    return 0;
}
