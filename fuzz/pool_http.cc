// Fuzzes the pool's HTTP framer. The input is fed once whole and once in chunk sizes drawn
// from its first bytes; both must cut the same messages and end with the same result, and
// every message must be a header ending in an empty line with its length stored behind it.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/check.hpp"
#include "serve/framer.hpp"

using namespace kx::pool;

namespace {

using kxfuzz::check;

struct Outcome {
    std::vector<std::string> messages;
    int result = 1;
};

Outcome run(const uint8_t *data, size_t size, const uint8_t *chunks, size_t nChunks) {
    Limits limits;
    limits.maxHeader = 4096;
    limits.maxContent = 65536;
    HttpFramer f(limits);
    Outcome o;
    Messages out;
    size_t pos = 0, c = 0;
    while (pos < size && o.result == 1) {
        size_t n = nChunks ? 1 + chunks[c++ % nChunks] % 97 : size;
        if (n > size - pos) n = size - pos;
        o.result = f.feed(data + pos, n, out);
        pos += n;
        check(f.capacity() <= limits.maxHeader + limits.maxContent, "buffer beyond the limits");
    }
    for (kx_String *s : out) {
        check(s->buffer[s->lenth] == 0, "message not NUL-terminated");
        uint32_t h;
        memcpy(&h, s->buffer + s->lenth + 1, 4);
        check(h >= 4 && h <= s->lenth && h <= limits.maxHeader, "header length");
        check(memcmp(s->buffer + h - 4, "\r\n\r\n", 4) == 0, "header does not end in an empty line");
        o.messages.emplace_back(s->buffer, s->lenth);
        kx_String_delete__OI(s);
    }
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t nChunks = size > 0 ? data[0] % 16 : 0;
    if (nChunks + 1 > size) nChunks = 0;
    const uint8_t *chunks = data + 1;
    const uint8_t *stream = data + 1 + nChunks;
    size_t streamSize = size > nChunks ? size - 1 - nChunks : 0;
    if (size == 0) streamSize = 0;
    Outcome whole = run(stream, streamSize, nullptr, 0);
    Outcome pieces = run(stream, streamSize, chunks, nChunks);
    check(whole.result == pieces.result, "result depends on the chunk sizes");
    check(whole.messages == pieces.messages, "messages depend on the chunk sizes");
    return 0;
}
