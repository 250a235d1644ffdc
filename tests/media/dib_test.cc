// Bitmaps: conversions against the integer formulas, geometry on small known pictures, planar
// YUV 4:2:0 to RGB, bilinear grey resize, BMP writing and reading, and the process-wide tables.
// KX_THREADED: the first-use table build is raced from several threads.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/dib.h"
#include "kx/global.h"
#include "kx/objectlist.h"
#include "kx/string.h"

namespace {

// ---- reference formulas, written out directly ----

struct Px {
    int a, b, c;  // R, G, B / Y, Cb, Cr / grey in a
    bool operator==(const Px &o) const = default;
};
std::ostream &operator<<(std::ostream &os, const Px &p) { return os << "(" << p.a << "," << p.b << "," << p.c << ")"; }

int clampi(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

Px ycc_to_rgb(Px y) {
    int r = clampi((512 * y.a + 719 * y.c - 91648) >> 9, 0, 255);
    int b = clampi((128 * y.a + 227 * y.b - 28928) >> 7, 0, 255);
    int g = clampi(y.a + clampi((122753 - 176 * y.b - 365 * y.c) >> 9, 0, 210) - 105, 0, 255);
    return {r, g, b};
}
int luma(Px p) { return ((306 * p.a) >> 10) + ((603 * p.b + 117 * p.c) >> 10); }
Px rgb_to_ycc(Px p) {
    int y = luma(p);
    return {y, (9 * p.c - 9 * y + 2048) >> 4, (727 * p.a - 727 * y + 131072) >> 10};
}

bool rgbish(int f) { return f == IMAGE_DIB_RGB || f == IMAGE_DIB_BGR; }

// A pixel of format s as format t sees it.
Px reference(int s, int t, Px p) {
    if (rgbish(s) && rgbish(t)) return p;
    if (rgbish(s)) return t == IMAGE_DIB_YCbCr ? rgb_to_ycc(p) : Px{luma(p), 0, 0};
    if (s == IMAGE_DIB_YCbCr) return rgbish(t) ? ycc_to_rgb(p) : t == IMAGE_DIB_YCbCr ? p : Px{p.a, 0, 0};
    return rgbish(t) ? Px{p.a, p.a, p.a} : t == IMAGE_DIB_YCbCr ? Px{p.a, 128, 128} : Px{p.a, 0, 0};
}

// ---- pixel access by layout ----

Px get(const image_dib *d, uint32_t x, uint32_t y) {
    const unsigned char *row = d->data + static_cast<size_t>(y) * d->lineBits;
    const size_t plane = static_cast<size_t>(d->lineBits) * d->height;
    switch (d->format) {
        case IMAGE_DIB_RGB: return {row[3 * x], row[3 * x + 1], row[3 * x + 2]};
        case IMAGE_DIB_BGR: return {row[3 * x + 2], row[3 * x + 1], row[3 * x]};
        case IMAGE_DIB_YCbCr: return {row[x], row[plane + x], row[2 * plane + x]};
        default: return {row[x], 0, 0};
    }
}

void put(image_dib *d, uint32_t x, uint32_t y, Px p) {
    unsigned char *row = d->data + static_cast<size_t>(y) * d->lineBits;
    const size_t plane = static_cast<size_t>(d->lineBits) * d->height;
    auto u = [](int v) { return static_cast<unsigned char>(v); };
    switch (d->format) {
        case IMAGE_DIB_RGB: row[3 * x] = u(p.a), row[3 * x + 1] = u(p.b), row[3 * x + 2] = u(p.c); break;
        case IMAGE_DIB_BGR: row[3 * x + 2] = u(p.a), row[3 * x + 1] = u(p.b), row[3 * x] = u(p.c); break;
        case IMAGE_DIB_YCbCr: row[x] = u(p.a), row[plane + x] = u(p.b), row[2 * plane + x] = u(p.c); break;
        default: row[x] = u(p.a);
    }
}

Px native(int f, Px p) { return f == IMAGE_DIB_Gray ? Px{p.a, 0, 0} : p; }

// Deterministic pixel content that differs from pixel to pixel.
Px pattern(uint32_t x, uint32_t y) {
    uint32_t h = (x * 73856093u) ^ (y * 19349663u) ^ 0x5bd1e995u;
    h ^= h >> 13, h *= 0x85ebca6bu, h ^= h >> 16;
    return {static_cast<int>(h & 255), static_cast<int>((h >> 8) & 255), static_cast<int>((h >> 16) & 255)};
}

struct Dib {
    image_dib *p;
    explicit Dib(image_dib *d) : p(d) {}
    ~Dib() { image_dib_delete__OI(&p); }
    Dib(const Dib &) = delete;
    Dib &operator=(const Dib &) = delete;
    image_dib *operator->() const { return p; }
};

// A w x h DIB of format f with a padded stride, filled with pattern().
image_dib *patterned(int f, uint32_t w, uint32_t h, uint32_t pad = 5) {
    uint32_t stride = (rgbish(f) ? 3 * w : w) + pad;
    image_dib *d = image_dib_new__IO(w, h, f, stride);
    if (d == nullptr) return nullptr;
    memset(d->data, 0xEE, d->dataLenth);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) put(d, x, y, native(f, pattern(x, y)));
    return d;
}

const int kFormats[] = {IMAGE_DIB_RGB, IMAGE_DIB_BGR, IMAGE_DIB_YCbCr, IMAGE_DIB_Gray};
const char *kNames[] = {"?", "RGB", "BGR", "YCbCr", "Gray"};

// Every pixel of out (format t) equals the reference of source pixel at (cols(i), rows(j)).
void expect_mapped(const image_dib *src, const image_dib *out, int t, uint32_t w, uint32_t h,
                   const std::function<uint32_t(uint32_t)> &col, const std::function<uint32_t(uint32_t)> &row,
                   const std::string &what) {
    ASSERT_NE(out, nullptr) << what;
    ASSERT_EQ(out->format, t) << what;
    ASSERT_EQ(out->width, w) << what;
    ASSERT_EQ(out->height, h) << what;
    int bad = 0;
    for (uint32_t j = 0; j < h && bad < 3; ++j)
        for (uint32_t i = 0; i < w && bad < 3; ++i) {
            Px want = reference(src->format, t, get(src, col(i), row(j)));
            Px have = get(out, i, j);
            if (!(have == want)) {
                ++bad;
                ADD_FAILURE() << what << " at (" << i << "," << j << "): " << have << " want " << want;
            }
        }
}

// ---- construction ----

TEST(DibNew, StrideAndBlockSizeByFormat) {
    struct Case {
        int format;
        uint32_t w, h, lineBits;
        uint32_t wantStride;
        size_t wantBytes;
    } cases[] = {
        {IMAGE_DIB_RGB, 5, 3, 0, 15, 45},   {IMAGE_DIB_BGR, 5, 3, 16, 16, 48}, {IMAGE_DIB_YCbCr, 5, 3, 0, 5, 45},
        {IMAGE_DIB_YCbCr, 5, 3, 8, 8, 72},  {IMAGE_DIB_Gray, 7, 2, 0, 7, 14},  {IMAGE_DIB_Gray, 7, 2, 9, 9, 18},
    };
    for (const Case &c : cases) {
        Dib d(image_dib_new__IO(c.w, c.h, c.format, c.lineBits));
        ASSERT_NE(d.p, nullptr) << kNames[c.format];
        EXPECT_EQ(d->lineBits, c.wantStride) << kNames[c.format];
        EXPECT_EQ(d->dataLenth, c.wantBytes) << kNames[c.format];
        memset(d->data, 1, d->dataLenth);  // the whole block is usable (ASan)
    }
    struct Bad {
        uint32_t w, h;
        int format;
        uint32_t lineBits;
    } bad[] = {{0, 3, 1, 0}, {3, 0, 1, 0}, {3, 3, 0, 0}, {3, 3, 5, 0}, {3, 3, 1, 8}, {3, 3, 4, 2}, {0x60000000, 1, 1, 0}};
    for (const Bad &b : bad) EXPECT_EQ(image_dib_new__IO(b.w, b.h, b.format, b.lineBits), nullptr) << b.w << " " << b.format;
    image_dib *d = image_dib_new__IO(2, 2, IMAGE_DIB_Gray, 0);
    image_dib_delete_for_gtk__OI(d ? d->data : nullptr, d);  // released (LeakSanitizer)
    image_dib *none = nullptr;
    image_dib_delete__OI(&none);
}

// ---- conversions ----

TEST(DibConvert, EveryPairOfEveryFamilyFollowsTheFormulas) {
    // A row of pixels that reaches the clamps and the middle of every table.
    const Px samples[] = {{0, 0, 0},     {255, 255, 255}, {255, 0, 0},   {0, 255, 0},   {0, 0, 255},  {128, 128, 128},
                          {17, 200, 93}, {250, 5, 130},   {16, 128, 240}, {235, 240, 16}, {90, 60, 200}, {1, 254, 127}};
    const uint32_t n = sizeof samples / sizeof samples[0];
    for (int s : kFormats) {
        Dib src(image_dib_new__IO(n, 1, s, 0));
        ASSERT_NE(src.p, nullptr);
        for (uint32_t x = 0; x < n; ++x) put(src.p, x, 0, native(s, samples[x]));
        for (int t : kFormats) {
            const std::string pair = std::string(kNames[s]) + "->" + kNames[t];
            auto same = [](uint32_t v) { return v; };
            auto zero = [](uint32_t) { return 0u; };
            Dib whole(image_dib_new_from_dib__IO(src.p, t, 0));
            expect_mapped(src.p, whole.p, t, n, 1, same, zero, "new_from_dib " + pair);
            Dib cut(image_dib_cutByPoint__IO(src.p, 0, 0, n - 1, 0, t, 0));
            expect_mapped(src.p, cut.p, t, n, 1, same, zero, "cutByPoint " + pair);
            Dib flip(image_dib_upsideDown__IO(src.p, t, 0));
            expect_mapped(src.p, flip.p, t, n, 1, same, zero, "upsideDown " + pair);
            Dib scaled(image_dib_scaling_fast__IO(src.p, n, 1, t, 0));
            expect_mapped(src.p, scaled.p, t, n, 1, same, zero, "scaling_fast " + pair);
        }
    }
}

TEST(DibConvert, RoundTripsStayClose) {
    // RGB -> YCbCr -> RGB over a colour cube; grey -> RGB -> grey.
    const uint32_t step = 15, side = 256 / step + 1;
    Dib rgb(image_dib_new__IO(side * side, side, IMAGE_DIB_RGB, 0));
    ASSERT_NE(rgb.p, nullptr);
    for (uint32_t b = 0; b < side; ++b)
        for (uint32_t g = 0; g < side; ++g)
            for (uint32_t r = 0; r < side; ++r)
                put(rgb.p, g * side + r, b,
                    {clampi(int(r * step), 0, 255), clampi(int(g * step), 0, 255), clampi(int(b * step), 0, 255)});
    Dib ycc(image_dib_new_from_dib__IO(rgb.p, IMAGE_DIB_YCbCr, 0));
    Dib back(image_dib_new_from_dib__IO(ycc.p, IMAGE_DIB_RGB, 0));
    ASSERT_NE(back.p, nullptr);
    int worst = 0;
    double total = 0;
    for (size_t i = 0; i < rgb->dataLenth; ++i) {
        int e = std::abs(int(rgb->data[i]) - int(back->data[i]));
        worst = std::max(worst, e);
        total += e;
    }
    EXPECT_LE(worst, 4);
    EXPECT_LT(total / rgb->dataLenth, 1.0);

    Dib grey(image_dib_new__IO(256, 1, IMAGE_DIB_Gray, 0));
    for (int v = 0; v < 256; ++v) grey->data[v] = static_cast<unsigned char>(v);
    for (int via : {IMAGE_DIB_RGB, IMAGE_DIB_BGR, IMAGE_DIB_YCbCr}) {
        Dib mid(image_dib_new_from_dib__IO(grey.p, via, 0));
        Dib again(image_dib_new_from_dib__IO(mid.p, IMAGE_DIB_Gray, 0));
        ASSERT_NE(again.p, nullptr);
        for (int v = 0; v < 256; ++v) EXPECT_NEAR(again->data[v], v, via == IMAGE_DIB_YCbCr ? 0 : 1) << kNames[via];
    }
}

TEST(DibConvert, FromThreePlanes) {
    const uint32_t w = 5, h = 3, stride = 8;
    std::vector<unsigned char> y(stride * h), cb(stride * h), cr(stride * h);
    for (uint32_t j = 0; j < h; ++j)
        for (uint32_t i = 0; i < w; ++i) {
            Px p = pattern(i, j);
            y[j * stride + i] = p.a, cb[j * stride + i] = p.b, cr[j * stride + i] = p.c;
        }
    Dib planar(image_dib_new__IO(w, h, IMAGE_DIB_YCbCr, stride));
    memcpy(planar->data, y.data(), y.size());
    memcpy(planar->data + y.size(), cb.data(), cb.size());
    memcpy(planar->data + 2 * y.size(), cr.data(), cr.size());
    for (int t : std::initializer_list<int>{0, IMAGE_DIB_RGB, IMAGE_DIB_BGR, IMAGE_DIB_YCbCr, IMAGE_DIB_Gray}) {
        Dib out(image_dib_new_from_YCbCr__IO(w, h, t, 0, y.data(), cb.data(), cr.data(), stride));
        expect_mapped(planar.p, out.p, t ? t : IMAGE_DIB_YCbCr, w, h, [](uint32_t v) { return v; },
                      [](uint32_t v) { return v; }, std::string("from planes to ") + kNames[t]);
    }
    EXPECT_EQ(image_dib_new_from_YCbCr__IO(w, h, 1, 0, y.data(), cb.data(), cr.data(), w - 1), nullptr);
    EXPECT_EQ(image_dib_new_from_YCbCr__IO(w, h, 1, 0, y.data(), nullptr, cr.data(), stride), nullptr);
    EXPECT_EQ(image_dib_new_from_YCbCr__IO(w, h, 5, 0, y.data(), cb.data(), cr.data(), stride), nullptr);
}

// ---- geometry ----

TEST(DibGeometry, ScalingTakesTheCentreOfEachTargetPixel) {
    Dib four(patterned(IMAGE_DIB_RGB, 4, 4));
    Dib two(image_dib_scaling_fast__IO(four.p, 2, 2, 0, 0));
    ASSERT_NE(two.p, nullptr);
    EXPECT_EQ(get(two.p, 0, 0), get(four.p, 1, 1));
    EXPECT_EQ(get(two.p, 1, 0), get(four.p, 3, 1));
    EXPECT_EQ(get(two.p, 0, 1), get(four.p, 1, 3));
    EXPECT_EQ(get(two.p, 1, 1), get(four.p, 3, 3));

    struct Case {
        uint32_t w, h, nw, nh;
    } cases[] = {{5, 4, 7, 3}, {5, 4, 1, 1}, {3, 2, 6, 5}, {9, 7, 4, 4}};
    for (const Case &c : cases)
        for (int s : kFormats)
            for (int t : kFormats) {
                Dib src(patterned(s, c.w, c.h));
                Dib out(image_dib_scaling_fast__IO(src.p, c.nw, c.nh, t, 0));
                auto col = [&](uint32_t i) { return ((2 * i + 1) * c.w / c.nw) >> 1; };
                auto row = [&](uint32_t j) { return ((2 * j + 1) * c.h / c.nh) >> 1; };
                expect_mapped(src.p, out.p, t, c.nw, c.nh, col, row,
                              std::string(kNames[s]) + "->" + kNames[t] + " " + std::to_string(c.nw) + "x" +
                                  std::to_string(c.nh));
            }
    Dib src(patterned(IMAGE_DIB_RGB, 4, 4));
    EXPECT_EQ(image_dib_scaling_fast__IO(src.p, 0, 2, 0, 0), nullptr);
    EXPECT_EQ(image_dib_scaling_fast__IO(src.p, 2, 2, 7, 0), nullptr);
}

TEST(DibGeometry, CropCopiesTheInclusiveRectangleAndChecksIt) {
    struct Rect {
        uint32_t x1, y1, x2, y2;
    } rects[] = {{0, 0, 0, 0}, {1, 1, 3, 2}, {0, 0, 5, 3}, {5, 3, 5, 3}, {2, 0, 2, 3}};
    for (const Rect &r : rects)
        for (int s : kFormats)
            for (int t : kFormats) {
                Dib src(patterned(s, 6, 4));
                Dib out(image_dib_cutByPoint__IO(src.p, r.x1, r.y1, r.x2, r.y2, t, 0));
                expect_mapped(src.p, out.p, t, r.x2 - r.x1 + 1, r.y2 - r.y1 + 1,
                              [&](uint32_t i) { return r.x1 + i; }, [&](uint32_t j) { return r.y1 + j; },
                              std::string(kNames[s]) + "->" + kNames[t] + " crop at " + std::to_string(r.x1) + "," +
                                  std::to_string(r.y1));
            }
    Dib src(patterned(IMAGE_DIB_BGR, 6, 4));
    const Rect outside[] = {{2, 0, 1, 0}, {0, 2, 0, 1}, {0, 0, 6, 0}, {0, 0, 0, 4}, {6, 0, 6, 0}};
    for (const Rect &r : outside)
        EXPECT_EQ(image_dib_cutByPoint__IO(src.p, r.x1, r.y1, r.x2, r.y2, 0, 0), nullptr) << r.x1 << r.y1 << r.x2 << r.y2;
}

TEST(DibGeometry, FlipReversesRowsWithAnyStride) {
    for (int s : kFormats)
        for (int t : kFormats)
            for (uint32_t lineBits : {0u, 40u}) {
                Dib src(patterned(s, 5, 3));
                Dib out(image_dib_upsideDown__IO(src.p, t, lineBits));
                expect_mapped(src.p, out.p, t, 5, 3, [](uint32_t i) { return i; }, [](uint32_t j) { return 2 - j; },
                              std::string(kNames[s]) + "->" + kNames[t]);
                if (out.p && lineBits) {
                    EXPECT_EQ(out->lineBits, lineBits);
                }
            }
    Dib src(patterned(IMAGE_DIB_RGB, 5, 3));
    EXPECT_EQ(image_dib_upsideDown__IO(src.p, IMAGE_DIB_RGB, 14), nullptr);  // stride shorter than a row
}

TEST(DibGeometry, CentredCropKeepsTheWindowInside) {
    // Picture 10 x 8; each case gives centre and maximum size and the window it must yield.
    struct Case {
        uint32_t cx, cy, mw, mh;
        uint32_t x1, y1, x2, y2;
    } cases[] = {
        {5, 4, 20, 20, 0, 0, 9, 7},  // both sides fit
        {1, 1, 4, 4, 0, 0, 3, 3},    // close to the start
        {8, 7, 4, 4, 6, 4, 9, 7},    // close to the end: flush
        {5, 4, 4, 4, 3, 2, 6, 5},    // centred
        {5, 4, 5, 3, 3, 3, 7, 5},    // odd windows
        {9, 7, 10, 3, 0, 5, 9, 7},   // width fits exactly
    };
    for (const Case &c : cases) {
        Dib src(patterned(IMAGE_DIB_RGB, 10, 8));
        Dib out(image_dib_CutByMaxWidthHeigh__IO(src.p, c.cx, c.cy, c.mw, c.mh, IMAGE_DIB_Gray, 0));
        expect_mapped(src.p, out.p, IMAGE_DIB_Gray, c.x2 - c.x1 + 1, c.y2 - c.y1 + 1,
                      [&](uint32_t i) { return c.x1 + i; }, [&](uint32_t j) { return c.y1 + j; },
                      "centre " + std::to_string(c.cx) + "," + std::to_string(c.cy));
    }
    Dib src(patterned(IMAGE_DIB_RGB, 10, 8));
    EXPECT_EQ(image_dib_CutByMaxWidthHeigh__IO(src.p, 5, 4, 0, 4, 0, 0), nullptr);
}

TEST(DibGeometry, UnusableSourcesGiveNull) {
    Dib ok(patterned(IMAGE_DIB_RGB, 4, 4, 0));
    image_dib bad = *ok.p;
    struct Mutation {
        const char *what;
        std::function<void(image_dib &)> apply;
    } mutations[] = {
        {"format", [](image_dib &d) { d.format = 9; }},
        {"short stride", [](image_dib &d) { d.lineBits = 11; }},
        {"short data", [](image_dib &d) { d.dataLenth = 47; }},
        {"no data", [](image_dib &d) { d.data = nullptr; }},
        {"no rows", [](image_dib &d) { d.height = 0; }},
    };
    for (const Mutation &m : mutations) {
        bad = *ok.p;
        m.apply(bad);
        EXPECT_EQ(image_dib_upsideDown__IO(&bad, 0, 0), nullptr) << m.what;
        EXPECT_EQ(image_dib_scaling_fast__IO(&bad, 2, 2, 0, 0), nullptr) << m.what;
        EXPECT_EQ(image_dib_cutByPoint__IO(&bad, 0, 0, 0, 0, 0, 0), nullptr) << m.what;
        EXPECT_EQ(image_dib_new_from_dib__IO(&bad, IMAGE_DIB_YCbCr, 0), nullptr) << m.what;
        EXPECT_EQ(image_dib_to_bmpData__IO(&bad), nullptr) << m.what;
    }
    EXPECT_EQ(image_dib_upsideDown__IO(nullptr, 0, 0), nullptr);
}

// ---- planar YUV 4:2:0 ----

TEST(DibCopy, Yuv420ToPackedFollowsTheFormula) {
    struct Case {
        uint32_t w, h, stride;
    } cases[] = {{6, 4, 0}, {5, 3, 0}, {4, 2, 7}, {1, 1, 0}, {7, 5, 9}};
    for (const Case &c : cases) {
        const size_t stride = c.stride ? c.stride : c.w, cs = (stride + 1) / 2, ch = (c.h + 1) / 2;
        std::vector<unsigned char> yuv(stride * c.h + 2 * cs * ch);
        for (size_t i = 0; i < yuv.size(); ++i) yuv[i] = static_cast<unsigned char>(pattern(uint32_t(i), 7).a);
        const unsigned char *Y = yuv.data(), *U = Y + stride * c.h, *V = U + cs * ch;
        for (int target : std::initializer_list<int>{IMAGE_DIB_RGB, IMAGE_DIB_GBR}) {
            const size_t outStride = c.w * 3 + 2;
            std::vector<unsigned char> out(outStride * c.h, 0xEE);
            ASSERT_EQ(image_dib_copy(c.w, c.h, IMAGE_DIB_YUV420P, c.stride, yuv.data(), target, uint32_t(outStride),
                                     out.data()),
                      1);
            for (uint32_t y = 0; y < c.h; ++y)
                for (uint32_t x = 0; x < c.w; ++x) {
                    Px want = ycc_to_rgb({Y[y * stride + x], U[(y / 2) * cs + x / 2], V[(y / 2) * cs + x / 2]});
                    const unsigned char *p = &out[y * outStride + 3 * x];
                    Px have = target == IMAGE_DIB_RGB ? Px{p[0], p[1], p[2]} : Px{p[2], p[0], p[1]};
                    ASSERT_EQ(have, want) << c.w << "x" << c.h << " at " << x << "," << y << " target " << target;
                }
            for (uint32_t y = 0; y < c.h; ++y) {  // row padding untouched
                EXPECT_EQ(out[y * outStride + c.w * 3], 0xEE);
                EXPECT_EQ(out[y * outStride + c.w * 3 + 1], 0xEE);
            }
        }
    }
    unsigned char buf[64] = {};
    EXPECT_EQ(image_dib_copy(2, 2, IMAGE_DIB_YUV420P, 0, buf, IMAGE_DIB_BGR, 0, buf + 16), -1);
    EXPECT_EQ(image_dib_copy(2, 2, IMAGE_DIB_RGB, 0, buf, IMAGE_DIB_RGB, 0, buf + 16), -1);
    EXPECT_EQ(image_dib_copy(4, 2, IMAGE_DIB_YUV420P, 3, buf, IMAGE_DIB_RGB, 0, buf + 16), -1);
    EXPECT_EQ(image_dib_copy(4, 2, IMAGE_DIB_YUV420P, 0, buf, IMAGE_DIB_RGB, 11, buf + 16), -1);
}

TEST(DibResizeGray, BilinearAgainstTheWeightedSum) {
    struct Case {
        uint32_t sw, sh, tw, th;
    } cases[] = {{2, 1, 4, 1}, {4, 4, 2, 2}, {5, 3, 8, 7}, {7, 6, 3, 2}, {3, 3, 3, 3}};
    for (const Case &c : cases) {
        const uint32_t sStride = c.sw + 3, tStride = c.tw + 1;
        std::vector<unsigned char> src(sStride * c.sh), dst(tStride * c.th, 0xEE);
        for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(pattern(uint32_t(i), 3).b);
        ASSERT_EQ(image_dib_resize_gray(dst.data(), c.tw, c.th, tStride, src.data(), c.sw, c.sh, sStride), c.th);
        for (uint32_t j = 0; j < c.th; ++j)
            for (uint32_t i = 0; i < c.tw; ++i) {
                double py = double(j) * c.sh / c.th, px = double(i) * c.sw / c.tw;
                uint32_t y0 = uint32_t(py), x0 = uint32_t(px);
                uint32_t y1 = y0 + 1 < c.sh ? y0 + 1 : y0, x1 = x0 + 1 < c.sw ? x0 + 1 : x0;
                double fy = py - y0, fx = px - x0;
                auto s = [&](uint32_t x, uint32_t y) { return double(src[y * sStride + x]); };
                double v = (1 - fx) * (1 - fy) * s(x0, y0) + fx * (1 - fy) * s(x1, y0) + (1 - fx) * fy * s(x0, y1) +
                           fx * fy * s(x1, y1);
                EXPECT_EQ(dst[j * tStride + i], int(std::floor(v + 1e-9)))
                    << c.sw << "x" << c.sh << "->" << c.tw << "x" << c.th << " at " << i << "," << j;
            }
        for (uint32_t j = 0; j < c.th; ++j) EXPECT_EQ(dst[j * tStride + c.tw], 0xEE);
    }
    unsigned char a[4] = {}, b[4] = {};
    EXPECT_EQ(image_dib_resize_gray(a, 2, 2, 1, b, 2, 2, 2), 0u);
    EXPECT_EQ(image_dib_resize_gray(a, 2, 2, 2, nullptr, 2, 2, 2), 0u);
}

// ---- BMP ----

uint32_t rd32(const std::string &s, size_t at) {
    return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 | uint32_t(uint8_t(s[at + 2])) << 16 |
           uint32_t(uint8_t(s[at + 3])) << 24;
}
void wr32(std::string &s, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) s[at + k] = char(v >> (8 * k));
}

