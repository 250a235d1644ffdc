// Fuzzes session descriptions: media sections, control values, SETUP URLs and the
// sprop-parameter-sets decoding.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <string_view>

#include "rtsp/client/sdp.hpp"

using namespace kx::rtsp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] { return freopen("/dev/null", "w", stdout) != nullptr; }();
    (void)quiet;
    std::string sdp(reinterpret_cast<const char *>(data), size);
    for (const MediaSection &s : parseSdp(sdp)) {
        if (s.control.find_first_of(std::string("\r\n \0", 4)) != std::string::npos) abort();
        if (s.payloadType > 127 || s.payloadType < -1) abort();
        if (s.text.data() < sdp.data() || s.text.data() + s.text.size() > sdp.data() + sdp.size()) abort();
        std::string url = setupUrl("rtsp://127.0.0.1:554/a", s.control);
        if (url.empty()) abort();
        std::string code;
        if (spropParameterSets(s.text, code)) {
            if (code.size() < 10 || code.compare(0, 4, std::string("\0\0\0\1", 4)) != 0) abort();
        } else if (!code.empty()) {
            abort();
        }
    }
    std::string code;
    spropParameterSets(sdp, code);
    return 0;
}
