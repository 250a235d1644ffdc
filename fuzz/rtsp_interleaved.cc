// Fuzzes the interleaved RTP reassembly. The stream is fed once in one piece per request,
// once in chunk sizes drawn from the input and once from memory in larger chunks; all three
// must give the same frames and end.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
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

// memory: the bytes are handed over with feed() in the chunk sizes, as the client's reads do.
Outcome run(const uint8_t *data, size_t size, const uint8_t *chunks, size_t nChunks, bool memory = false) {
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
            if (memory) {
                if (pos == size) break;
                size_t k = std::min<size_t>(size - pos, chunks[c++ % nChunks] * 263u + 1);
                int v = 0;
                size_t used = r.feed(data + pos, k, &v);
                if (used > k) abort();
                pos += used;
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
    Outcome fed = run(data + 8, size - 8, data, 8, true);
    if (whole.result != fed.result || whole.frames != fed.frames) abort();
    return 0;
}
