// Matroska codec data: codec private blocks, key data, and the sample readers that turn stored
// frames back into Annex-B H.264 and ADTS AAC.
#include "container/mkv_codec.hpp"

#include <errno.h>
#include <limits.h>
#include <string.h>

#include <string>

#include "core/bytereader.hpp"
#include "core/log.hpp"
#include "kx/h264.h"
#include "kx/memory.h"
#include "kx/mkv.h"
#include "kx/objectlist.h"
#include "kx/string.h"

namespace kx::mkv {

long keyDataOf(const uint8_t *avcc, size_t n, uint8_t *out, size_t cap) {
    ByteReader r(avcc, n);
    uint8_t version, lengthSize, count;
    if (!r.u8(&version) || version != 1 || !r.skip(3) || !r.u8(&lengthSize)) return -1;
    if ((lengthSize & 3) != 3) return -3;
    // Two lists, SPS then PPS, each a count and units behind 2-byte lengths. Bytes after them
    // (the extension of the high profiles) are not needed.
    size_t total = 4;
    ByteReader lists = r;
    for (int list = 0; list < 2; ++list) {
        if (!lists.u8(&count)) return -1;
        if (list == 0) count &= 0x1F;
        if (count == 0) return -2;
        for (unsigned i = 0; i < count; ++i) {
            uint16_t len;
            if (!lists.be16(&len) || len == 0 || !lists.skip(len)) return -1;
            total += 4 + len;
        }
    }
    total += 4;
    if (out == nullptr) return static_cast<long>(total);
    if (total > cap) return -4;
    const uint32_t body = static_cast<uint32_t>(total - 4);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(body >> (8 * i));
    size_t at = 4;
    static const uint8_t kCode[4] = {0, 0, 0, 1};
    for (int list = 0; list < 2; ++list) {
        r.u8(&count);
        if (list == 0) count &= 0x1F;
        for (unsigned i = 0; i < count; ++i) {
            uint16_t len = 0;
            r.be16(&len);
            memcpy(out + at, kCode, 4);
            memcpy(out + at + 4, r.bytes(len), len);
            at += 4 + len;
        }
    }
    memcpy(out + at, kCode, 4);
    return static_cast<long>(total);
}

size_t leadingDelimiter(const uint8_t *p, size_t n) {
    ByteReader r(p, n);
    uint32_t len;
    if (!r.be32(&len) || len == 0 || !r.fits(len) || (p[4] & 0x1f) != 9) return 0;
    const size_t whole = 4 + static_cast<size_t>(len);
    return n > whole ? whole : 0;
}

bool annexBInPlace(uint8_t *p, size_t n) {
    size_t at = 0;
    while (at < n) {
        ByteReader r(p + at, n - at);
        uint32_t len;
        if (!r.be32(&len) || !r.fits(len)) return false;
        p[at] = 0;
        p[at + 1] = 0;
        p[at + 2] = 0;
        p[at + 3] = 1;
        at += 4 + static_cast<size_t>(len);
    }
    return true;
}

namespace {

struct Asc {
    unsigned objectType, rateIndex, channels;
};

bool ascOf(const uint8_t *asc, size_t n, Asc *a) {
    if (asc == nullptr || n < 2) return false;
    a->objectType = asc[0] >> 3;
    a->rateIndex = ((asc[0] & 7u) << 1) | (asc[1] >> 7);
    a->channels = (asc[1] >> 3) & 15u;
    return a->objectType >= 1 && a->objectType <= 4 && a->rateIndex <= 12 && a->channels <= 7;
}

}  // namespace

bool adtsCarries(const uint8_t *asc, size_t n) {
    Asc a;
    return ascOf(asc, n, &a);
}

bool adtsHead(const uint8_t *asc, size_t n, uint32_t frameLength, uint8_t out[7]) {
    Asc a;
    if (!ascOf(asc, n, &a) || frameLength < 7 || frameLength > 8191) return false;
    out[0] = 0xFF;
    out[1] = 0xF1;
    out[2] = static_cast<uint8_t>(((a.objectType - 1) << 6) | (a.rateIndex << 2) | (a.channels >> 2));
    out[3] = static_cast<uint8_t>(((a.channels & 3) << 6) | ((frameLength >> 11) & 3));
    out[4] = static_cast<uint8_t>(frameLength >> 3);
    out[5] = static_cast<uint8_t>(((frameLength << 5) & 0xE0) | 0x1F);
    out[6] = 0xFC;
    return true;
}

}  // namespace kx::mkv

