// AAC objects and the ADTS reader.
#include "container/aac.hpp"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "core/log.hpp"
#include "kx/aac.h"
#include "kx/objectlist.h"

namespace kx::aac {

uint32_t sampleRateOf(unsigned index) {
    static const uint32_t kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000,  7350};
    return index < 13 ? kRates[index] : 0;
}

int adtsHeader(const uint8_t b[7], AdtsHeader *h) {
    if (b[0] != 0xFF || (b[1] & 0xF0) != 0xF0) return kAdtsBadSync;
    h->profile = static_cast<uint8_t>((b[2] >> 6) + 1);
    if (h->profile != 2) return kAdtsBadProfile;
    h->rateIndex = (b[2] >> 2) & 15;
    if (h->rateIndex > 12) return kAdtsBadRate;
    h->sampleRate = sampleRateOf(h->rateIndex);
    h->channels = static_cast<uint8_t>(((b[2] & 1) << 2) | (b[3] >> 6));
    h->frameLength = static_cast<uint16_t>(((b[3] & 3) << 11) | (b[4] << 3) | (b[5] >> 5));
    h->headerLength = (b[1] & 1) ? 7 : 9;
    // A frame shorter than its header would give a payload length that wraps.
    if (h->frameLength < h->headerLength) return kAdtsBadLength;
    h->payloadLength = static_cast<uint16_t>(h->frameLength - h->headerLength);
    return kAdtsOk;
}

int adtsNext(ByteReader &r, AdtsHeader *h, const uint8_t **payload) {
    if (r.empty()) return kAdtsEnd;
    if (!r.fits(7)) return kAdtsShortHeader;
    int rv = adtsHeader(r.cur(), h);
    if (rv != kAdtsOk) return rv;
    if (!r.fits(h->frameLength)) return kAdtsShortPayload;
    r.skip(h->headerLength);
    *payload = r.bytes(h->payloadLength);
    return kAdtsOk;
}

}  // namespace kx::aac

namespace {

bool object_size(uint32_t dataLength, uint32_t *size) {
    const size_t total = sizeof(audio_aac_object) + static_cast<size_t>(dataLength);
    if (total > UINT32_MAX) return false;
    *size = static_cast<uint32_t>(total);
    return true;
}

void store_fields(audio_aac_object *o, uint16_t classIndex, uint32_t frameIndex, float frameRate, uint8_t objectType,
                  uint8_t channels, uint32_t sampleRate, double arrivalTime, double streamTime) {
    o->classIndex = classIndex;
    o->frameIndex = frameIndex;
    o->frameRate = frameRate;
    o->config = static_cast<uint8_t>((o->config & 0x80) | ((channels & 7) << 4) | (objectType & 15));
    o->sampleRate = sampleRate;
    o->arrivalTime = arrivalTime;
    o->streamTime = streamTime;
}

void release_object(void *o) { kx_Object_delete__OI(static_cast<kx_Object *>(o)); }

}  // namespace

