// Glyph overlay through libkxlib and the libGlyphor plug-in (KX_LINK_SHARED), checked against
// FreeType itself (KX_WITH_FREETYPE) with DejaVu Sans; KX_THREADED for the shared contexts.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kx/codec.h"
#include "kx/global.h"
#include "kx/glyph.h"
#include "kx/objectlist.h"
#include "tests/support/stdout_capture.hpp"

namespace {

const char *const kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

unsigned coverage(const kx_Glyphor_glyph *g, size_t k) {
    return (k & 1) ? (g->map[k / 2] & 0x0F) : (g->map[k / 2] >> 4);
}

// A plane of w x h samples, step bytes per sample, inside a buffer with a guard band of
// canary bytes on every side and in the stride padding.
struct Plane {
    static constexpr uint8_t kCanary = 0xA5;
    static constexpr uint32_t kGuard = 64;
    uint32_t w, h, step, lineBits;
    std::vector<uint8_t> buf;
    Plane(uint32_t w_, uint32_t h_, uint32_t step_ = 1) : w(w_), h(h_), step(step_), lineBits(w_ * step_ + 7) {
        buf.assign(static_cast<size_t>(lineBits) * (h + 2 * kGuard) + 2 * kGuard, kCanary);
        for (uint32_t r = 0; r < h; ++r)
            for (uint32_t c = 0; c < w * step; ++c) row(r)[c] = 0;
    }
    uint8_t *data() { return buf.data() + kGuard + static_cast<size_t>(lineBits) * kGuard; }
    uint8_t *row(uint32_t r) { return data() + static_cast<size_t>(r) * lineBits; }
    uint8_t &at(uint32_t c, uint32_t r) { return row(r)[c * step]; }
    // True when every byte outside the plane's samples is still the canary (and, for packed
    // planes, the 2nd and 3rd byte of each pixel are untouched).
    bool guard_intact() {
        const uint8_t *first = row(0), *end = row(h - 1) + lineBits;
        for (const uint8_t *p = buf.data(); p < first; ++p)
            if (*p != kCanary) return false;
        for (const uint8_t *p = end; p < buf.data() + buf.size(); ++p)
            if (*p != kCanary) return false;
        for (uint32_t r = 0; r < h; ++r) {
            for (uint32_t c = w * step; c < lineBits; ++c)
                if (row(r)[c] != kCanary) return false;
            for (uint32_t c = 0; c < w * step; ++c)
                if (c % step != 0 && row(r)[c] != 0) return false;
        }
        return true;
    }
};

// Reference drawing of colour 255 on black: each glyph with the layout rule of the overlay
// (gaps halved, the space moving the pen by half a cell).
void reference(kx_Glyphor *ctx, const std::vector<uint32_t> &codes, Plane &p, int x, int y, bool half) {
    int64_t pen = x, gap = 0;
    const int s = half ? 1 : 0;
    for (uint32_t code : codes) {
        const kx_Glyphor_glyph *g = kx_Glyphor_get(ctx, code);
        ASSERT_NE(g, nullptr);
        gap += g->left;
        if (gap > 0) pen += gap / 2;
        for (int64_t j = 0; j < g->rows; j += 1 << s)
            for (int64_t i = 0; i < g->width; i += 1 << s) {
                int64_t px = (pen >> s) + (i >> s), py = ((y + g->top) >> s) + (j >> s);
                unsigned a = coverage(g, static_cast<size_t>(j * g->width + i));
                if (a > 0 && px >= 0 && py >= 0 && px < p.w && py < p.h) p.at(px, py) = 255 * a / 15;
            }
        pen += g->width;
        gap = g->right;
    }
}

// globalRelease at the end runs the plug-in's release hook, which frees every context.
struct Release : ::testing::Environment {
    void TearDown() override {
        globalRelease();
        EXPECT_EQ(kx_Glyphor_cache_total(), 0u);
    }
};
const auto *const g_release = ::testing::AddGlobalTestEnvironment(new Release);

class Glyph : public ::testing::Test {
protected:
    void SetUp() override {
        ctx = kx_Glyphor_new__IO(kFont, 24, 24, 0, 0);
        ASSERT_NE(ctx, nullptr);
    }
    void TearDown() override {
        if (ctx) kx_Glyphor_delete__OI(ctx);
    }
    kx_Glyphor *ctx = nullptr;
};

TEST_F(Glyph, PlacementAndCoverageEqualFreeType) {
    FT_Library lib;
    FT_Face face;
    ASSERT_EQ(FT_Init_FreeType(&lib), 0);
    ASSERT_EQ(FT_New_Face(lib, kFont, 0, &face), 0);
    ASSERT_EQ(FT_Set_Pixel_Sizes(face, 24, 24), 0);
    const long baseline = static_cast<long>(face->size->metrics.y_ppem) * face->size->metrics.ascender /
                          face->size->metrics.height;
    // Ascender, descender, a narrow letter with negative bearing, a tall accented capital.
    for (uint32_t code : {uint32_t('A'), uint32_t('g'), uint32_t('j'), uint32_t('W'), uint32_t(0xC5)}) {
        SCOPED_TRACE(code);
        ASSERT_EQ(FT_Load_Char(face, code, FT_LOAD_RENDER), 0);
        FT_GlyphSlot slot = face->glyph;
        const kx_Glyphor_glyph *g = kx_Glyphor_get(ctx, code);
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(g->code, code);
        EXPECT_EQ(g->left, slot->bitmap_left);
        EXPECT_EQ(g->top, std::max(0L, baseline - slot->bitmap_top));
        EXPECT_EQ(g->width, static_cast<int>(slot->bitmap.width));
        EXPECT_EQ(g->rows, static_cast<int>(slot->bitmap.rows));
        EXPECT_EQ(g->right, std::max(0L, (slot->advance.x >> 6) - slot->bitmap_left - g->width));
        for (int r = 0; r < g->rows; ++r)
            for (int c = 0; c < g->width; ++c)
                ASSERT_EQ(coverage(g, r * g->width + c), slot->bitmap.buffer[r * slot->bitmap.pitch + c] >> 4u)
                    << r << "," << c;
    }
    // Å reaches above the line's ascent: its bitmap starts at the top.
    EXPECT_EQ(kx_Glyphor_get(ctx, 0xC5)->top, 0);
    FT_Done_Face(face);
    FT_Done_FreeType(lib);
}

TEST_F(Glyph, SpaceIsNeverRenderedAndMovesThePenByHalfACell) {
    const uint32_t before = ctx->bufferSize;
    const kx_Glyphor_glyph *sp = kx_Glyphor_get(ctx, ' ');
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(sp->left, 12);
    EXPECT_EQ(sp->right, 12);
    EXPECT_EQ(sp->top, 0);
    EXPECT_EQ(sp->width, 0);
    EXPECT_EQ(sp->rows, 0);
    EXPECT_EQ(ctx->bufferSize - before, 14u);

    Plane got(120, 40), want(120, 40);
    ASSERT_EQ(kx_Glyphor_write(ctx, "A B", got.data(), got.w, got.h, got.lineBits, 3, 2, 255), 1);
    reference(ctx, {'A', ' ', 'B'}, want, 3, 2, false);
    EXPECT_EQ(got.buf, want.buf);
    // B lands where the space rule puts it: A's right gap plus half a cell, halved.
    const kx_Glyphor_glyph *a = kx_Glyphor_get(ctx, 'A'), *b = kx_Glyphor_get(ctx, 'B');
    int64_t pen = 3 + std::max<int>(a->left, 0) / 2 + a->width;
    pen += (a->right + 12) / 2;
    pen += (12 + b->left) / 2;
    uint32_t firstColumn = got.w;
    for (uint32_t r = 0; r < got.h; ++r)
        for (uint32_t c = static_cast<uint32_t>(pen); c < got.w; ++c)
            if (got.at(c, r) != 0) firstColumn = std::min(firstColumn, c);
    EXPECT_GE(firstColumn, static_cast<uint32_t>(pen));
    EXPECT_LT(firstColumn, static_cast<uint32_t>(pen + 3));
}

TEST_F(Glyph, Colour255OnBlackGivesFullAndHalfCoverage) {
    const kx_Glyphor_glyph *g = kx_Glyphor_get(ctx, 'O');
    ASSERT_NE(g, nullptr);
    Plane p(60, 40);
    ASSERT_EQ(kx_Glyphor_write(ctx, "O", p.data(), p.w, p.h, p.lineBits, 0, 0, 255), 1);
    const int x0 = std::max<int>(g->left, 0) / 2;
    int full = 0, half = 0;
    for (int r = 0; r < g->rows; ++r)
        for (int c = 0; c < g->width; ++c) {
            unsigned a = coverage(g, r * g->width + c);
            uint8_t v = p.at(x0 + c, g->top + r);
            if (a == 15) {
                EXPECT_EQ(v, 255);
                ++full;
            } else if (a == 8) {
                EXPECT_EQ(v, 136);
                ++half;
            } else if (a == 0) {
                EXPECT_EQ(v, 0);
            }
        }
    EXPECT_GT(full, 0);
    EXPECT_GT(half, 0);
    // A grey background under colour 0: full coverage gives the colour.
    Plane grey(60, 40);
    for (uint32_t r = 0; r < grey.h; ++r) memset(grey.row(r), 200, grey.w);
    ASSERT_EQ(kx_Glyphor_write(ctx, "O", grey.data(), grey.w, grey.h, grey.lineBits, 0, 0, 0), 1);
    for (int r = 0; r < g->rows; ++r)
        for (int c = 0; c < g->width; ++c) {
            unsigned a = coverage(g, r * g->width + c);
            EXPECT_EQ(grey.at(x0 + c, g->top + r), 200 - 200 * static_cast<int>(a) / 15);
        }
}

TEST_F(Glyph, EqualParametersShareOneContext) {
    kx_Glyphor *again = kx_Glyphor_new__IO(kFont, 24, 24, 0, 0);
    EXPECT_EQ(again, ctx);
    EXPECT_EQ(ctx->referenceCount, 2u);
    kx_Glyphor *bold = kx_Glyphor_new__IO(kFont, 24, 24, 64, 0);
    EXPECT_NE(bold, ctx);
    kx_Glyphor_delete__OI(bold);
    kx_Glyphor_delete__OI(again);
    EXPECT_EQ(ctx->referenceCount, 1u);
}

TEST_F(Glyph, TextAtEveryEdgeIsClippedOrRefused) {
    const kx_Glyphor_glyph *w = kx_Glyphor_get(ctx, 'W');
    ASSERT_NE(w, nullptr);
    const int lead = std::max<int>(w->left, 0) / 2;  // pen advance before the first box
    struct Case {
        const char *name;
        int mode;  // 0 luma, 1 chroma, 3 packed
        const char *text;
        int x, y;
        int result;
        const char *record;
    };
    const int width = 64, height = 48;
    const Case cases[] = {
        {"inside", 0, "WW", 5, 5, 1, nullptr},
        {"left of the plane", 0, "WW", -15, 5, 1, nullptr},
        {"above the plane", 0, "WW", 5, -15, 1, nullptr},
        {"far outside top-left", 0, "WW", -1000, -1000, 1, nullptr},
        {"bottom: y + height reaches the last row", 0, "WW", 5, height - 24, -3, "Image height error"},
        {"bottom: last fitting row", 0, "WW", 5, height - 25, 1, nullptr},
        {"right: ends exactly at the width", 0, "W", width - w->width - lead, 5, -3, "Image width error"},
        {"right: ends one short of the width", 0, "W", width - w->width - lead - 1, 5, 1, nullptr},
        {"chroma: left and above", 1, "WW", -9, -9, 1, nullptr},
        {"chroma: bottom", 1, "WW", 5, 2 * height - 24, -3, "Image height error"},
        {"packed: left and above", 3, "WW", -9, -9, 1, nullptr},
        {"packed: right", 3, "W", width - w->width - lead, 5, -3, "Image width error"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Plane p(width, height, c.mode == 3 ? 3 : 1), want(width, height, c.mode == 3 ? 3 : 1);
        kxtest::StdoutCapture out;
        int rv = c.mode == 0   ? kx_Glyphor_write(ctx, c.text, p.data(), p.w, p.h, p.lineBits, c.x, c.y, 255)
                 : c.mode == 1 ? kx_Glyphor_write_uv(ctx, c.text, p.data(), p.w, p.h, p.lineBits, c.x, c.y, 255)
                               : kx_Glyphor_write_3(ctx, c.text, p.data(), p.w, p.h, p.lineBits, c.x, c.y, 255);
        std::string log = out.text();
        out.restore();
        EXPECT_EQ(rv, c.result);
        EXPECT_TRUE(p.guard_intact());
        if (c.record) {
            EXPECT_NE(log.find(c.record), std::string::npos) << log;
        }
        if (rv == 1) {
            std::vector<uint32_t> codes(c.text, c.text + strlen(c.text));
            reference(ctx, codes, want, c.x, c.y, c.mode == 1);
            EXPECT_EQ(p.buf, want.buf);
        }
    }
    // A plane whose stride is shorter than its row is refused without a write.
    Plane p(width, height);
    EXPECT_EQ(kx_Glyphor_write(ctx, "W", p.data(), p.w, p.h, p.w - 1, 0, 0, 255), -4);
    EXPECT_EQ(kx_Glyphor_write_3(ctx, "W", p.data(), p.w, p.h, p.w, 0, 0, 255), -4);
}

TEST_F(Glyph, InvalidUtf8StopsInsideTheText) {
    struct Case {
        std::string text;
        int offset;
    } cases[] = {{"A\xC3", 1}, {"AB\xE2\x82", 2}, {"\xF0\x9F\x98", 0}, {"A\x80", 1}, {"\xF8\x88\x80\x80\x80", 0},
                 {"A\xC3" "A", 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.offset);
        // Exactly the text and its NUL, so a read past the end shows under AddressSanitizer.
        std::vector<char> text(c.text.begin(), c.text.end());
        text.push_back('\0');
        Plane p(80, 40);
        kxtest::StdoutCapture out;
        EXPECT_EQ(kx_Glyphor_write(ctx, text.data(), p.data(), p.w, p.h, p.lineBits, 0, 0, 255), -1);
        EXPECT_NE(out.text().find("Invalid data[" + std::to_string(c.offset) + "]"), std::string::npos);
    }
    Plane p(200, 40);
    EXPECT_EQ(kx_Glyphor_write(ctx, "\xC3\x85\xE2\x82\xAC", p.data(), p.w, p.h, p.lineBits, 0, 0, 255), 1);  // Å€
}

TEST_F(Glyph, MissingCharacterFailsWithMinus2) {
    Plane p(80, 40);
    kxtest::StdoutCapture out;
    EXPECT_EQ(kx_Glyphor_write(ctx, "A\xEE\x80\x80", p.data(), p.w, p.h, p.lineBits, 0, 0, 255), -2);  // U+E000
    std::string log = out.text();
    EXPECT_NE(log.find("Get index failed."), std::string::npos);
    EXPECT_NE(log.find("Get Failed,str[1]=238"), std::string::npos);
}

TEST(GlyphThreads, WritersSharingContextsDrawWhatOneWriterDraws) {
    // Each thread takes its own reference to shared contexts, makes glyphs and colour tables
    // on first use and draws; every plane must equal the one drawn alone.
    const char *const texts[] = {"Gate 3 12:00:01", "Kamera Nord", "Ä Ö Ü 0123"};
    auto draw = [&](int k, Plane *p) {
        kx_Glyphor *c = kx_Glyphor_new__IO(kFont, static_cast<int16_t>(18 + k % 2), 18, 0, 0);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(kx_Glyphor_write(c, texts[k % 3], p->data(), p->w, p->h, p->lineBits, 2, 3,
                                   static_cast<unsigned char>(200 + k)),
                  1);
        kx_Glyphor_delete__OI(c);
    };
    constexpr int kThreads = 6;
    std::vector<Plane> together(kThreads, Plane(220, 30)), alone(kThreads, Plane(220, 30));
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k) threads.emplace_back(draw, k, &together[k]);
    for (std::thread &t : threads) t.join();
    for (int k = 0; k < kThreads; ++k) {
        draw(k, &alone[k]);
        EXPECT_EQ(together[k].buf, alone[k].buf) << k;
    }
}

// In a fresh process (the plug-in stays loaded once bound): with no plug-in file where the
// loader looks, no context is made and nothing stays bound; the folder of the library then
// provides it on the next request.
void plugin_search() {
    char dir[] = "/tmp/kxglyphXXXXXX";
    int failures = 0;
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) _exit(3);
    video_h264_private_plugin_folder_set(dir);
    {
        kxtest::StdoutCapture out;
        failures += kx_Glyphor_new__IO(kFont, 12, 12, 0, 0) != nullptr;
        failures += out.text().find("Can not find libGlyphor.") == std::string::npos;
    }
    video_h264_private_plugin_folder_set(KX_TEST_BINARY_DIR "/lib");
    kx_Glyphor *c = kx_Glyphor_new__IO(kFont, 12, 12, 0, 0);
    failures += c == nullptr;
    kx_Glyphor_delete__OI(c);
    rmdir(dir);
    _exit(failures);
}

