// RTSP answers: completing an answer that arrives in pieces, and reading its parts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kx::rtsp {

// Largest answer (header block plus body) the client accepts.
inline constexpr size_t kAnswerCap = 64 * 1024;

struct AnswerScan {
    enum State { incomplete, complete, tooLarge, malformed } state = incomplete;
    size_t headerLength = 0;  // through the empty line
    size_t bodyLength = 0;    // Content-Length, 0 when absent
    size_t total() const { return headerLength + bodyLength; }
};

// Judges the bytes received so far: complete once the header block and its
// Content-Length body are there; tooLarge when either would pass cap; malformed for a
// Content-Length that is not a plain decimal number.
AnswerScan scanAnswer(std::string_view data, size_t cap = kAnswerCap);

// Status code of "RTSP/1.x nnn ..." (also "RTSP/2.0"), -1 when the text is not a status line.
int answerStatus(std::string_view data);

// Session identifier of a Session header value: ends at ';', blank, tab, CR or LF.
std::string_view sessionId(std::string_view value);

// The "timeout=" of a Session header value in seconds, -1 when none.
long sessionTimeout(std::string_view value);

// Interleaved channel pair of a Transport header value ("interleaved=a-b"); false when absent.
bool transportChannel(std::string_view value, unsigned *first);

}  // namespace kx::rtsp