namespace {

unsigned char *newBlock(uint32_t payload, uint8_t kind) {
    auto *b = static_cast<unsigned char *>(kx_memery_malloc(5 + static_cast<size_t>(payload)));
    if (b == nullptr) {
        KX_LOGE("Malloc(%u) error:\"%s\".", 5 + payload, kx::errtext(errno));
        return nullptr;
    }
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(payload >> (8 * i));
    b[4] = kind;
    return b;
}

void aacBlock(unsigned char out7[7], unsigned objectType, unsigned rateIndex, unsigned channels) {
    out7[0] = 2;
    out7[1] = out7[2] = out7[3] = 0;
    out7[4] = 0;
    out7[5] = static_cast<unsigned char>(((objectType & 31) << 3) | (rateIndex >> 1));
    out7[6] = static_cast<unsigned char>(((rateIndex & 1) << 7) | ((channels & 15) << 3));
}

// Blocks come from this library (the builders above or the reader), so their stated length
// is their own.
const uint8_t *payloadOf(const unsigned char *block, uint32_t *length) {
    *length = VIDEO_MKV_CODECPRIVATE_LENGTH(block);
    return VIDEO_MKV_CODECPRIVATE_DATA(block);
}

// Reads size bytes at offset into out: 1, -1 seek failure, -2 short read.
int readAt(FILE *file, uint64_t offset, unsigned char *out, uint32_t size) {
    if (offset > static_cast<uint64_t>(LLONG_MAX) || fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
        KX_LOGE("Fseek(%lld)  error:\"%s\",[%#llx].", static_cast<long long>(offset), kx::errtext(errno ? errno : EINVAL),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(file)));
        return -1;
    }
    if (fread(out, 1, size, file) != size) {
        KX_LOGE("Read data(len=%u) error:\"%s\",[%#llx].", size, ferror(file) ? kx::errtext(errno) : "end of file",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(file)));
        return -2;
    }
    return 1;
}

}  // namespace

