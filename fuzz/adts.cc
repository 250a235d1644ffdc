// Fuzzes the ADTS reader: the frame walker over the bytes, and the file reader over the same
// bytes as a stream. Every payload lies inside the input, no frame is shorter than its header,
// and both give the same frames.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "container/aac.hpp"
#include "fuzz/check.hpp"
#include "kx/aac.h"
#include "kx/objectlist.h"

using kxfuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> copy(data, data + size);
    kx::ByteReader r(copy.data(), copy.size());
    std::vector<uint16_t> lengths;
    for (;;) {
        kx::aac::AdtsHeader h;
        const uint8_t *payload = nullptr;
        if (kx::aac::adtsNext(r, &h, &payload) != kx::aac::kAdtsOk) break;
        check(h.frameLength >= h.headerLength, "frame shorter than its header");
        check(payload >= copy.data() && payload + h.payloadLength <= copy.data() + copy.size(), "payload outside");
        lengths.push_back(h.payloadLength);
    }
    FILE *f = fmemopen(copy.data(), copy.size(), "rb");
    if (f == nullptr) return 0;
    kx_ObjectList *list = audio_aac_object_get_from_fd__IO(f, 0, 0, 0, 0, "fuzz");
    fclose(f);
    size_t n = list ? list->count : 0;
    check(n == lengths.size(), "file reader and walker disagree");
    for (size_t i = 0; i < n; ++i) {
        auto *o = static_cast<audio_aac_object *>(list->array[list->start + i]);
        check(o->dataLenth == lengths[i], "payload length differs");
        kx_Object_delete__OI(&o->object);
    }
    if (list) kx_ObjectList_delete__OI(list);
    return 0;
}
