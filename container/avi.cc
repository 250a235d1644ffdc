// AVI files: the streaming writer and the index reader over the caller's open file.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "container/avi_layout.hpp"
#include "core/log.hpp"
#include "kx/avi.h"
#include "kx/objectlist.h"

namespace {

namespace avi = kx::avi;

unsigned long long handle(const video_avi *a) { return (unsigned long long)(uintptr_t)a->file; }

// The writer's state behind a failure record.
void failed(const video_avi *a) {
    video_avi_out(a, stdout);
    fputs(".\n", stdout);
    fflush(stdout);
}

bool writeAll(FILE *f, const void *p, size_t n) { return n == 0 || fwrite(p, 1, n, f) == n; }

int errnoOr(int fallback) { return errno ? errno : fallback; }

// Reads n bytes at an absolute offset; a record names what failed.
bool readAt(FILE *f, uint64_t at, void *out, size_t n) {
    if (fseeko(f, off_t(at), SEEK_SET) != 0) {
        KX_LOGE("Fseek error:\"%s\",[%llx],", kx::errtext(errnoOr(EINVAL)), (unsigned long long)at);
        return false;
    }
    errno = 0;
    if (n != 0 && fread(out, 1, n, f) != n) {
        KX_LOGE("Read data error:\"%s\",[%#llx],", ferror(f) ? kx::errtext(errnoOr(EIO)) : "unexpected end of file",
                (unsigned long long)at);
        return false;
    }
    return true;
}

uint32_t le32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

struct Deleter {
    video_avi *a;
    ~Deleter() {
        if (a) video_avi_delete__OI(&a);
    }
};

}  // namespace

