#include "rtsp/client/answer.hpp"

#include "rtsp/client/text.hpp"

namespace kx::rtsp {

AnswerScan scanAnswer(std::string_view data, size_t cap) {
    AnswerScan scan;
    size_t end = data.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        scan.state = data.size() >= cap ? AnswerScan::tooLarge : AnswerScan::incomplete;
        return scan;
    }
    scan.headerLength = end + 4;
    if (scan.headerLength > cap) {
        scan.state = AnswerScan::tooLarge;
        return scan;
    }
    bool found = false;
    std::string_view value = headerValue(data.substr(0, scan.headerLength), "Content-Length", &found);
    if (found) {
        long n = parseSmallNumber(value);
        if (n < 0) {
            // Either not a number or more than nine digits.
            bool digits = !value.empty();
            for (char c : value) digits = digits && ((c >= '0' && c <= '9') || c == ' ' || c == '\t');
            scan.state = digits ? AnswerScan::tooLarge : AnswerScan::malformed;
            return scan;
        }
        if (static_cast<size_t>(n) > cap - scan.headerLength) {
            scan.state = AnswerScan::tooLarge;
            return scan;
        }
        scan.bodyLength = static_cast<size_t>(n);
    }
    scan.state = data.size() >= scan.total() ? AnswerScan::complete : AnswerScan::incomplete;
    return scan;
}

int answerStatus(std::string_view data) {
    if (data.size() < 12 || data.substr(0, 5) != "RTSP/") return -1;
    size_t sp = data.find(' ');
    if (sp == std::string_view::npos || sp > 9 || sp + 4 > data.size()) return -1;
    int code = 0;
    for (size_t i = sp + 1; i < sp + 4; ++i) {
        if (data[i] < '0' || data[i] > '9') return -1;
        code = code * 10 + (data[i] - '0');
    }
    if (sp + 4 < data.size() && data[sp + 4] != ' ' && data[sp + 4] != '\r' && data[sp + 4] != '\n') return -1;
    return code;
}

std::string_view sessionId(std::string_view value) {
    size_t i = 0;
    while (i < value.size() && value[i] != ';' && value[i] != ' ' && value[i] != '\t' && value[i] != '\r' &&
           value[i] != '\n')
        ++i;
    return value.substr(0, i);
}

long sessionTimeout(std::string_view value) {
    size_t at = ifind(value, ";timeout=");
    if (at == std::string_view::npos) return -1;
    std::string_view rest = value.substr(at + 9);
    size_t i = 0;
    while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') ++i;
    return parseSmallNumber(rest.substr(0, i));
}

bool transportChannel(std::string_view value, unsigned *first) {
    size_t at = ifind(value, "interleaved=");
    if (at == std::string_view::npos) return false;
    std::string_view rest = value.substr(at + 12);
    size_t i = 0;
    unsigned n = 0;
    while (i < rest.size() && i < 3 && rest[i] >= '0' && rest[i] <= '9') n = n * 10 + static_cast<unsigned>(rest[i++] - '0');
    if (i == 0 || n > 255) return false;
    *first = n;
    return true;
}

}  // namespace kx::rtsp