// A BMP built field by field: rows given top-down as the bytes of each stored row (unpadded).
std::string make_bmp(int bits, int32_t w, int32_t h, const std::vector<Px> &palette,
                     const std::vector<std::vector<uint8_t>> &rowsTopDown) {
    const size_t row = (size_t(w) * bits + 31) / 32 * 4;
    const size_t offset = 54 + 4 * palette.size();
    std::string s(offset + row * rowsTopDown.size(), '\0');
    s[0] = 'B', s[1] = 'M';
    wr32(s, 2, uint32_t(s.size()));
    wr32(s, 10, uint32_t(offset));
    wr32(s, 14, 40);
    wr32(s, 18, uint32_t(w));
    wr32(s, 22, uint32_t(h));
    s[26] = 1;
    s[28] = char(bits);
    wr32(s, 46, uint32_t(palette.size()));
    for (size_t i = 0; i < palette.size(); ++i) {
        s[54 + 4 * i] = char(palette[i].c), s[55 + 4 * i] = char(palette[i].b), s[56 + 4 * i] = char(palette[i].a);
    }
    const size_t n = rowsTopDown.size();
    for (size_t r = 0; r < n; ++r) {
        size_t stored = h < 0 ? r : n - 1 - r;
        memcpy(&s[offset + stored * row], rowsTopDown[r].data(), rowsTopDown[r].size());
    }
    return s;
}

