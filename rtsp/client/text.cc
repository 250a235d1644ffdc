#include "rtsp/client/text.hpp"

#include <cstdio>

#include "kx/string.h"

namespace kx::rtsp {

namespace {
void vappendf(std::string &out, const char *fmt, va_list ap) {
    char small[256];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(n) + 1);
    vsnprintf(&out[at], static_cast<size_t>(n) + 1, fmt, ap);
    out.resize(at + static_cast<size_t>(n));
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

void appendf(std::string &out, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vappendf(out, fmt, ap);
    va_end(ap);
}

std::string format(const char *fmt, ...) {
    std::string out;
    va_list ap;
    va_start(ap, fmt);
    vappendf(out, fmt, ap);
    va_end(ap);
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool istartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

size_t ifind(std::string_view text, std::string_view needle, size_t from) {
    if (needle.empty()) return from <= text.size() ? from : std::string_view::npos;
    for (size_t i = from; i + needle.size() <= text.size(); ++i)
        if (iequals(text.substr(i, needle.size()), needle)) return i;
    return std::string_view::npos;
}

std::string_view headerValue(std::string_view head, std::string_view name, bool *found) {
    if (found) *found = false;
    size_t pos = head.find('\n');
    while (pos != std::string_view::npos && pos + 1 < head.size()) {
        size_t start = pos + 1;
        size_t end = head.find('\n', start);
        std::string_view line = head.substr(start, end == std::string_view::npos ? head.size() - start : end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (istartsWith(line, name)) {
            size_t i = name.size();
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
            if (i < line.size() && line[i] == ':') {
                ++i;
                while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
                if (found) *found = true;
                return line.substr(i);
            }
        }
        pos = end;
    }
    return {};
}

long parseSmallNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    long value = 0;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (++digits > 9) return -1;
        value = value * 10 + (text[i] - '0');
        ++i;
    }
    if (digits == 0) return -1;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    return i == text.size() ? value : -1;
}

std::string serverText(uint32_t ipv4, uint16_t port) {
    const auto *b = reinterpret_cast<const unsigned char *>(&ipv4);
    return format("%hhu.%hhu.%hhu.%hhu:%hu", b[0], b[1], b[2], b[3], port);
}

std::string md5hex(std::string_view text) {
    char out[32];
    out[0] = 0;  // lower case
    kx_String_buffer_md5sum_string(out, static_cast<uint32_t>(text.size()), text.data());
    return std::string(out, 32);
}

}  // namespace kx::rtsp
