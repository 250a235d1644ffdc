// Fuzzes the AVI index reader over a file in memory: whatever the header, the chunk sizes and
// the index claim, a file is refused or every frame it lists lies inside the file, in order of
// the index, with the record's fields in range.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "fuzz/check.hpp"
#include "kx/avi.h"
#include "kx/objectlist.h"

using kxfuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> copy(data, data + size);
    FILE *f = fmemopen(copy.data(), copy.size(), "rb");
    if (f == nullptr) return 0;
    video_avi *a = video_avi_new_from_file__IO(f);
    if (a != nullptr) {
        check(a->fileSize <= size, "RIFF size past the file");
        check(a->codec == VIDEO_AVI_CODEC_MJPEG || a->codec == VIDEO_AVI_CODEC_H264, "codec");
        check(a->frameRate > 0, "frame rate");
        check(a->index->count <= size / 16, "more frames than index entries fit");
        for (uint32_t i = 0; i < a->index->count; ++i) {
            auto *e = static_cast<const video_avi_index_entry *>(a->index->array[a->index->start + i]);
            check(e->offset <= size && e->size <= size - e->offset, "frame outside the file");
        }
        video_avi_delete__OI(&a);
        check(a == nullptr, "pointer cleared");
    }
    fclose(f);
    return 0;
}