image_dib *read_bmp(const std::string &bytes, int format) {
    kx_String *s = kx_String_new_form_stringBuffer__IO(bytes.data(), uint32_t(bytes.size()));
    image_dib *d = image_dib_new_from_bmp__IO(s, format, 0);
    kx_String_delete__OI(s);
    return d;
}

std::string bmp_of(const image_dib *d) {
    kx_String *s = image_dib_to_bmpData__IO(d);
    std::string out = s ? std::string(s->buffer, s->lenth) : std::string();
    kx_String_delete__OI(s);
    return out;
}

TEST(DibBmp, WriteThenReadKeepsThePixels) {
    struct Case {
        int format;
        uint32_t w, h;
        int readAs;
        int bits;
    } cases[] = {
        {IMAGE_DIB_RGB, 5, 3, 0, 24},   {IMAGE_DIB_RGB, 4, 2, IMAGE_DIB_RGB, 24}, {IMAGE_DIB_BGR, 7, 2, IMAGE_DIB_BGR, 24},
        {IMAGE_DIB_RGB, 1, 1, IMAGE_DIB_RGB, 24}, {IMAGE_DIB_Gray, 3, 3, IMAGE_DIB_Gray, 8},
        {IMAGE_DIB_Gray, 6, 1, IMAGE_DIB_Gray, 8}, {IMAGE_DIB_YCbCr, 3, 2, IMAGE_DIB_RGB, 24},
        {IMAGE_DIB_RGB, 3, 2, IMAGE_DIB_YCbCr, 24}, {IMAGE_DIB_Gray, 5, 2, IMAGE_DIB_RGB, 8},
    };
    for (const Case &c : cases) {
        const std::string name = std::string(kNames[c.format]) + " " + std::to_string(c.w) + "x" + std::to_string(c.h);
        Dib src(patterned(c.format, c.w, c.h));
        std::string file = bmp_of(src.p);
        const size_t row = (size_t(c.w) * c.bits / 8 + 3) & ~size_t(3);
        const size_t offset = c.bits == 8 ? 1078 : 54;
        ASSERT_EQ(file.size(), offset + row * c.h) << name;
        EXPECT_EQ(file.substr(0, 2), "BM");
        EXPECT_EQ(rd32(file, 2), file.size());
        EXPECT_EQ(rd32(file, 10), offset);
        EXPECT_EQ(rd32(file, 14), 40u);
        EXPECT_EQ(rd32(file, 18), c.w);
        EXPECT_EQ(rd32(file, 22), c.h);
        EXPECT_EQ(uint8_t(file[28]), c.bits);
        for (size_t r = 0; r < c.h; ++r)  // padding bytes are zero
            for (size_t k = c.w * c.bits / 8; k < row; ++k) EXPECT_EQ(file[offset + r * row + k], 0) << name;
        if (c.bits == 8) {
            for (int i = 0; i < 256; ++i)
                EXPECT_EQ(rd32(file, 54 + 4 * i), uint32_t(i) | uint32_t(i) << 8 | uint32_t(i) << 16) << i;
        }
        // Bottom-up: the last picture row is stored first.
        Px last = get(src.p, 0, c.h - 1);
        Px firstStored = c.bits == 8 ? Px{uint8_t(file[offset]), 0, 0}
                                     : Px{uint8_t(file[offset + 2]), uint8_t(file[offset + 1]), uint8_t(file[offset])};
        EXPECT_EQ(firstStored, reference(c.format, c.bits == 8 ? IMAGE_DIB_Gray : IMAGE_DIB_RGB, last)) << name;

        Dib back(read_bmp(file, c.readAs));
        // Stored pixels are RGB (24-bit) or grey (8-bit); reading converts them to the asked format.
        const int stored = c.bits == 8 ? IMAGE_DIB_Gray : IMAGE_DIB_RGB;
        const int got = c.readAs ? c.readAs : IMAGE_DIB_RGB;
        ASSERT_NE(back.p, nullptr) << name;
        ASSERT_EQ(back->format, got);
        ASSERT_EQ(back->width, c.w);
        ASSERT_EQ(back->height, c.h);
        for (uint32_t y = 0; y < c.h; ++y)
            for (uint32_t x = 0; x < c.w; ++x)
                ASSERT_EQ(get(back.p, x, y), reference(stored, got, reference(c.format, stored, get(src.p, x, y))))
                    << name << " at " << x << "," << y;
    }
}