TEST(GlyphPlugin, MissingPluginGivesNoContextAndIsLookedForAgain) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(plugin_search(), ::testing::ExitedWithCode(0), "");
}

TEST(GlyphDefault, NoPathTakesTheSystemSansFont) {
    kxtest::StdoutCapture out;
    kx_Glyphor *c = kx_Glyphor_new__IO(nullptr, 16, 16, 0, 0);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->fontPath, kFont);  // fontconfig's sans-serif with only DejaVu installed
    EXPECT_NE(out.text().find("does not exist, using \"" + std::string(kFont) + "\""), std::string::npos);
    EXPECT_NE(kx_Glyphor_get(c, 'x'), nullptr);
    kx_Glyphor_delete__OI(c);
}

TEST(GlyphCache, LimitEvictsUnreferencedContexts) {
    // Large glyphs fill the cache past the limit quickly.
    kx_Glyphor *big = kx_Glyphor_new__IO(kFont, 1000, 1000, 0, 0);
    ASSERT_NE(big, nullptr);
    for (uint32_t code = 'A'; kx_Glyphor_cache_total() <= KX_GLYPHOR_CACHE_LIMIT && code <= 'z'; ++code)
        ASSERT_NE(kx_Glyphor_get(big, code), nullptr);
    ASSERT_GT(kx_Glyphor_cache_total(), KX_GLYPHOR_CACHE_LIMIT);
    const uint32_t bigSize = big->bufferSize;

    // Still referenced: nothing can go, the request says so, the glyphs stay.
    {
        kxtest::StdoutCapture out;
        kx_Glyphor *small = kx_Glyphor_new__IO(kFont, 12, 12, 0, 0);
        ASSERT_NE(small, nullptr);
        EXPECT_NE(out.text().find("BufferSize full("), std::string::npos);
        EXPECT_EQ(big->bufferSize, bigSize);
        kx_Glyphor_delete__OI(small);
    }
    // Unreferenced: the next request of another context deletes it.
    kx_Glyphor_delete__OI(big);
    kx_Glyphor *small = kx_Glyphor_new__IO(kFont, 12, 12, 0, 0);
    ASSERT_NE(small, nullptr);
    EXPECT_LE(kx_Glyphor_cache_total(), KX_GLYPHOR_CACHE_LIMIT);
    EXPECT_EQ(kx_Glyphor_cache_total(), small->bufferSize);
    kx_Glyphor *again = kx_Glyphor_new__IO(kFont, 1000, 1000, 0, 0);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->bufferSize, 0u);
    EXPECT_EQ(again->referenceCount, 1u);
    kx_Glyphor_delete__OI(again);
    kx_Glyphor_delete__OI(small);
}

}  // namespace
