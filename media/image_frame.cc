// Image frames: a reference-counted frame record whose child list owns every picture attached to it.
#include "kx/image_frame.h"

#include <string.h>

#include <algorithm>

#include "core/log.hpp"
#include "kx/dib.h"
#include "kx/objectlist.h"

namespace {

constexpr unsigned kSizes = 3;
constexpr unsigned kH264Slots = 3;

size_t chroma_side(uint32_t n) { return (static_cast<size_t>(n) + 1) / 2; }

// A block of header + payload bytes, zeroed header, initialised as an object; null when the
// total does not fit the header's 32-bit size.
template <typename T>
T *new_object(uint16_t type, uint64_t payload) {
    const uint64_t total = sizeof(T) + payload;
    if (total > UINT32_MAX) return nullptr;
    auto *object = static_cast<T *>(kx_memery_malloc(static_cast<size_t>(total)));
    if (object == nullptr) return nullptr;
    memset(object, 0, sizeof(T));
    kx_Object_init(&object->object, type, static_cast<uint32_t>(total));
    return object;
}

void release(kx_Object *object) { kx_Object_delete_pthreadSafety__OI(object); }

// The full-size YUV picture when present and large enough for the frame's full size.
const image_frame_raw *full_yuv(const image_frame *frame) {
    const image_frame_raw *yuv = frame->yuvData[0];
    if (!(frame->dataValidType & IMAGE_FRAME_YUV_0) || yuv == nullptr) return nullptr;
    const size_t need = image_frame_raw_size(frame->width[0], frame->height[0]);
    if (need == 0 || frame->width[0] == 0 || frame->height[0] == 0 || yuv->object.size < need) return nullptr;
    return yuv;
}

// Every fourth sample of each plane; indices past the source's last row or column are held there.
int make_quarter_yuv(image_frame *frame) {
    const image_frame_raw *src = full_yuv(frame);
    const uint32_t w = frame->width[2], h = frame->height[2];
    if (src == nullptr || w == 0 || h == 0) return -1;
    image_frame_raw *out = image_frame_raw_new__IO(w, h, IMAGE_FRAME_RAW_YUV420P);
    if (out == nullptr) return -1;

    struct Plane {
        const unsigned char *from;
        size_t fromW, fromH;
        unsigned char *to;
        size_t toW, toH;
    };
    const size_t W = frame->width[0], H = frame->height[0];
    const size_t cW = chroma_side(frame->width[0]), cH = chroma_side(frame->height[0]);
    const size_t qW = chroma_side(w), qH = chroma_side(h);
    const Plane planes[3] = {
        {src->data, W, H, out->data, w, h},
        {src->data + W * H, cW, cH, out->data + static_cast<size_t>(w) * h, qW, qH},
        {src->data + W * H + cW * cH, cW, cH, out->data + static_cast<size_t>(w) * h + qW * qH, qW, qH},
    };
    for (const Plane &p : planes) {
        for (size_t r = 0; r < p.toH; ++r) {
            const unsigned char *row = p.from + std::min(4 * r, p.fromH - 1) * p.fromW;
            unsigned char *to = p.to + r * p.toW;
            for (size_t k = 0; k < p.toW; ++k) to[k] = row[std::min(4 * k, p.fromW - 1)];
        }
    }
    return image_frame_set__OI_2(frame, &out->object, 2) == 1 ? 1 : -1;
}

int make_full_rgb(image_frame *frame) {
    const image_frame_raw *src = full_yuv(frame);
    if (src == nullptr) return -1;
    const uint32_t w = frame->width[0], h = frame->height[0];
    image_frame_rgb *rgb = image_frame_rgb_new__IO(w, h);
    if (rgb == nullptr) return -1;
    if (image_dib_copy(w, h, IMAGE_DIB_YUV420P, w, src->data, IMAGE_DIB_RGB, 0, rgb->data) != 1) {
        release(&rgb->object);
        return -1;
    }
    return image_frame_set__OI_2(frame, &rgb->object, 0) == 1 ? 1 : -1;
}

}  // namespace