TEST(DibBmp, ReadsTopDownPalettedAndPlainGreyFiles) {
    // 24-bit top-down (negative height): stored rows are read in order.
    {
        std::string f = make_bmp(24, 2, -2, {}, {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}});
        Dib d(read_bmp(f, IMAGE_DIB_RGB));
        ASSERT_NE(d.p, nullptr);
        EXPECT_EQ(d->height, 2u);
        EXPECT_EQ(get(d.p, 0, 0), (Px{3, 2, 1}));
        EXPECT_EQ(get(d.p, 1, 1), (Px{12, 11, 10}));
    }
    struct Case {
        const char *what;
        int bits;
        int32_t w, h;
        std::vector<Px> palette;
        std::vector<std::vector<uint8_t>> rows;
        int readAs;
        std::vector<Px> want;  // top-down, row by row
    } cases[] = {
        {"8-bit, no palette", 8, 3, 2, {}, {{0, 100, 255}, {7, 8, 9}}, IMAGE_DIB_Gray,
         {{0, 0, 0}, {100, 0, 0}, {255, 0, 0}, {7, 0, 0}, {8, 0, 0}, {9, 0, 0}}},
        {"4-bit, no palette, high nibble first", 4, 3, 1, {}, {{0x1F, 0x20}}, IMAGE_DIB_Gray,
         {{16, 0, 0}, {240, 0, 0}, {32, 0, 0}}},
        {"8-bit colour palette", 8, 2, 1, {{10, 20, 30}, {200, 100, 50}}, {{1, 0}}, IMAGE_DIB_RGB,
         {{200, 100, 50}, {10, 20, 30}}},
        {"8-bit index past the palette is black", 8, 2, 1, {{10, 20, 30}, {200, 100, 50}}, {{5, 1}}, IMAGE_DIB_BGR,
         {{0, 0, 0}, {200, 100, 50}}},
        {"4-bit grey palette, top-down", 4, 3, -2, {{0, 0, 0}, {77, 77, 77}, {201, 201, 201}}, {{0x12, 0x00}, {0x21, 0x10}},
         IMAGE_DIB_Gray, {{77, 0, 0}, {201, 0, 0}, {0, 0, 0}, {201, 0, 0}, {77, 0, 0}, {77, 0, 0}}},
    };
    for (const Case &c : cases) {
        Dib d(read_bmp(make_bmp(c.bits, c.w, c.h, c.palette, c.rows), c.readAs));
        ASSERT_NE(d.p, nullptr) << c.what;
        ASSERT_EQ(d->format, c.readAs) << c.what;
        ASSERT_EQ(d->width * d->height, c.want.size()) << c.what;
        for (uint32_t i = 0; i < c.want.size(); ++i)
            EXPECT_EQ(get(d.p, i % d->width, i / d->width), c.want[i]) << c.what << " pixel " << i;
    }
}

