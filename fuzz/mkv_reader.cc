// Fuzzes the Matroska reader over a file in memory: the C constructor through fmemopen and the
// engine over the same bytes agree; every indexed frame lies inside the segment; the sample
// readers take every frame of the index without reading or writing outside their buffers.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "container/mkv_reader.hpp"
#include "fuzz/check.hpp"
#include "kx/mkv.h"
#include "kx/objectlist.h"

using kxfuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> copy(data, data + size);
    kx::mkv::MemorySource src(copy.data(), copy.size());
    kx::mkv::Index ix;
    const int rv = kx::mkv::readIndex(src, 0, &ix, kx::mkv::Limits{1u << 16, 1u << 20});

    FILE *f = fmemopen(copy.data(), copy.size(), "rb");
    if (f == nullptr) return 0;
    video_mkv *m = video_mkv_new_from_file__IO(f);
    check((m != nullptr) == (rv == 1), "file reader and engine disagree");
    if (m != nullptr) {
        check(m->fileEnd <= size, "segment past the file");
        check(m->entryCount + 1u == ix.rows.size(), "row count differs");
        std::vector<uint8_t> key;
        for (unsigned t = 1; t <= m->entryCount; ++t) {
            const video_mkv_track &row = m->rows[t];
            check(row.frames->count == ix.rows[t].frames.size(), "frame count differs");
            const uint32_t privLength = VIDEO_MKV_CODECPRIVATE_LENGTH(row.codecPrivate);
            if (row.type == VIDEO_MKV_TRACK_VIDEO && row.codec == VIDEO_MKV_CODEC_H264) {
                key.assign(VIDEO_MKV_KEYDATA_MAX(privLength), 0);
                check(video_mkv_h264_get_keyData(key.data(), static_cast<uint32_t>(key.size()), row.codecPrivate) == 1,
                      "indexed H.264 track without key data");
            }
            for (uint32_t i = 0; i < row.frames->count; ++i) {
                const auto *fr = static_cast<const video_mkv_frame *>(row.frames->array[row.frames->start + i]);
                check(fr->offset <= m->fileEnd && fr->size <= m->fileEnd - fr->offset, "frame outside the segment");
                if (i >= 64) continue;
                std::vector<uint8_t> out(fr->size + key.size() + 7);
                const uint32_t cap = static_cast<uint32_t>(out.size());
                if (row.type == VIDEO_MKV_TRACK_VIDEO && row.codec == VIDEO_MKV_CODEC_H264) {
                    int n = video_mkv_read_h264Stream_from_file(out.data(), cap, (fr->flags & 1) ? key.data() : nullptr,
                                                                f, fr->offset, fr->size);
                    check(n < 0 || static_cast<uint32_t>(n) <= cap, "H.264 sample longer than its buffer");
                } else if (row.type == VIDEO_MKV_TRACK_AUDIO) {
                    int n = video_mkv_read_aacStream_from_file(out.data(), cap, row.codecPrivate, f, fr->offset, fr->size);
                    check(n < 0 || n == static_cast<int>(fr->size + 7), "ADTS frame of the wrong length");
                }
            }
        }
        if (m->firstAudioTrack) {
            kx_String *s = video_mkv_file_to_aac__IO(m, 0);
            if (s) kx_String_delete__OI(s);
        }
        video_mkv_delete__OI(m);
    }
    fclose(f);
    return 0;
}
