// Image frames: sizes and counts, the valid-data mask, H.264 slots, ownership of attached
// pictures, and the representations made on request (full-size RGB, quarter-size YUV).
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx/h264.h"
#include "kx/image_frame.h"
#include "kx/objectlist.h"
#include "tests/support/stdout_capture.hpp"

namespace {

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Rgb &p) { return os << "(" << p.r << "," << p.g << "," << p.b << ")"; }

int clampi(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

// The integer YCbCr -> RGB formulas, written out.
Rgb ycc_to_rgb(int y, int cb, int cr) {
    return {clampi((512 * y + 719 * cr - 91648) >> 9, 0, 255),
            clampi(y + clampi((122753 - 176 * cb - 365 * cr) >> 9, 0, 210) - 105, 0, 255),
            clampi((128 * y + 227 * cb - 28928) >> 7, 0, 255)};
}

unsigned char sample(size_t i) { return static_cast<unsigned char>((i * 2654435761u) >> 13); }

image_frame *frame_of(uint32_t w, uint32_t h, uint32_t w2, uint32_t h2) {
    return image_frame_new__IO(w, h, w / 2, h / 2, w2, h2, nullptr, 7, 25.0f, 1.5, 2.5);
}

// A full-size YUV picture of the frame filled with sample(i).
image_frame_raw *filled_yuv(const image_frame *f) {
    image_frame_raw *p = image_frame_raw_new__IO(f->width[0], f->height[0], 1);
    if (p == nullptr) return nullptr;
    size_t n = p->object.size - sizeof(image_frame_raw);
    for (size_t i = 0; i < n; ++i) p->data[i] = sample(i);
    return p;
}

kx_Object *h264(uint32_t bytes = 16) { return &video_h264_object_new__IO(bytes)->object; }

size_t children(const image_frame *f) { return f->object.childList->count; }

struct Frame {
    image_frame *p;
    explicit Frame(image_frame *f) : p(f) {}
    ~Frame() {
        if (p) kx_Object_delete_pthreadSafety__OI(&p->object);
    }
    image_frame *operator->() const { return p; }
};

TEST(ImageFrame, NewFrameTakesSizesAndCounts) {
    const uint32_t given[3] = {11, 22, 33};
    struct Case {
        const uint32_t *counts;
        uint32_t want[3];
    } cases[] = {{nullptr, {1920 * 1080, 960 * 540, 480 * 270}}, {given, {11, 22, 33}}};
    for (const Case &c : cases) {
        Frame f(image_frame_new__IO(1920, 1080, 960, 540, 480, 270, c.counts, 42, 29.97f, 10.25, 1234.5));
        ASSERT_NE(f.p, nullptr);
        EXPECT_EQ(f->object.type, KX_OBJECT_TYPE_IMAGE_FRAME);
        EXPECT_EQ(f->object.referCount, 1u);
        ASSERT_NE(f->object.childList, nullptr);
        EXPECT_EQ(children(f.p), 0u);
        EXPECT_EQ(f->dataValidType, 0u);
        EXPECT_EQ(f->classIndex, 0);
        const uint32_t w[3] = {1920, 960, 480}, h[3] = {1080, 540, 270};
        for (int s = 0; s < 3; ++s) {
            EXPECT_EQ(f->width[s], w[s]);
            EXPECT_EQ(f->height[s], h[s]);
            EXPECT_EQ(f->pixelCount[s], c.want[s]);
            EXPECT_EQ(f->yuvData[s], nullptr);
            EXPECT_EQ(f->rgbData[s], nullptr);
            for (int k = 0; k < 3; ++k) EXPECT_EQ(f->h264Data[s][k], nullptr);
        }
        EXPECT_EQ(f->frameIndex, 42u);
        EXPECT_FLOAT_EQ(f->frameRate, 29.97f);
        EXPECT_DOUBLE_EQ(f->arrivalTime, 10.25);
        EXPECT_DOUBLE_EQ(f->streamTime, 1234.5);
    }
    kxtest::StdoutCapture out;
    EXPECT_EQ(image_frame_new__IO(70000, 70000, 2, 2, 1, 1, nullptr, 0, 0, 0, 0), nullptr);  // count overflows
    EXPECT_NE(kxtest::strip_colours(out.text()).find("Invalid size(=0),width=70000,height=70000."), std::string::npos);
}

TEST(ImageFrame, EachRepresentationSetsItsBitAndJoinsTheChildren) {
    struct Case {
        int kind;  // 4 YUV, 5 RGB, 1 H.264
        unsigned char size;
        uint32_t bit;
    } cases[] = {{4, 0, 1}, {4, 1, 2}, {4, 2, 4}, {1, 0, 8}, {1, 1, 16}, {1, 2, 32}, {5, 0, 64}, {5, 1, 128}, {5, 2, 256}};
    Frame f(frame_of(8, 8, 2, 2));
    uint32_t mask = 0;
    for (const Case &c : cases) {
        kx_Object *o = c.kind == 4 ? &image_frame_raw_new__IO(2, 2, 1)->object
                       : c.kind == 5 ? &image_frame_rgb_new__IO(2, 2)->object
                                     : h264();
        ASSERT_EQ(image_frame_set__OI_2(f.p, o, c.size), 1);
        mask |= c.bit;
        EXPECT_EQ(f->dataValidType, mask) << c.kind << "/" << int(c.size);
        const void *slot = c.kind == 4   ? static_cast<const void *>(f->yuvData[c.size])
                           : c.kind == 5 ? static_cast<const void *>(f->rgbData[c.size])
                                         : static_cast<const void *>(f->h264Data[c.size][0]);
        EXPECT_EQ(slot, o);
        EXPECT_EQ(f->object.childList->array[f->object.childList->start + children(f.p) - 1], o);
    }
    EXPECT_EQ(children(f.p), 9u);
}

TEST(ImageFrame, ThreeH264SlotsPerSizeThenRefused) {
    Frame f(frame_of(8, 8, 2, 2));
    kx_Object *objects[4] = {h264(), h264(), h264(), h264()};
    for (kx_Object *o : objects) kx_Object_addRefer_pthreadSafety_(o);  // watch the counts
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(image_frame_set__OI_2(f.p, objects[k], 1), 1);
        EXPECT_EQ(&f->h264Data[1][k]->object, objects[k]);
    }
    kxtest::StdoutCapture out;
    EXPECT_EQ(image_frame_set__OI_2(f.p, objects[3], 1), -2);
    EXPECT_NE(kxtest::strip_colours(out.text()).find("Error,dataValidType=0x10,sizetype=1."), std::string::npos);
    EXPECT_EQ(objects[3]->referCount, 1u);  // the frame dropped the reference it was given
    EXPECT_EQ(children(f.p), 3u);

    // Refused attachments: the reference is released, the frame unchanged.
    kx_Object *other = h264();
    other->type = KX_OBJECT_TYPE_AAC;
    kx_Object_addRefer_pthreadSafety_(other);
    EXPECT_EQ(image_frame_set__OI_2(f.p, other, 0), -3);
    EXPECT_NE(kxtest::strip_colours(out.text()).find("Invalid type(=3),sizetype=0."), std::string::npos);
    kx_Object *tooFar = h264();
    kx_Object_addRefer_pthreadSafety_(tooFar);
    EXPECT_EQ(image_frame_set__OI_2(f.p, tooFar, 3), -1);
    EXPECT_EQ(other->referCount, 1u);
    EXPECT_EQ(tooFar->referCount, 1u);
    EXPECT_EQ(f->dataValidType, uint32_t(IMAGE_FRAME_H264_1));
    EXPECT_EQ(children(f.p), 3u);
    for (kx_Object *o : {objects[3], other, tooFar}) kx_Object_delete_pthreadSafety__OI(o);
    for (int k = 0; k < 3; ++k) kx_Object_delete_pthreadSafety__OI(objects[k]);  // the frame still holds them
}