extern "C" {

audio_aac_object *audio_aac_object_new__IO(uint32_t dataLength) {
    uint32_t size;
    if (!object_size(dataLength, &size)) {
        KX_LOGE("Invalid datalenth(=%u).", dataLength);
        return nullptr;
    }
    auto *o = static_cast<audio_aac_object *>(kx_memery_malloc(size));
    if (o == nullptr) {
        KX_LOGE("Malloc(%u) error:\"%s\".", size, kx::errtext(errno));
        return nullptr;
    }
    memset(o, 0, sizeof(audio_aac_object));
    kx_Object_init(&o->object, KX_OBJECT_TYPE_AAC, size);
    o->dataLenth = dataLength;
    return o;
}

audio_aac_object *audio_aac_object_new_with_data__IO(uint16_t classIndex, uint32_t frameIndex, float frameRate,
                                                    uint8_t objectType, uint8_t channels, uint32_t sampleRate,
                                                    double arrivalTime, double streamTime, uint32_t dataLength,
                                                    const void *data) {
    audio_aac_object *o = audio_aac_object_new__IO(dataLength);
    if (o == nullptr) return nullptr;
    store_fields(o, classIndex, frameIndex, frameRate, objectType, channels, sampleRate, arrivalTime, streamTime);
    if (data != nullptr && dataLength > 0) memcpy(o->data, data, dataLength);
    return o;
}

void audio_aac_object_set_data(audio_aac_object *object, uint16_t classIndex, uint32_t frameIndex, float frameRate,
                               uint8_t objectType, uint8_t channels, uint32_t sampleRate, double arrivalTime,
                               double streamTime, const void *data) {
    if (object == nullptr) return;
    store_fields(object, classIndex, frameIndex, frameRate, objectType, channels, sampleRate, arrivalTime,
                 streamTime);
    if (data != nullptr && object->dataLenth > 0) memcpy(object->data, data, object->dataLenth);
}

kx_ObjectList *audio_aac_object_get_from_fd__IO(FILE *file, uint16_t classIndex, uint32_t firstFrameIndex,
                                                double arrivalTime, double streamTime, const char *name) {
    if (name == nullptr) name = "";
    if (file == nullptr) return nullptr;
    // The rest of the file in memory; frames are cut from it with bounds checks.
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    if (ferror(file)) KX_LOGE("Read the file:\"%s\" error:\"%s\".", name, kx::errtext(errno ? errno : EIO));

    kx_ObjectList *list = nullptr;
    kx::ByteReader r(bytes.data(), bytes.size());
    uint32_t frameIndex = firstFrameIndex;
    // Times are counted from the last change of the sample rate, so they do not drift by
    // rounding over a long stream.
    uint32_t rate = 0;
    uint64_t sinceRate = 0;
    double arrivalBase = arrivalTime, streamBase = streamTime;
    for (;;) {
        kx::aac::AdtsHeader h;
        const uint8_t *payload = nullptr;
        int rv = kx::aac::adtsNext(r, &h, &payload);
        if (rv == kx::aac::kAdtsEnd) break;
        if (rv != kx::aac::kAdtsOk) {
            const uint8_t *b = r.cur();
            if (rv == kx::aac::kAdtsShortHeader || rv == kx::aac::kAdtsShortPayload) {
                KX_LOGE("Read the file:\"%s\" error:\"%s\".", name, "unexpected end of file");
            } else if (rv == kx::aac::kAdtsBadSync) {
                KX_LOGE("Invalid head:[%hhx %hhx %hhx %hhx %hhx %hhx %hhx] file:\"%s\".", b[0], b[1], b[2], b[3], b[4],
                        b[5], b[6], name);
            } else if (rv == kx::aac::kAdtsBadProfile) {
                KX_LOGE("Invalid profile=%hhu,head:[%hhx %hhx %hhx %hhx %hhx %hhx %hhx] file:\"%s\".", h.profile, b[0],
                        b[1], b[2], b[3], b[4], b[5], b[6], name);
            } else if (rv == kx::aac::kAdtsBadRate) {
                KX_LOGE("Invalid sampleRate=%hhu,head:[%hhx %hhx %hhx %hhx %hhx %hhx %hhx] file:\"%s\".", h.rateIndex,
                        b[0], b[1], b[2], b[3], b[4], b[5], b[6], name);
            } else {
                KX_LOGE("Invalid frameLength=%hu,head:[%hhx %hhx %hhx %hhx %hhx %hhx %hhx] file:\"%s\".", h.frameLength,
                        b[0], b[1], b[2], b[3], b[4], b[5], b[6], name);
            }
            break;
        }
        if (h.sampleRate != rate) {
            if (rate != 0) {
                arrivalBase += sinceRate * 1024.0 / rate;
                streamBase += sinceRate * 1024.0 / rate;
            }
            rate = h.sampleRate;
            sinceRate = 0;
        }
        arrivalTime = arrivalBase + sinceRate * 1024.0 / rate;
        streamTime = streamBase + sinceRate * 1024.0 / rate;
        audio_aac_object *o = audio_aac_object_new_with_data__IO(
            classIndex, frameIndex, static_cast<float>(h.sampleRate / 1024.0), 2, h.channels, h.sampleRate,
            arrivalTime, streamTime, h.payloadLength, payload);
        if (o == nullptr) break;
        if (list == nullptr) list = kx_ObjectList_new__IO(4);
        if (list == nullptr || kx_ObjectList_insert_tail(list, o) < 1) {
            kx_Object_delete__OI(&o->object);
            break;
        }
        ++frameIndex;
        ++sinceRate;
    }
    if (list != nullptr && list->count == 0) {
        kx_ObjectList_delete_custom__OI(list, release_object);
        list = nullptr;
    }
    return list;
}

kx_ObjectList *audio_aac_object_get_from_file__IO(const char *path, uint16_t classIndex, uint32_t firstFrameIndex,
                                                  double arrivalTime, double streamTime) {
    FILE *file = path ? fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        KX_LOGE("Open the file:\"%s\" error:\"%s\".", path ? path : "", kx::errtext(errno));
        return nullptr;
    }
    kx_ObjectList *list = audio_aac_object_get_from_fd__IO(file, classIndex, firstFrameIndex, arrivalTime, streamTime,
                                                           path);
    fclose(file);
    return list;
}

}  // extern "C"
