// Small text helpers shared by the RTSP client's protocol engines: bounded formatting,
// case-insensitive search, header lookup.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx::rtsp {

// Appends printf-formatted text; the string grows to fit.
void appendf(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

bool iequals(std::string_view a, std::string_view b);
bool istartsWith(std::string_view text, std::string_view prefix);
// Position of needle in text ignoring ASCII case, npos when absent.
size_t ifind(std::string_view text, std::string_view needle, size_t from = 0);

// Value of the first header line "name: value" of an answer's header block (the status
// line is skipped), the name compared without regard to case. The value starts after
// blanks and ends before CR or LF. found is false when no such line exists.
std::string_view headerValue(std::string_view head, std::string_view name, bool *found);

// Decimal number of at most 9 digits after optional blanks, the rest of the text being
// blanks only; -1 otherwise.
long parseSmallNumber(std::string_view text);

// "a.b.c.d:port" from a network-order address.
std::string serverText(uint32_t ipv4, uint16_t port);

// 32 lower-case hexadecimal characters of the MD5 of text.
std::string md5hex(std::string_view text);

}  // namespace kx::rtsp