extern "C" {

unsigned char *video_mkv_codecPrivate_h264_get__IO(uint32_t length, const void *annexB) {
    const auto *p = static_cast<const unsigned char *>(annexB);
    if (p == nullptr || length < 4) {
        KX_LOGE("Invalid lenth(=%u).", length);
        return nullptr;
    }
    // The classifier wants a 4-byte start code in front; a 3-byte one gets a zero byte added.
    const uint8_t code = (p[0] == 0 && p[1] == 0 && p[2] == 1) ? 3 : 4;
    std::string widened;
    if (code == 3) {
        widened.assign(1, '\0');
        widened.append(reinterpret_cast<const char *>(p), length);
        p = reinterpret_cast<const unsigned char *>(widened.data());
        length = static_cast<uint32_t>(widened.size());
    }
    const unsigned char *sps = nullptr, *pps = nullptr;
    uint32_t spsLength = 0, ppsLength = 0;
    if (video_h264_check_keyFrame_and_get_sps_pps(length, p, &sps, &spsLength, &pps, &ppsLength) < 2 ||
        sps == nullptr || pps == nullptr || spsLength < 4 || spsLength > 0xFFFF || ppsLength < 1 ||
        ppsLength > 0xFFFF) {
        KX_LOGE("Invalid data(len=%u),no SPS and PPS.", length);
        return nullptr;
    }
    const uint32_t payload = 11 + spsLength + ppsLength;
    unsigned char *b = newBlock(payload, code);
    if (b == nullptr) return nullptr;
    unsigned char *d = b + 5;
    d[0] = 1;
    d[1] = sps[1];
    d[2] = sps[2];
    d[3] = sps[3];
    d[4] = 0xFF;
    d[5] = 0xE1;
    d[6] = static_cast<unsigned char>(spsLength >> 8);
    d[7] = static_cast<unsigned char>(spsLength);
    memcpy(d + 8, sps, spsLength);
    d += 8 + spsLength;
    d[0] = 1;
    d[1] = static_cast<unsigned char>(ppsLength >> 8);
    d[2] = static_cast<unsigned char>(ppsLength);
    memcpy(d + 3, pps, ppsLength);
    return b;
}

unsigned char *video_mkv_codecPrivate_jpeg_get__IO(void) {
    unsigned char *b = newBlock(40, 4);
    if (b == nullptr) return nullptr;
    unsigned char *d = b + 5;
    memset(d, 0, 40);
    auto le32 = [](unsigned char *at, uint32_t v) {
        for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
    };
    le32(d, 40);
    le32(d + 4, 612);
    le32(d + 8, 512);
    d[12] = 1;   // planes
    d[14] = 24;  // bits per pixel
    memcpy(d + 16, "MJPG", 4);
    le32(d + 20, 230400);
    return b;
}

void video_mkv_codecPrivate_delete__OI(unsigned char *block) {
    if (block) kx_memery_free(block, 5 + static_cast<size_t>(VIDEO_MKV_CODECPRIVATE_LENGTH(block)));
}

int video_mkv_codecPrivate_aac_get_byParameter(unsigned char out7[7], uint8_t objectType, uint8_t channels,
                                               uint32_t sampleRate) {
    static const uint32_t kAbove[12] = {95999, 88199, 63999, 47999, 44099, 31999,
                                        23999, 22049, 15999, 11999, 11024, 7999};
    if (sampleRate < 7350) {
        KX_LOGE("Invalid sampleRate(=%u).", sampleRate);
        return -1;
    }
    unsigned index = 12;
    for (unsigned i = 0; i < 12; ++i)
        if (sampleRate > kAbove[i]) {
            index = i;
            break;
        }
    aacBlock(out7, objectType, index, channels);
    return 1;
}

int video_mkv_codecPrivate_aac_get(unsigned char out7[7], const unsigned char adtsHeader[7]) {
    if (adtsHeader[0] != 0xFF || adtsHeader[1] != 0xF1) {
        KX_LOGE("Invalid head[%hhx,%hhx].", adtsHeader[0], adtsHeader[1]);
        return -1;
    }
    const unsigned h2 = adtsHeader[2], h3 = adtsHeader[3];
    aacBlock(out7, (h2 >> 6) + 1, (h2 >> 2) & 15, ((h2 & 1) << 2) | (h3 >> 6));
    return 1;
}

int video_mkv_h264_get_keyData(unsigned char *keyDataOut, uint32_t keyDataSize, const unsigned char *h264Block) {
    if (keyDataOut == nullptr || h264Block == nullptr) return -1;
    uint32_t length;
    const uint8_t *avcc = payloadOf(h264Block, &length);
    long rv = kx::mkv::keyDataOf(avcc, length, keyDataOut, keyDataSize);
    if (rv < 0) {
        KX_LOGE("Invalid lenth(%u/%u),rv=%ld.", length, keyDataSize, rv);
        return -1;
    }
    return 1;
}

int video_mkv_aac_get_head(unsigned char out7[7], const unsigned char *aacBlock, uint32_t frameLength) {
    uint32_t length;
    const uint8_t *asc = payloadOf(aacBlock, &length);
    if (!kx::mkv::adtsHead(asc, length, frameLength, out7)) {
        KX_LOGE("Invalid lenth(=%u),frameLength=%u.", length, frameLength);
        return -1;
    }
    return 1;
}

int video_mkv_read_h264Stream_from_file(unsigned char *out, uint32_t outSize, const unsigned char *keyData,
                                        FILE *file, uint64_t offset, uint32_t size) {
    if (out == nullptr || file == nullptr) return -4;
    // With key data: its bytes, then the sample, whose first length gives way to the key data's
    // final start code (behind a leading delimiter, see below). The sample is read straight
    // into place and converted there.
    uint64_t keyLength = 0, need = size;
    if (keyData != nullptr) {
        keyLength = VIDEO_MKV_CODECPRIVATE_LENGTH(keyData);
        if (keyLength < 4 || size < 4) {
            KX_LOGE("Invalid lenth(%llu/%u)", static_cast<unsigned long long>(keyLength), size);
            return -3;
        }
        need = keyLength + size - 4;
    }
    if (need > static_cast<uint64_t>(INT_MAX)) {
        KX_LOGE("Invalid lenth(%llu/%u)", static_cast<unsigned long long>(need), size);
        return -3;
    }
    if (need > outSize) {
        KX_LOGE("Invalid lenth(%llu/%u),out too small.", static_cast<unsigned long long>(need), outSize);
        return -4;
    }
    unsigned char *sample = out + (keyData ? keyLength - 4 : 0);
    int rv = readAt(file, offset, sample, size);
    if (rv < 0) return rv;
    const size_t delimiter = keyData ? kx::mkv::leadingDelimiter(sample, size) : 0;
    if (!kx::mkv::annexBInPlace(sample, size)) {
        KX_LOGE("Invalid lenth(%u/%u)", size > 3 ? (sample[0] << 24u | sample[1] << 16u | sample[2] << 8u | sample[3]) : 0u,
                size);
        return -3;
    }
    if (keyData == nullptr) return static_cast<int>(need);
    // An access-unit delimiter stays the first unit of the access unit: it moves to the front
    // and the key data follows it, taking the start code of the sample's second unit. The
    // length is the same, and the units behind the delimiter do not move.
    if (delimiter != 0) {
        memmove(out, sample, delimiter);
        memcpy(out + delimiter, keyData + 4, static_cast<size_t>(keyLength));
    } else {
        memcpy(out, keyData + 4, static_cast<size_t>(keyLength));
    }
    return static_cast<int>(need);
}

int video_mkv_read_aacStream_from_file(unsigned char *out, uint32_t outSize, const unsigned char *aacBlock,
                                       FILE *file, uint64_t offset, uint32_t size) {
    if (out == nullptr || file == nullptr || aacBlock == nullptr) return -4;
    if (size > 8191 - 7) {
        KX_LOGE("Invalid lenth(=%u).", size);
        return -3;
    }
    if (size + 7 > outSize) {
        KX_LOGE("Invalid lenth(%u/%u),out too small.", size + 7, outSize);
        return -4;
    }
    if (video_mkv_aac_get_head(out, aacBlock, size + 7) < 0) return -3;
    int rv = readAt(file, offset, out + 7, size);
    return rv < 0 ? rv : static_cast<int>(size + 7);
}

kx_String *video_mkv_file_to_aac__IO(const video_mkv *mkv, uint16_t trackNumber) {
    if (mkv == nullptr) return nullptr;
    const uint16_t number = trackNumber ? trackNumber : mkv->firstAudioTrack;
    if (number == 0 || number > mkv->entryCount || mkv->rows[number].type != VIDEO_MKV_TRACK_AUDIO ||
        mkv->rows[number].codec != VIDEO_MKV_CODEC_AAC) {
        KX_LOGE("No acc sudio.");
        return nullptr;
    }
    const video_mkv_track &t = mkv->rows[number];
    const kx_ObjectList *frames = t.frames;
    uint64_t total = 0;
    for (uint32_t i = 0; i < frames->count; ++i)
        total += 7 + static_cast<const video_mkv_frame *>(frames->array[frames->start + i])->size;
    if (total == 0 || total > UINT32_MAX - 1) {
        KX_LOGE("Invalid lenth(=%llu).", static_cast<unsigned long long>(total));
        return nullptr;
    }
    kx_String *s = kx_String_new__IO(static_cast<uint32_t>(total));
    if (s == nullptr) return nullptr;
    uint32_t at = 0;
    for (uint32_t i = 0; i < frames->count; ++i) {
        const auto *f = static_cast<const video_mkv_frame *>(frames->array[frames->start + i]);
        int rv = video_mkv_read_aacStream_from_file(reinterpret_cast<unsigned char *>(s->buffer) + at,
                                                    static_cast<uint32_t>(total) - at, t.codecPrivate, mkv->file,
                                                    f->offset, f->size);
        if (rv < 0) {
            kx_String_delete__OI(s);
            return nullptr;
        }
        at += static_cast<uint32_t>(rv);
    }
    return s;
}

}  // extern "C"
