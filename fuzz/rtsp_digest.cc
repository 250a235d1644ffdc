// Fuzzes the authorization challenge: Digest parameters in any order, quoting and spacing,
// Basic, and the request headers made from them.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "rtsp/client/auth.hpp"

using namespace kx::rtsp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] { return freopen("/dev/null", "w", stdout) != nullptr; }();
    (void)quiet;
    std::string challenge = "RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\nWWW-Authenticate: ";
    challenge.append(reinterpret_cast<const char *>(data), size);
    challenge += "\r\n\r\n";
    auto auth = Authorization::fromChallenge(challenge, "admin", "secret");
    if (!auth) return 0;
    for (const char *method : {"OPTIONS", "DESCRIBE", "SETUP", "PLAY", "GET_PARAMETER", "SET_PARAMETER"}) {
        std::string h = auth->header(method, "rtsp://127.0.0.1:554/live");
        if (h.compare(0, 15, "Authorization: ") != 0) abort();
        if (h.size() < 17 || h.compare(h.size() - 2, 2, "\r\n") != 0) abort();
        // Nothing the server sent may break the header line.
        if (h.find_first_of("\r\n") != h.size() - 2) abort();
        for (unsigned char ch : h.substr(0, h.size() - 2))
            if ((ch < 0x20 && ch != '\t') || ch == 0x7f) abort();
        if (auth->scheme() == Authorization::Scheme::digest && h.find("response=\"") == std::string::npos) abort();
    }
    return 0;
}