TEST(ImageFrame, ClearDataReleasesTheFullSizeH264Only) {
    Frame f(frame_of(8, 8, 2, 2));
    kx_Object *full[3] = {h264(), h264(), h264()};
    kx_Object *half = h264();
    kx_Object *yuv = &image_frame_raw_new__IO(8, 8, 1)->object;
    for (kx_Object *o : full) {
        kx_Object_addRefer_pthreadSafety_(o);
        ASSERT_EQ(image_frame_set__OI_2(f.p, o, 0), 1);
    }
    ASSERT_EQ(image_frame_set__OI_2(f.p, half, 1), 1);
    ASSERT_EQ(image_frame_set__OI_2(f.p, yuv, 0), 1);

    kxtest::StdoutCapture out;
    for (uint32_t type : {uint32_t(IMAGE_FRAME_H264_1), uint32_t(IMAGE_FRAME_YUV_0), 0u}) {
        EXPECT_EQ(image_frame_clear_data(f.p, type), -1);
        char want[64];
        snprintf(want, sizeof want, "Invalid type(=%#lx/0x19).", (unsigned long)type);
        EXPECT_NE(kxtest::strip_colours(out.text()).find(want), std::string::npos) << want;
    }
    EXPECT_EQ(f->dataValidType, 0x19u);
    EXPECT_EQ(children(f.p), 5u);

    EXPECT_EQ(image_frame_clear_data(f.p, IMAGE_FRAME_H264_0), 1);
    EXPECT_EQ(f->dataValidType, 0x11u);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(f->h264Data[0][k], nullptr);
    EXPECT_EQ(&f->h264Data[1][0]->object, half);
    EXPECT_EQ(children(f.p), 2u);
    for (kx_Object *o : full) {
        EXPECT_EQ(o->referCount, 1u);
        EXPECT_EQ(kx_ObjectList_check_exist(f->object.childList, o), -1);
        kx_Object_delete_pthreadSafety__OI(o);
    }
    // The slots are free again.
    ASSERT_EQ(image_frame_set__OI_2(f.p, h264(), 0), 1);
    EXPECT_NE(f->h264Data[0][0], nullptr);
    EXPECT_EQ(f->dataValidType, 0x19u);
}