TEST(DibBmp, MalformedFilesGiveNull) {
    const std::string good = make_bmp(24, 3, 2, {}, {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {9, 8, 7, 6, 5, 4, 3, 2, 1}});
    const std::string goodGrey = make_bmp(8, 3, 2, {}, {{1, 2, 3}, {4, 5, 6}});
    {
        Dib control(read_bmp(good, 0));
        ASSERT_NE(control.p, nullptr);  // the base files are valid
        Dib controlGrey(read_bmp(goodGrey, 0));
        ASSERT_NE(controlGrey.p, nullptr);
    }
    struct Case {
        const char *what;
        const std::string *base;
        std::function<void(std::string &)> damage;
    } cases[] = {
        {"empty", &good, [](std::string &s) { s.clear(); }},
        {"header cut", &good, [](std::string &s) { s.resize(53); }},
        {"signature", &good, [](std::string &s) { s[1] = 'A'; }},
        {"info header too small", &good, [](std::string &s) { wr32(s, 14, 12); }},
        {"info header past the end", &good, [](std::string &s) { wr32(s, 14, uint32_t(s.size())); }},
        {"offset inside the headers", &good, [](std::string &s) { wr32(s, 10, 40); }},
        {"offset past the end", &good, [](std::string &s) { wr32(s, 10, uint32_t(s.size()) + 1); }},
        {"offset 2^32-1", &good, [](std::string &s) { wr32(s, 10, 0xFFFFFFFFu); }},
        {"last row one byte short", &good, [](std::string &s) { s.pop_back(); }},
        {"more rows than data", &good, [](std::string &s) { wr32(s, 22, 3); }},
        {"more top-down rows than data", &good, [](std::string &s) { wr32(s, 22, uint32_t(-3)); }},
        {"wider than the rows", &good, [](std::string &s) { wr32(s, 18, 5); }},
        {"huge width", &good, [](std::string &s) { wr32(s, 18, 0x7FFFFFFF); }},
        {"width 0", &good, [](std::string &s) { wr32(s, 18, 0); }},
        {"negative width", &good, [](std::string &s) { wr32(s, 18, uint32_t(-3)); }},
        {"height 0", &good, [](std::string &s) { wr32(s, 22, 0); }},
        {"height INT32_MIN", &good, [](std::string &s) { wr32(s, 22, 0x80000000u); }},
        {"16 bits", &good, [](std::string &s) { s[28] = 16; }},
        {"32 bits", &good, [](std::string &s) { s[28] = 32; }},
        {"1 bit", &good, [](std::string &s) { s[28] = 1; }},
        {"compressed", &good, [](std::string &s) { wr32(s, 30, 1); }},
        {"grey rows short", &goodGrey, [](std::string &s) { s.resize(s.size() - 4); }},
        {"grey wider than rows", &goodGrey, [](std::string &s) { wr32(s, 18, 5); }},
    };
    for (const Case &c : cases) {
        std::string bytes = *c.base;
        c.damage(bytes);
        for (int f : std::initializer_list<int>{0, IMAGE_DIB_Gray, IMAGE_DIB_YCbCr}) EXPECT_EQ(read_bmp(bytes, f), nullptr) << c.what;
    }
    EXPECT_EQ(image_dib_new_from_bmp__IO(nullptr, 0, 0), nullptr);
    EXPECT_EQ(read_bmp(good, 6), nullptr);
}