extern "C" {

size_t image_frame_raw_size(uint32_t width, uint32_t height) {
    const uint64_t pixels = static_cast<uint64_t>(width) * height + 2 * chroma_side(width) * chroma_side(height);
    const uint64_t total = sizeof(image_frame_raw) + pixels;
    return total > UINT32_MAX ? 0 : static_cast<size_t>(total);
}

image_frame *image_frame_new__IO(uint32_t width0, uint32_t height0, uint32_t width1, uint32_t height1,
                                 uint32_t width2, uint32_t height2, const uint32_t *pixelCounts, uint32_t frameIndex,
                                 float frameRate, double arrivalTime, double streamTime) {
    const uint32_t widths[kSizes] = {width0, width1, width2}, heights[kSizes] = {height0, height1, height2};
    uint32_t counts[kSizes];
    for (unsigned s = 0; s < kSizes; ++s) {
        const uint64_t n = pixelCounts ? pixelCounts[s] : static_cast<uint64_t>(widths[s]) * heights[s];
        if (n > UINT32_MAX) {
            KX_LOGE("Invalid size(=%u),width=%u,height=%u.", s, widths[s], heights[s]);
            return nullptr;
        }
        counts[s] = static_cast<uint32_t>(n);
    }
    auto *frame = new_object<image_frame>(KX_OBJECT_TYPE_IMAGE_FRAME, 0);
    if (frame == nullptr) return nullptr;
    frame->object.childList = kx_ObjectList_new__IO(2);  // room for 4
    if (frame->object.childList == nullptr) {
        release(&frame->object);
        return nullptr;
    }
    for (unsigned s = 0; s < kSizes; ++s) {
        frame->width[s] = widths[s];
        frame->height[s] = heights[s];
        frame->pixelCount[s] = counts[s];
    }
    frame->frameIndex = frameIndex;
    frame->frameRate = frameRate;
    frame->arrivalTime = arrivalTime;
    frame->streamTime = streamTime;
    return frame;
}

int image_frame_set__OI_2(image_frame *frame, kx_Object *object, unsigned char sizeIndex) {
    if (object == nullptr) return -1;
    if (frame == nullptr || sizeIndex >= kSizes) {
        release(object);
        return -1;
    }
    switch (object->type) {
        case KX_OBJECT_TYPE_RAW_IMAGE_FRAME:
            frame->yuvData[sizeIndex] = reinterpret_cast<image_frame_raw *>(object);
            frame->dataValidType |= IMAGE_FRAME_YUV_0 << sizeIndex;
            break;
        case KX_OBJECT_TYPE_RGB_IMAGE_FRAME:
            frame->rgbData[sizeIndex] = reinterpret_cast<image_frame_rgb *>(object);
            frame->dataValidType |= IMAGE_FRAME_RGB_0 << sizeIndex;
            break;
        case KX_OBJECT_TYPE_H264: {
            video_h264_object **slots = frame->h264Data[sizeIndex];
            unsigned k = 0;
            while (k < kH264Slots && slots[k] != nullptr) ++k;
            if (k == kH264Slots) {
                KX_LOGE("Error,dataValidType=%#lx,sizetype=%hhu.", (unsigned long)frame->dataValidType, sizeIndex);
                release(object);
                return -2;
            }
            slots[k] = reinterpret_cast<video_h264_object *>(object);
            frame->dataValidType |= IMAGE_FRAME_H264_0 << sizeIndex;
            break;
        }
        default:
            KX_LOGE("Invalid type(=%hu),sizetype=%hhu.", object->type, sizeIndex);
            release(object);
            return -3;
    }
    kx_ObjectList_insert_tail(frame->object.childList, object);
    return 1;
}

int image_frame_clear_data(image_frame *frame, uint32_t type) {
    if (frame == nullptr) return -1;
    if (type != IMAGE_FRAME_H264_0) {
        KX_LOGE("Invalid type(=%#lx/%#lx).", (unsigned long)type, (unsigned long)frame->dataValidType);
        return -1;
    }
    video_h264_object **slots = frame->h264Data[0];
    for (unsigned k = 0; k < kH264Slots && slots[k] != nullptr; ++k) {
        kx_ObjectList_remove(frame->object.childList, slots[k]);
        release(&slots[k]->object);
        slots[k] = nullptr;
    }
    frame->dataValidType &= ~static_cast<uint32_t>(IMAGE_FRAME_H264_0);
    return 1;
}

image_frame_raw *image_frame_raw_new__IO(uint32_t width, uint32_t height, unsigned char format) {
    if (format != IMAGE_FRAME_RAW_YUV420P) {
        KX_LOGE("Invalid type(=%hhu),width=%u,height=%u.", format, width, height);
        return nullptr;
    }
    const size_t size = image_frame_raw_size(width, height);
    if (size == 0) {
        KX_LOGE("Invalid size,width=%u,height=%u.", width, height);
        return nullptr;
    }
    auto *picture = new_object<image_frame_raw>(KX_OBJECT_TYPE_RAW_IMAGE_FRAME, size - sizeof(image_frame_raw));
    if (picture != nullptr) picture->format = format;
    return picture;
}

image_frame_rgb *image_frame_rgb_new__IO(uint32_t width, uint32_t height) {
    auto *picture = new_object<image_frame_rgb>(KX_OBJECT_TYPE_RGB_IMAGE_FRAME, static_cast<uint64_t>(width) * height * 3);
    if (picture == nullptr) KX_LOGE("Invalid size,width=%u,height=%u.", width, height);
    return picture;
}

int image_frame_prapare(image_frame *frame, uint32_t type) {
    if (frame == nullptr) return -1;
    const bool single = type != 0 && (type & (type - 1)) == 0 && type <= IMAGE_FRAME_RGB_2;
    if (single && (frame->dataValidType & type)) return 1;
    switch (type) {
        case IMAGE_FRAME_YUV_2:
            return make_quarter_yuv(frame);
        case IMAGE_FRAME_RGB_0:
            return make_full_rgb(frame);
        default:
            KX_LOGE("Invalid type(=%#lx).", (unsigned long)type);
            return -1;
    }
}

}  // extern "C"
