// Fuzzes the RTSP answer handling: completion of an answer, status, header lookup, session
// and transport values, and the authorization challenge of a 401 answer.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <string_view>

#include "rtsp/client/answer.hpp"
#include "rtsp/client/auth.hpp"
#include "rtsp/client/text.hpp"

using namespace kx::rtsp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] { return freopen("/dev/null", "w", stdout) != nullptr; }();
    (void)quiet;
    std::string_view text(reinterpret_cast<const char *>(data), size);
    AnswerScan scan = scanAnswer(text, 4096);
    if (scan.state == AnswerScan::complete) {
        if (scan.total() > size || scan.total() > 4096) abort();
        // The answer alone is complete too, with the same extent.
        AnswerScan again = scanAnswer(text.substr(0, scan.total()), 4096);
        if (again.state != AnswerScan::complete || again.total() != scan.total()) abort();
        if (scan.total() > 0 && scanAnswer(text.substr(0, scan.total() - 1), 4096).state == AnswerScan::complete)
            abort();
        std::string_view head = text.substr(0, scan.headerLength);
        int code = answerStatus(head);
        if (code != -1 && (code < 0 || code > 999)) abort();
        bool found = false;
        std::string_view id = sessionId(headerValue(head, "Session", &found));
        if (id.find_first_of("; \t\r\n") != std::string_view::npos) abort();
        unsigned channel = 0;
        if (transportChannel(headerValue(head, "Transport", &found), &channel) && channel > 255) abort();
        sessionTimeout(headerValue(head, "Session", &found));
        auto auth = Authorization::fromChallenge(head, "user", "pass");
        if (auth) {
            std::string h = auth->header("DESCRIBE", "rtsp://127.0.0.1:554/x");
            if (h.size() < 2 || h.compare(h.size() - 2, 2, "\r\n") != 0) abort();
        }
    }
    return 0;
}
