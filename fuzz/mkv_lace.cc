// Fuzzes the EBML numbers and the lace splitter. The first byte picks the lacing and how much
// of the block the reader is given; the frames of an accepted block lie end to end inside it,
// the last one ending exactly at its end, and a shorter window never gives another answer
// than "give me more" or the same frames.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "container/mkv_reader.hpp"
#include "core/bytereader.hpp"
#include "fuzz/check.hpp"

using kxfuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const unsigned lacing = data[0] & 3;
    const uint8_t *block = data + 1;
    const size_t n = size - 1;

    // EBML ids and sizes over the same bytes: each read stays inside and moves by its length.
    kx::ByteReader r(block, n);
    while (!r.empty()) {
        const size_t before = r.pos();
        uint32_t id;
        uint64_t v;
        size_t len = 0;
        if (!r.ebmlSize(&v, &len)) break;
        check(len >= 1 && len <= 8 && r.pos() == before + len, "size length");
        check(v == kx::ByteReader::kUnknownSize || v < (uint64_t(1) << (7 * len)), "size value");
        if (!r.ebmlId(&id)) break;
        check(id != 0, "id");
    }
    check(r.pos() <= n, "reader past its end");

    std::vector<kx::mkv::Lace> whole, part;
    const int rv = kx::mkv::splitLaces(kx::ByteReader(block, n), n, lacing, &whole);
    if (rv == kx::mkv::kLaceOk) {
        check(!whole.empty() && whole.size() <= 256, "frame count");
        uint64_t at = whole[0].offset;
        check(at >= 1 && at <= n, "first frame offset");
        for (const kx::mkv::Lace &l : whole) {
            check(l.offset == at && l.size <= n - at, "frames not end to end inside the block");
            at += l.size;
        }
        check(at == n, "last frame does not end with the block");
    } else {
        check(whole.empty() || rv == kx::mkv::kLaceOk, "frames left after a refusal");
        check(rv != kx::mkv::kLaceShort, "short with the whole block in view");
    }
    const size_t window = (data[0] >> 2) % (n + 1);
    const int prv = kx::mkv::splitLaces(kx::ByteReader(block, window), n, lacing, &part);
    if (prv == kx::mkv::kLaceOk) {
        check(rv == kx::mkv::kLaceOk && part.size() == whole.size(), "window changes the frames");
        for (size_t i = 0; i < part.size(); ++i)
            check(part[i].offset == whole[i].offset && part[i].size == whole[i].size, "window changes a frame");
    } else if (prv != kx::mkv::kLaceShort) {
        check(prv == rv, "window changes the refusal");
    }
    return 0;
}
