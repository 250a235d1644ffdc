// Fuzzes the pool's standard framers ("standard" and "standard2" lengths, and a caller's
// length function over a 3-byte head). The input is fed once whole and once in chunk sizes
// drawn from its first bytes; both must give the same messages and result, and every message
// must carry the length its head announced.
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

int three_byte_length(void *, const uint8_t *head, size_t headLength, kx_String **message) {
    if (headLength != 3 || head[2] == 0xEE) return -9;
    *message = kx_String_new__IO(3u + head[0] + (head[1] << 8));
    return 1;
}

struct Outcome {
    std::vector<std::string> messages;
    int result = 1;
};

Outcome run(StandardFramer::Kind kind, const uint8_t *data, size_t size, const uint8_t *chunks, size_t nChunks) {
    Limits limits;
    limits.maxMessage = 1 << 16;
    StandardFramer f(kind == StandardFramer::custom ? 3 : 8, kind, limits);
    f.setLengthFn(three_byte_length, nullptr);
    Outcome o;
    Messages out;
    size_t pos = 0, c = 0;
    while (pos < size && o.result == 1) {
        size_t n = nChunks ? 1 + chunks[c++ % nChunks] % 97 : size;
        if (n > size - pos) n = size - pos;
        o.result = f.feed(data + pos, n, out);
        pos += n;
    }
    for (kx_String *s : out) {
        check(s->lenth >= f.headLength() && s->lenth <= limits.maxMessage, "message length");
        if (kind != StandardFramer::custom) {
            uint32_t len;
            memcpy(&len, s->buffer + 4, 4);
            check((kind == StandardFramer::standard2 ? len : len + 8u) == s->lenth, "length differs from the head");
        }
        o.messages.emplace_back(s->buffer, s->lenth);
        kx_String_delete__OI(s);
    }
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    auto kind = static_cast<StandardFramer::Kind>(data[0] % 3);
    size_t nChunks = data[1] % 16;
    if (nChunks + 2 > size) nChunks = 0;
    const uint8_t *chunks = data + 2;
    const uint8_t *stream = data + 2 + nChunks;
    size_t streamSize = size - 2 - nChunks;
    Outcome whole = run(kind, stream, streamSize, nullptr, 0);
    Outcome pieces = run(kind, stream, streamSize, chunks, nChunks);
    check(whole.result == pieces.result, "result depends on the chunk sizes");
    check(whole.messages == pieces.messages, "messages depend on the chunk sizes");
    return 0;
}
