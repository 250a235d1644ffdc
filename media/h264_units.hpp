// NAL units of an Annex B byte stream, for the library's own packetizers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::h264 {

// The first start code (00 00 01 or 00 00 00 01) at or after from inside [0, length): its
// offset and size (3 or 4). The unit before it ends at that offset.
bool nextStartCode(const uint8_t *data, size_t from, size_t length, size_t *at, size_t *size);

// Calls fn(unit, size) for every NAL unit behind a start code, start codes removed, in
// order; bytes before the first start code are not a unit. Empty units are skipped.
template <typename Fn>
void forEachUnit(const uint8_t *data, size_t length, Fn &&fn) {
    size_t at = 0, code = 0;
    if (!nextStartCode(data, 0, length, &at, &code)) return;
    size_t begin = at + code;
    while (begin < length) {
        size_t next = length, nextCode = 0;
        if (!nextStartCode(data, begin, length, &next, &nextCode)) next = length;
        if (next > begin) fn(data + begin, next - begin);
        if (next >= length) break;
        begin = next + nextCode;
    }
}

}  // namespace kx::h264