TEST(ImageFrame, ChildrenAreReleasedWithTheFrame) {
    image_frame *f = frame_of(4, 4, 1, 1);
    ASSERT_NE(f, nullptr);
    std::vector<kx_Object *> held = {&image_frame_raw_new__IO(4, 4, 1)->object, &image_frame_rgb_new__IO(4, 4)->object,
                                     h264(), h264(), &image_frame_raw_new__IO(4, 4, 1)->object};
    const unsigned char sizes[] = {0, 0, 0, 2, 0};  // the last one replaces the first YUV picture
    for (size_t i = 0; i < held.size(); ++i) {
        kx_Object_addRefer_pthreadSafety_(held[i]);
        ASSERT_EQ(image_frame_set__OI_2(f, held[i], sizes[i]), 1);
    }
    EXPECT_EQ(&f->yuvData[0]->object, held[4]);
    kx_Object_addRefer_pthreadSafety_(&f->object);  // a second holder
    kx_Object_delete_pthreadSafety__OI(&f->object);
    for (kx_Object *o : held) EXPECT_EQ(o->referCount, 2u);  // still alive with the frame
    kx_Object_delete_pthreadSafety__OI(&f->object);
    for (kx_Object *o : held) {
        EXPECT_EQ(o->referCount, 1u);
        kx_Object_delete_pthreadSafety__OI(o);
    }
}

