// A file-streaming request's text on arbitrary bytes: the three parameters must come out as
// finite numbers in range (or their defaults), and a request path must be accepted only when
// its decoded form stays below the root (no "." or ".." name, no NUL, no encoded "/").
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "serve/filestream_engine.hpp"

namespace fs = kx::filestream;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    std::string s(reinterpret_cast<const char *>(data), size);

    // Parameters: the text up to its first NUL, as the request's decoded value would be.
    std::string z = s.substr(0, s.find('\0'));
    fs::Params p = fs::parseParams(z.c_str(), z.c_str(), z.c_str());
    if (!(p.from == -1.0 || (isfinite(p.from) && p.from >= 0.0))) __builtin_trap();
    if (!(p.fps == -1.0 || (isfinite(p.fps) && p.fps > 0.0 && p.fps <= fs::kMaxFps))) __builtin_trap();
    if (p.streamType > 3) __builtin_trap();

    // Paths.
    std::string decoded;
    if (fs::percentDecode(s, &decoded)) {
        if (decoded.size() > s.size() || decoded.find('\0') != std::string::npos) __builtin_trap();
        if (fs::pathAcceptable(decoded)) {
            if (decoded[0] != '/' || decoded.back() == '/') __builtin_trap();
            std::string wrapped = decoded + "/";
            if (wrapped.find("/../") != std::string::npos || wrapped.find("/./") != std::string::npos)
                __builtin_trap();
        }
    }

    // A cursor over a small file, positioned and walked by the bytes: every frame named lies
    // in the file, and the record bound holds.
    if (size >= 4) {
        uint32_t frames = 1 + data[0];
        std::vector<uint32_t> keys;
        for (uint32_t i = 0; i < frames; i += 1 + (data[1] & 15)) keys.push_back(i);
        fs::Cursor cur(frames, 25.0, p.fps, keys, true, {{frames * 2, 50.0}});
        cur.start(data[2], p.from, 0.0);
        double now = 0.0;
        for (size_t i = 3; i < size && !cur.finished(); ++i) {
            if (data[i] < 16) cur.update(data[i] & 3, p.from, now);
            now += data[i] / 100.0;
            uint32_t waiting = data[i] & 31;
            std::vector<fs::Feed> b = cur.batch(now, waiting);
            if (waiting + b.size() > fs::kFramesPerTrack * cur.trackCount() && !b.empty()) __builtin_trap();
            for (const fs::Feed &f : b)
                if ((f.track == 0 && f.index >= frames) || (f.track == 1 && f.index >= frames * 2) || f.track > 1)
                    __builtin_trap();
        }
    }
    return 0;
}