extern "C" {

video_avi *video_avi_new_for_file_save__IO(uint32_t width, uint32_t height, uint8_t codec, FILE *file) {
    if (file == nullptr) return nullptr;
    const off_t start = ftello(file);
    if (start < 0 || fseeko(file, off_t(avi::kHeaderSize), SEEK_CUR) != 0) {
        KX_LOGS("video_avi_new_for_file_save__IO", "Fseek error:\"%s\",[%u,%u,%llx]", kx::errtext(errnoOr(EINVAL)),
                width, height, (unsigned long long)(uintptr_t)file);
        return nullptr;
    }
    auto *a = static_cast<video_avi *>(calloc(1, sizeof(video_avi)));
    kx_ObjectList *index = a ? kx_ObjectList_new__IO(10) : nullptr;
    if (index == nullptr) {
        KX_LOGE("Malloc error:\"%s\".", kx::errtext(ENOMEM));
        free(a);
        return nullptr;
    }
    a->width = width;
    a->height = height;
    a->codec = codec;
    a->fileSize = avi::kHeaderSize;
    a->index = index;
    a->file = file;
    a->headerStart = uint64_t(start);
    a->position = uint64_t(start) + avi::kHeaderSize;
    return a;
}

int64_t video_avi_file_save_frame(video_avi *a, uint32_t *length, const void *data) {
    if (a == nullptr || length == nullptr || (data == nullptr && *length != 0)) return VIDEO_AVI_ERROR_INVALID;
    if (a->entryBlock != nullptr || a->frameRate != 0) {
        KX_LOGE("Not a recording in progress,[%llu,%#llx].", (unsigned long long)a->fileSize, handle(a));
        return VIDEO_AVI_ERROR_INVALID;
    }
    const uint32_t size = *length;
    uint32_t padded = 0;
    if (!avi::paddedSize(size, &padded) || !avi::roomFor(a->fileSize, a->index->count, padded)) {
        KX_LOGE("Frame(len=%u) would take the file past 4 GiB,[%llu,%u,%#llx].", size,
                (unsigned long long)a->fileSize, a->index->count, handle(a));
        return VIDEO_AVI_ERROR_LIMIT;
    }
    auto *entry = static_cast<video_avi_index_entry *>(calloc(1, sizeof(video_avi_index_entry)));
    if (entry == nullptr) {
        KX_LOGE("Malloc error:\"%s\".", kx::errtext(ENOMEM));
        return VIDEO_AVI_ERROR_WRITE;
    }
    uint8_t head[avi::kChunkHead];
    avi::writeChunkHead(padded, head);
    static const uint8_t kZeros[3] = {0, 0, 0};
    errno = 0;
    if (!writeAll(a->file, head, sizeof head)) {
        KX_LOGS("video_avi_file_save_frame", "Write data error:\"%s\",[%u,%llx]", kx::errtext(errnoOr(EIO)), size,
                handle(a));
        failed(a);
        free(entry);
        return VIDEO_AVI_ERROR_WRITE;
    }
    // The rounding gap is ours: zero bytes, not whatever the file held there.
    if (!writeAll(a->file, data, size) || !writeAll(a->file, kZeros, padded - size)) {
        KX_LOGS("video_avi_file_save_frame", "Write data error:\"%s\",[%u,%u,%llx]", kx::errtext(errnoOr(EIO)), size,
                padded, handle(a));
        failed(a);
        free(entry);
        return VIDEO_AVI_ERROR_WRITE;
    }
    entry->offset = a->position + avi::kChunkHead;
    entry->size = padded;
    if (kx_ObjectList_insert_tail(a->index, entry) < 0) {
        free(entry);
        KX_LOGE("Malloc error:\"%s\".", kx::errtext(ENOMEM));
        return VIDEO_AVI_ERROR_WRITE;
    }
    a->fileSize += avi::kChunkHead + padded;
    a->position += avi::kChunkHead + padded;
    *length = padded;
    return int64_t(entry->offset);
}

int video_avi_file_save_finish(video_avi *a, double frameRate) {
    if (a == nullptr || a->entryBlock != nullptr) return VIDEO_AVI_ERROR_INVALID;
    // The frame rate is set once the index is out: a second finish would write another one.
    if (a->frameRate != 0) {
        KX_LOGE("Finished already,[%llu,%#llx].", (unsigned long long)a->fileSize, handle(a));
        return VIDEO_AVI_ERROR_INVALID;
    }
    const uint32_t us = avi::microsPerFrame(frameRate);
    if (us == 0) {
        KX_LOGE("Invalid frameRate(=%f).", frameRate);
        return VIDEO_AVI_ERROR_INVALID;
    }
    const uint32_t n = a->index->count;
    const uint64_t moviEnd = a->fileSize;
    // Index entries go out in runs of up to 4096.
    std::vector<uint8_t> run(avi::kIndexEntry * 4096);
    uint8_t head[8];
    memcpy(head, "idx1", 4);
    const uint32_t indexBytes = uint32_t(avi::kIndexEntry * n);
    for (int i = 0; i < 4; ++i) head[4 + i] = uint8_t(indexBytes >> (8 * i));
    errno = 0;
    bool ok = writeAll(a->file, head, sizeof head);
    for (uint32_t i = 0; ok && i < n;) {
        size_t used = 0;
        for (; i < n && used < run.size(); ++i, used += avi::kIndexEntry) {
            auto *e = static_cast<const video_avi_index_entry *>(a->index->array[a->index->start + i]);
            const uint64_t fromMovi = e->offset - avi::kChunkHead - (a->headerStart + avi::kMoviTag);
            avi::writeIndexEntry(uint32_t(fromMovi), e->size, run.data() + used);
        }
        ok = writeAll(a->file, run.data(), used);
    }
    if (!ok) {
        KX_LOGS("video_avi_file_save_finish", "Write data error:\"%s\",", kx::errtext(errnoOr(EIO)));
        failed(a);
        return VIDEO_AVI_ERROR_WRITE;
    }
    a->fileSize += 8 + uint64_t(indexBytes);
    a->position += 8 + uint64_t(indexBytes);
    a->frameRate = float(frameRate);

    avi::Header h;
    h.width = a->width;
    h.height = a->height;
    h.codec = a->codec;
    h.microsPerFrame = us;
    h.frames = n;
    h.moviEnd = moviEnd;
    h.fileSize = a->fileSize;
    uint8_t header[avi::kHeaderSize];
    avi::writeHeader(h, header);
    if (fflush(a->file) != 0) {
        KX_LOGS("video_avi_file_save_finish", "Write data error:\"%s\",[%llu]", kx::errtext(errnoOr(EIO)),
                (unsigned long long)a->fileSize);
        failed(a);
        return VIDEO_AVI_ERROR_WRITE;
    }
    if (fseeko(a->file, off_t(a->headerStart), SEEK_SET) != 0) {
        KX_LOGS("video_avi_file_save_finish", "fseek error:\"%s\",[%llu]", kx::errtext(errnoOr(EINVAL)),
                (unsigned long long)a->fileSize);
        failed(a);
        return VIDEO_AVI_ERROR_SEEK;
    }
    errno = 0;
    if (!writeAll(a->file, header, sizeof header) || fflush(a->file) != 0) {
        KX_LOGS("video_avi_file_save_finish", "Write data error:\"%s\",[%llu]", kx::errtext(errnoOr(EIO)),
                (unsigned long long)a->fileSize);
        failed(a);
        return VIDEO_AVI_ERROR_WRITE;
    }
    return 1;
}

video_avi *video_avi_new_from_file__IO(FILE *file) {
    if (file == nullptr) return nullptr;
    const off_t base = ftello(file);
    off_t end = -1;
    if (base >= 0 && fseeko(file, 0, SEEK_END) == 0) end = ftello(file);
    if (end < base) {
        KX_LOGE("Fseek error:\"%s\",[%llx],", kx::errtext(errnoOr(ESPIPE)), (unsigned long long)(uintptr_t)file);
        return nullptr;
    }
    const uint64_t start = uint64_t(base), length = uint64_t(end - base);
    const unsigned long long fh = (unsigned long long)(uintptr_t)file;

    uint8_t riff[12];
    if (length < sizeof riff || !readAt(file, start, riff, sizeof riff) || memcmp(riff, "RIFF", 4) != 0 ||
        memcmp(riff + 8, "AVI ", 4) != 0) {
        KX_LOGE("Not a avi file,[%#llx].", fh);
        return nullptr;
    }
    const uint64_t fileSize = uint64_t(le32(riff + 4)) + 8;
    if (fileSize > length) {
        KX_LOGE("Invalid lenth=%llu,[%llu,%#llx],", (unsigned long long)fileSize, (unsigned long long)length, fh);
        return nullptr;
    }
    const uint64_t riffEnd = start + fileSize;

    // Top-level chunks: the header list is read, the movi list only located, idx1 read.
    avi::StreamInfo info;
    bool haveHeader = false, haveMovi = false, haveIndex = false;
    uint64_t moviTag = 0, moviEnd = 0, indexAt = 0;
    uint32_t indexSize = 0;
    for (uint64_t at = start + 12; at + 8 <= riffEnd;) {
        uint8_t ck[12];
        if (!readAt(file, at, ck, 8)) return nullptr;
        const uint32_t id = le32(ck), size = le32(ck + 4);
        const uint64_t body = at + 8;
        if (body + size > riffEnd) {
            KX_LOGE("Invalid lenth=%u,[%llu,%#llx],", size, (unsigned long long)(at - start), fh);
            return nullptr;
        }
        if (id == avi::fourcc("LIST") && size >= 4) {
            if (!readAt(file, body, ck + 8, 4)) return nullptr;
            const uint32_t type = le32(ck + 8);
            if (type == avi::fourcc("hdrl") && !haveHeader) {
                if (size > (1u << 20)) {
                    KX_LOGE("Invalid lenth=%u,[%llu,%#llx],", size, (unsigned long long)(at - start), fh);
                    return nullptr;
                }
                std::vector<uint8_t> list(size - 4);
                if (!readAt(file, body + 4, list.data(), list.size())) return nullptr;
                const int rv = avi::parseHeaderList(kx::ByteReader(list.data(), list.size()), &info);
                if (rv == avi::kBadCodec) {
                    KX_LOGE("Invalid type=%#x,[%#llx],", info.codecTag, fh);
                    return nullptr;
                }
                if (rv != avi::kOk) {
                    KX_LOGE("Invalid header list(=%d),[%#llx],", rv, fh);
                    return nullptr;
                }
                haveHeader = true;
            } else if (type == avi::fourcc("movi") && !haveMovi) {
                moviTag = body;
                moviEnd = body + size;
                haveMovi = true;
            }
        } else if (id == avi::fourcc("idx1") && !haveIndex) {
            indexAt = body;
            indexSize = size;
            haveIndex = true;
        }
        at = body + size + (size & 1);
    }
    if (!haveHeader || !haveMovi || !haveIndex) {
        KX_LOGE("Not a avi file with an index(%d,%d,%d),[%#llx].", haveHeader, haveMovi, haveIndex, fh);
        return nullptr;
    }
    // The index body lies inside the file (checked above), so its size bounds the allocation.
    std::vector<uint8_t> raw(indexSize);
    if (!readAt(file, indexAt, raw.data(), raw.size())) return nullptr;
    std::vector<avi::Entry> entries;
    if (avi::parseIndex(kx::ByteReader(raw.data(), raw.size()), info.stream, moviTag, moviEnd, &entries) != avi::kOk) {
        KX_LOGE("Invalid index entry,[%u,%#llx],", indexSize, fh);
        return nullptr;
    }

    auto *a = static_cast<video_avi *>(calloc(1, sizeof(video_avi)));
    if (a == nullptr) return nullptr;
    Deleter guard{a};
    const uint32_t n = uint32_t(entries.size());
    a->index = kx_ObjectList_new_prefect__IO(n, 4);
    if (a->index == nullptr) return nullptr;
    if (n != 0) {
        a->entryBlock = static_cast<video_avi_index_entry *>(calloc(n, sizeof(video_avi_index_entry)));
        if (a->entryBlock == nullptr) {
            KX_LOGE("Malloc error:\"%s\".", kx::errtext(ENOMEM));
            return nullptr;
        }
        for (uint32_t i = 0; i < n; ++i) {
            a->entryBlock[i].offset = entries[i].offset;
            a->entryBlock[i].size = entries[i].size;
            a->index->array[a->index->start + i] = &a->entryBlock[i];
        }
    }
    a->width = info.width;
    a->height = info.height;
    a->codec = info.codec;
    a->frameRate = float(info.frameRate());
    a->fileSize = fileSize;
    a->file = file;
    a->headerStart = start;
    guard.a = nullptr;
    return a;
}

void video_avi_delete__OI(video_avi **pointerToAvi) {
    if (pointerToAvi == nullptr || *pointerToAvi == nullptr) return;
    video_avi *a = *pointerToAvi;
    *pointerToAvi = nullptr;
    if (a->index != nullptr) {
        if (a->entryBlock != nullptr) {
            kx_ObjectList_delete__OI(a->index);
            free(a->entryBlock);
        } else {
            kx_ObjectList_delete_allSequence_OI(a->index);
        }
    }
    free(a);
}

void video_avi_out(const video_avi *a, FILE *stream) {
    if (a == nullptr || stream == nullptr) return;
    fprintf(stream, "%u,%u,%hhu,%f,%llu,%#llx", a->width, a->height, a->codec, double(a->frameRate),
            (unsigned long long)a->fileSize, handle(a));
}

}  // extern "C"