TEST(DibBmp, FilesOnDisk) {
    char dir[] = "/tmp/kxdibXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/odd.bmp";
    Dib src(patterned(IMAGE_DIB_BGR, 7, 3));
    ASSERT_EQ(image_dib_svae_to_file(src.p, path.c_str()), 1);
    Dib back(image_dib_new_from_file__IO(path.c_str(), IMAGE_DIB_BGR, 0));
    ASSERT_NE(back.p, nullptr);
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 7; ++x) EXPECT_EQ(get(back.p, x, y), get(src.p, x, y));
    EXPECT_EQ(image_dib_new_from_file__IO((std::string(dir) + "/missing.bmp").c_str(), 0, 0), nullptr);
    EXPECT_EQ(image_dib_svae_to_file(nullptr, path.c_str()), -3);
    EXPECT_EQ(image_dib_svae_to_file(src.p, (std::string(dir) + "/no/such/dir.bmp").c_str()), -1);
    unlink(path.c_str());
    rmdir(dir);
}

// ---- process-wide tables ----

std::multiset<std::string> registered_blocks() {
    std::multiset<std::string> names;
    pthread_mutex_lock(&globalParameterMutex);
    if (globalParameterList != nullptr)
        for (uint32_t i = 0; i < globalParameterList->count; ++i) {
            auto *record = static_cast<kx_globalParameter *>(globalParameterList->array[globalParameterList->start + i]);
            if ((record->n & 0xFF) != 1) continue;
            void **blocks = reinterpret_cast<void **>(record + 1);
            if (blocks[0] != nullptr) names.insert(reinterpret_cast<const char *>(blocks + 1));
        }
    pthread_mutex_unlock(&globalParameterMutex);
    return names;
}