TEST(ImageFrame, PictureObjects) {
    struct Case {
        uint32_t w, h;
        size_t pixelBytes;
    } cases[] = {{4, 2, 8 + 2 * 2}, {5, 3, 15 + 2 * 3 * 2}, {1, 1, 3}, {1920, 1080, 1920 * 1080 * 3 / 2}};
    for (const Case &c : cases) {
        image_frame_raw *p = image_frame_raw_new__IO(c.w, c.h, 1);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->object.type, KX_OBJECT_TYPE_RAW_IMAGE_FRAME);
        EXPECT_EQ(p->object.referCount, 1u);
        EXPECT_EQ(p->object.childList, nullptr);
        EXPECT_EQ(p->object.releaseList, nullptr);
        EXPECT_EQ(p->format, 1);
        EXPECT_EQ(p->object.size, sizeof(image_frame_raw) + c.pixelBytes);
        EXPECT_EQ(image_frame_raw_size(c.w, c.h), sizeof(image_frame_raw) + c.pixelBytes);
        memset(p->data, 0, c.pixelBytes);  // all usable (ASan)
        kx_Object_delete__OI(&p->object);

        image_frame_rgb *q = image_frame_rgb_new__IO(c.w, c.h);
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(q->object.type, KX_OBJECT_TYPE_RGB_IMAGE_FRAME);
        EXPECT_EQ(q->object.size, sizeof(image_frame_rgb) + size_t(c.w) * c.h * 3);
        memset(q->data, 0, size_t(c.w) * c.h * 3);
        kx_Object_delete__OI(&q->object);
    }
    kxtest::StdoutCapture out;
    EXPECT_EQ(image_frame_raw_new__IO(5, 3, 2), nullptr);
    EXPECT_NE(kxtest::strip_colours(out.text()).find("Invalid type(=2),width=5,height=3."), std::string::npos);
    EXPECT_EQ(image_frame_raw_new__IO(70000, 70000, 1), nullptr);
    EXPECT_EQ(image_frame_rgb_new__IO(40000, 40000), nullptr);
}

TEST(ImageFramePrapare, FullSizeRgbFromYuv) {
    struct Case {
        uint32_t w, h;
    } cases[] = {{6, 4}, {5, 3}, {2, 2}, {1, 1}};
    for (const Case &c : cases) {
        Frame f(frame_of(c.w, c.h, 1, 1));
        ASSERT_EQ(image_frame_set__OI_2(f.p, &filled_yuv(f.p)->object, 0), 1);
        ASSERT_EQ(image_frame_prapare(f.p, IMAGE_FRAME_RGB_0), 1);
        EXPECT_EQ(f->dataValidType, uint32_t(IMAGE_FRAME_YUV_0 | IMAGE_FRAME_RGB_0));
        ASSERT_NE(f->rgbData[0], nullptr);
        const unsigned char *Y = f->yuvData[0]->data;
        const size_t cw = (c.w + 1) / 2, ch = (c.h + 1) / 2;
        const unsigned char *U = Y + size_t(c.w) * c.h, *V = U + cw * ch;
        for (uint32_t y = 0; y < c.h; ++y)
            for (uint32_t x = 0; x < c.w; ++x) {
                const unsigned char *p = f->rgbData[0]->data + (size_t(y) * c.w + x) * 3;
                Rgb want = ycc_to_rgb(Y[y * c.w + x], U[(y / 2) * cw + x / 2], V[(y / 2) * cw + x / 2]);
                ASSERT_EQ((Rgb{p[0], p[1], p[2]}), want) << c.w << "x" << c.h << " at " << x << "," << y;
            }
        // Already present: nothing made again.
        image_frame_rgb *first = f->rgbData[0];
        const size_t count = children(f.p);
        EXPECT_EQ(image_frame_prapare(f.p, IMAGE_FRAME_RGB_0), 1);
        EXPECT_EQ(f->rgbData[0], first);
        EXPECT_EQ(children(f.p), count);
    }
}

