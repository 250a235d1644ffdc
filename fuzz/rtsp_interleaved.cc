// Fuzzes the interleaved RTP reassembly. The stream is fed once in one piece per request
// and once in chunk sizes drawn from the input; both must give the same frames and end.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "kx/memory.h"
#include "rtsp/client/interleaved.hpp"

using namespace kx::rtsp;

namespace {

struct Outcome {
    std::vector<std::string> frames;
    int result = 0;
};

Outcome run(const uint8_t *data, size_t size, const uint8_t *chunks, size_t nChunks) {
    Outcome out;
    uint32_t bufferSize = 16;
    auto *buffer = static_cast<unsigned char *>(kx_memery_malloc(bufferSize));
    {
        Reassembler r(&buffer, &bufferSize);
        r.reset(0, 96);
        r.setMaxFrame(1 << 20);
        r.setVideoCode(std::string("\0\0\0\1\x67\x42\0\0\0\1\x68\xce", 12));
        size_t pos = 0, c = 0;
        for (;;) {
            if (r.frameReady()) {
                if (r.frameLength() == 0 || r.frameLength() > (1u << 20) || r.frameLength() > bufferSize) abort();
                if (memcmp(buffer, "\0\0\0\1", 4) != 0) abort();
                out.frames.emplace_back(reinterpret_cast<char *>(buffer), r.frameLength());
                int v = r.frameDone();
                if (v < 0) {
                    out.result = v;
                    break;
                }
                continue;
            }
            Reassembler::Span span = r.want();
            if (span.size == 0 || pos == size) break;
            size_t k = span.size;
            if (nChunks) k = std::min<size_t>(k, chunks[c++ % nChunks] % 37 + 1);
            k = std::min(k, size - pos);
            memcpy(span.data, data + pos, k);
            pos += k;
            int v = r.commit(k);
            if (v < 0) {
                out.result = v;
                break;
            }
        }
    }
    kx_memery_free(buffer, bufferSize);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] { return freopen("/dev/null", "w", stdout) != nullptr; }();
    (void)quiet;
    if (size < 8) return 0;
    Outcome whole = run(data + 8, size - 8, nullptr, 0);
    Outcome pieces = run(data + 8, size - 8, data, 8);
    if (whole.result != pieces.result || whole.frames != pieces.frames) abort();
    return 0;
}