const char *const kTableNames[] = {"pYCbCr_to_R_by_Y_Cr", "pYCbCr_to_B_by_Y_Cb", "pYCbCr_to_Gcbcr_by_Cb_Cr",
                                   "pYCbCr_to_G_by_Y_Gcbcr", "pRGB_to_Ygb_by_G_B", "pRGB_to_Y_by_R_Y",
                                   "pRGB_to_Cb_by_B_Y", "pRGB_to_Cr_by_R_Y"};

TEST(DibTables, BuiltOnceUnderRacingFirstUseAndRebuiltAfterRelease) {
    std::vector<std::thread> threads;
    std::vector<int> results(4, 0);
    for (int k = 0; k < 4; ++k)
        threads.emplace_back([&results, k] {
            Dib src(patterned(IMAGE_DIB_RGB, 8, 8));
            Dib ycc(image_dib_new_from_dib__IO(src.p, IMAGE_DIB_YCbCr, 0));
            results[k] = ycc.p != nullptr && get(ycc.p, 3, 2) == rgb_to_ycc(get(src.p, 3, 2));
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(results, std::vector<int>(4, 1));
    std::multiset<std::string> names = registered_blocks();
    for (const char *name : kTableNames) EXPECT_EQ(names.count(name), 1u) << name;

    // globalRelease frees the blocks; the next conversion builds and registers them again.
    globalRelease();
    EXPECT_TRUE(registered_blocks().empty());
    Dib src(patterned(IMAGE_DIB_YCbCr, 3, 3));
    Dib rgb(image_dib_new_from_dib__IO(src.p, IMAGE_DIB_RGB, 0));
    ASSERT_NE(rgb.p, nullptr);
    EXPECT_EQ(get(rgb.p, 1, 1), ycc_to_rgb(get(src.p, 1, 1)));
    names = registered_blocks();
    for (const char *name : kTableNames) EXPECT_EQ(names.count(name), 1u) << name;
}

}  // namespace