TEST(ImageFramePrapare, QuarterYuvTakesEveryFourthSample) {
    struct Case {
        uint32_t w, h, w2, h2;
    } cases[] = {{16, 12, 4, 3}, {13, 9, 3, 2}, {8, 8, 3, 3}, {3, 3, 2, 2}};
    for (const Case &c : cases) {
        Frame f(frame_of(c.w, c.h, c.w2, c.h2));
        ASSERT_EQ(image_frame_set__OI_2(f.p, &filled_yuv(f.p)->object, 0), 1);
        ASSERT_EQ(image_frame_prapare(f.p, IMAGE_FRAME_YUV_2), 1);
        EXPECT_EQ(f->dataValidType, uint32_t(IMAGE_FRAME_YUV_0 | IMAGE_FRAME_YUV_2));
        const image_frame_raw *q = f->yuvData[2];
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(q->object.size, image_frame_raw_size(c.w2, c.h2));
        // Plane by plane: source and target dimensions and offsets.
        const size_t cw = (c.w + 1) / 2, ch = (c.h + 1) / 2, qw = (c.w2 + 1) / 2, qh = (c.h2 + 1) / 2;
        struct Plane {
            size_t from, fw, fh, to, tw, th;
        } planes[] = {{0, c.w, c.h, 0, c.w2, c.h2},
                      {size_t(c.w) * c.h, cw, ch, size_t(c.w2) * c.h2, qw, qh},
                      {size_t(c.w) * c.h + cw * ch, cw, ch, size_t(c.w2) * c.h2 + qw * qh, qw, qh}};
        for (const Plane &p : planes)
            for (size_t r = 0; r < p.th; ++r)
                for (size_t k = 0; k < p.tw; ++k) {
                    size_t sr = std::min(4 * r, p.fh - 1), sk = std::min(4 * k, p.fw - 1);
                    ASSERT_EQ(q->data[p.to + r * p.tw + k], f->yuvData[0]->data[p.from + sr * p.fw + sk])
                        << c.w << "x" << c.h << " plane at " << p.from << " (" << k << "," << r << ")";
                }
    }
}

TEST(ImageFramePrapare, MissingSourceAndUnsupportedTypes) {
    Frame f(frame_of(8, 8, 2, 2));
    EXPECT_EQ(image_frame_prapare(f.p, IMAGE_FRAME_YUV_2), -1);
    EXPECT_EQ(image_frame_prapare(f.p, IMAGE_FRAME_RGB_0), -1);
    EXPECT_EQ(f->dataValidType, 0u);
    EXPECT_EQ(children(f.p), 0u);

    // A picture too small for the frame's full size is not read.
    ASSERT_EQ(image_frame_set__OI_2(f.p, &image_frame_raw_new__IO(4, 4, 1)->object, 0), 1);
    EXPECT_EQ(image_frame_prapare(f.p, IMAGE_FRAME_RGB_0), -1);
    EXPECT_EQ(image_frame_prapare(f.p, IMAGE_FRAME_YUV_2), -1);
    EXPECT_EQ(f->dataValidType, uint32_t(IMAGE_FRAME_YUV_0));

    ASSERT_EQ(image_frame_set__OI_2(f.p, h264(), 0), 1);
    EXPECT_EQ(image_frame_prapare(f.p, IMAGE_FRAME_H264_0), 1);  // present
    EXPECT_EQ(image_frame_prapare(f.p, IMAGE_FRAME_YUV_0), 1);
    kxtest::StdoutCapture out;
    for (uint32_t type : {uint32_t(IMAGE_FRAME_YUV_1), uint32_t(IMAGE_FRAME_RGB_1), uint32_t(IMAGE_FRAME_H264_2), 0x41u}) {
        EXPECT_EQ(image_frame_prapare(f.p, type), -1);
        char want[48];
        snprintf(want, sizeof want, "Invalid type(=%#lx).", (unsigned long)type);
        EXPECT_NE(kxtest::strip_colours(out.text()).find(want), std::string::npos) << want;
    }
    EXPECT_EQ(f->dataValidType, uint32_t(IMAGE_FRAME_YUV_0 | IMAGE_FRAME_H264_0));
}

}  // namespace
