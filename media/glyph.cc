// Glyph overlay: shared font contexts over the libGlyphor plug-in, their 4-bit glyph caches,
// the colour tables, and UTF-8 text drawn into luma, chroma and packed 3-byte planes.
#include "kx/glyph.h"

#include <fontconfig/fontconfig.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.hpp"
#include "kx/global.h"
#include "kx/objectlist.h"
#include "media/plugin_loader.hpp"

namespace {

using FaceNewFn = void *(*)(const char *, signed char, uint16_t, uint16_t);
using FaceDeleteFn = void (*)(void *);
using GetDibFn = const unsigned char *(*)(void *, void *, uint32_t, int32_t, int32_t);

void release_plugin(void *) { kx_Glyphor_private_unload_lib(); }

const char *const kCandidates[] = {"/kx/bin/libGlyphor.so", "./libGlyphor.so", "../bin/libGlyphor.so", nullptr};
const char *const kFolderNames[] = {"libGlyphor.so", nullptr};
const char *const kSymbols[] = {"_kx_Glyphor_new__IO", "_kx_Glyphor_delete__OI", "_kx_Glyphor_get_dib", nullptr};
const kx::plugin::Kind kGlyphor = {"libGlyphor", "kx_Glyphor_private_load_lib", kCandidates, kFolderNames, kSymbols,
                                   nullptr, "kx_Glyphor_private_unload_lib", release_plugin,
                                   kx::plugin::Messages::Standard, false, false};
kx::plugin::Slot g_plugin(kGlyphor);

constexpr size_t kGlyphHead = offsetof(kx_Glyphor_glyph, map);  // 14
static_assert(kGlyphHead == 14, "glyph record head");

// Module state; every public call holds g_lock.
std::mutex g_lock;
std::vector<kx_Glyphor *> g_contexts;  // oldest first
uint64_t g_total = 0;                  // bytes of all glyph caches
std::string g_defaultFont;             // resolved default font path, once known

// Colour tables: 256 rows (background) x 16 columns (coverage), one per text colour, made on
// first use under globalParameterMutex and registered in globalParameterList.
std::atomic<const uint8_t *> g_colour[256];

// ---- contexts ----

size_t glyph_bytes(const kx_Glyphor_glyph *g) {
    return kGlyphHead + (static_cast<size_t>(g->width) * static_cast<size_t>(g->rows) + 1) / 2;
}

void drop_glyphs(kx_Glyphor *c) {
    if (c->glyphList != nullptr) {
        for (uint32_t i = 0; i < c->glyphList->count; ++i)
            free(c->glyphList->array[c->glyphList->start + i]);
        kx_ObjectList_clear(c->glyphList);
    }
    g_total -= c->bufferSize;
    c->bufferSize = 0;
}

void close_face(kx_Glyphor *c) {
    kx::plugin::Binding *b = g_plugin.peek();
    if (c->face != nullptr && b != nullptr) reinterpret_cast<FaceDeleteFn>(b->fn[1])(c->face);
    c->face = nullptr;
}

void free_context(kx_Glyphor *c) {
    close_face(c);
    drop_glyphs(c);
    kx_ObjectList_delete__OI(c->glyphList);
    free(c);
}

kx_Glyphor *make_context(const std::string &path, int16_t width, int16_t height, int32_t embolden, int32_t shear) {
    auto *c = static_cast<kx_Glyphor *>(calloc(1, sizeof(kx_Glyphor) + path.size() + 1));
    if (c == nullptr) return nullptr;
    c->glyphList = kx_ObjectList_new__IO(3);
    if (c->glyphList == nullptr) {
        free(c);
        return nullptr;
    }
    char *text = reinterpret_cast<char *>(c + 1);
    memcpy(text, path.c_str(), path.size() + 1);
    c->fontPath = text;
    c->width = width;
    c->height = height;
    c->embolden = embolden;
    c->shear = shear;
    return c;
}

// The system's default sans font, through fontconfig; empty when there is none.
std::string fontconfig_sans() {
    std::string out;
    FcConfig *config = FcInitLoadConfigAndFonts();
    if (config == nullptr) return out;
    FcPattern *pattern = FcNameParse(reinterpret_cast<const FcChar8 *>("sans-serif"));
    if (pattern != nullptr) {
        FcConfigSubstitute(config, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern);
        FcResult result;
        FcPattern *match = FcFontMatch(config, pattern, &result);
        FcChar8 *file = nullptr;
        if (match != nullptr && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file != nullptr)
            out = reinterpret_cast<const char *>(file);
        if (match != nullptr) FcPatternDestroy(match);
        FcPatternDestroy(pattern);
    }
    FcConfigDestroy(config);
    return out;
}

// The font of a context made without a path. Caller holds g_lock.
const std::string &default_font() {
    if (!g_defaultFont.empty()) return g_defaultFont;
    if (access(KX_GLYPHOR_DEFAULT_FONT, R_OK) == 0) {
        g_defaultFont = KX_GLYPHOR_DEFAULT_FONT;
        return g_defaultFont;
    }
    std::string found = fontconfig_sans();
    if (found.empty()) {
        KX_LOGE("No default font: \"%s\" does not exist and fontconfig has no sans font.", KX_GLYPHOR_DEFAULT_FONT);
        g_defaultFont = KX_GLYPHOR_DEFAULT_FONT;  // the face open fails and says so
    } else {
        KX_LOGI("Default font \"%s\" does not exist, using \"%s\".", KX_GLYPHOR_DEFAULT_FONT, found.c_str());
        g_defaultFont = found;
    }
    return g_defaultFont;
}

// Holds the caches to the limit for a request of context want. Caller holds g_lock.
void enforce_limit(kx_Glyphor *want) {
    if (g_total <= KX_GLYPHOR_CACHE_LIMIT) return;
    for (size_t i = 0; i < g_contexts.size() && g_total > KX_GLYPHOR_CACHE_LIMIT;) {
        kx_Glyphor *c = g_contexts[i];
        if (c != want && c->referenceCount == 0) {
            g_contexts.erase(g_contexts.begin() + static_cast<ptrdiff_t>(i));
            free_context(c);
        } else {
            ++i;
        }
    }
    if (g_total <= KX_GLYPHOR_CACHE_LIMIT) return;
    KX_LOGE("BufferSize full(=%lu/%lu),referenceCount=%lu.", static_cast<unsigned long>(g_total),
            static_cast<unsigned long>(want->bufferSize), static_cast<unsigned long>(want->referenceCount));
    if (want->referenceCount == 0) drop_glyphs(want);
}

// ---- glyphs ----

signed char compare_code(void *first, void *element) {
    uint32_t a = *static_cast<const uint32_t *>(first), b = static_cast<const kx_Glyphor_glyph *>(element)->code;
    return a < b ? -1 : (a > b ? 1 : 0);
}

kx_Glyphor_glyph *new_glyph(uint32_t code, size_t mapBytes) {
    // The record may be shorter than its C type when the map is small; allocate at least that.
    size_t bytes = std::max(kGlyphHead + mapBytes, sizeof(kx_Glyphor_glyph));
    auto *g = static_cast<kx_Glyphor_glyph *>(calloc(1, bytes));
    if (g != nullptr) g->code = code;
    return g;
}

// Renders, packs and caches one glyph. Caller holds g_lock.
const kx_Glyphor_glyph *lookup(kx_Glyphor *c, uint32_t code) {
    uint32_t key = code;
    int at = kx_ObjectList_check_exist_custom(c->glyphList, &key, compare_code);
    if (at >= 0) return static_cast<const kx_Glyphor_glyph *>(c->glyphList->array[c->glyphList->start + at]);
    kx_Glyphor_glyph *g = nullptr;
    if (code == 32) {
        g = new_glyph(code, 0);
        if (g == nullptr) return nullptr;
        g->left = static_cast<int16_t>(c->width / 2);
        g->right = static_cast<int16_t>(c->width / 2);
    } else {
        kx::plugin::Binding *b = g_plugin.peek();
        if (b == nullptr) return nullptr;
        if (c->face == nullptr) {
            c->face = reinterpret_cast<FaceNewFn>(b->fn[0])(c->fontPath, 0, static_cast<uint16_t>(c->width),
                                                            static_cast<uint16_t>(c->height));
            if (c->face == nullptr) {
                KX_LOGE("Open the file:\"%s\"failed.", c->fontPath);
                return nullptr;
            }
        }
        int16_t place[5];
        const unsigned char *bitmap =
            reinterpret_cast<GetDibFn>(b->fn[2])(place, c->face, code, c->embolden, c->shear);
        if (bitmap == nullptr || place[2] < 0 || place[3] < 0) {
            KX_LOGE("Get Failed,code=%#X.", code);
            return nullptr;
        }
        size_t n = static_cast<size_t>(place[2]) * static_cast<size_t>(place[3]);
        g = new_glyph(code, (n + 1) / 2);
        if (g == nullptr) return nullptr;
        g->left = place[0];
        g->top = place[1];
        g->width = place[2];
        g->rows = place[3];
        g->right = place[4];
        for (size_t k = 0; k + 1 < n; k += 2)
            g->map[k / 2] = static_cast<unsigned char>((bitmap[k] & 0xF0) | (bitmap[k + 1] >> 4));
        if (n % 2 == 1) g->map[n / 2] = bitmap[n - 1];
    }
    if (kx_ObjectList_insert_order_custom(c->glyphList, g, compare_code) < 0) {
        free(g);
        return nullptr;
    }
    size_t bytes = glyph_bytes(g);
    c->bufferSize += static_cast<uint32_t>(bytes);
    g_total += bytes;
    return g;
}

// ---- colour tables ----

// Row b (background), column a (coverage 0-15): b + (v - b) * a / 15, truncated toward zero.
const uint8_t *colour_table(unsigned char v) {
    const uint8_t *t = g_colour[v].load(std::memory_order_acquire);
    if (t != nullptr) return t;
    pthread_mutex_lock(&globalParameterMutex);
    t = g_colour[v].load(std::memory_order_acquire);
    if (t == nullptr) {
        auto *block = static_cast<uint8_t *>(malloc(256 * 16));
        char name[32];
        snprintf(name, sizeof name, "pColorGray[%hhu]", v);
        void *blocks[1] = {block};
        kx_globalParameter *record = block ? globalParameter_new_blocks__IO(name, 1, blocks) : nullptr;
        if (record == nullptr) {
            free(block);
        } else {
            for (int b = 0; b < 256; ++b)
                for (int a = 0; a < 16; ++a) block[b * 16 + a] = static_cast<uint8_t>(b + (v - b) * a / 15);
            globalParameter_append__OI(record);
            g_colour[v].store(block, std::memory_order_release);
            t = block;
        }
    }
    pthread_mutex_unlock(&globalParameterMutex);
    return t;
}

// ---- drawing ----

// A plane to draw into: sample (col, row) is at base + row * lineBits + col * step. With half
// set, full-resolution positions and glyph maps are halved.
struct Target {
    unsigned char *base;
    int64_t width;
    int64_t height;
    uint32_t lineBits;
    unsigned step;
    bool half;
    unsigned char *at(int64_t col, int64_t row) const {
        return base + static_cast<size_t>(row) * lineBits + static_cast<size_t>(col) * step;
    }
};

int64_t clampi(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Background under a glyph box from its four corner samples: the corner value nearest to the
// colour on the side of the top-left corner.
unsigned background(const Target &t, int64_t x0, int64_t y0, int64_t x1, int64_t y1, unsigned v) {
    x0 = clampi(x0, 0, t.width - 1);
    x1 = clampi(x1, 0, t.width - 1);
    y0 = clampi(y0, 0, t.height - 1);
    y1 = clampi(y1, 0, t.height - 1);
    const unsigned corners[4] = {*t.at(x0, y0), *t.at(x1, y0), *t.at(x0, y1), *t.at(x1, y1)};
    unsigned b = corners[0];
    if (corners[0] <= v) {
        for (unsigned c : corners)
            if (c <= v && c > b) b = c;
    } else {
        for (unsigned c : corners)
            if (c > v && c < b) b = c;
    }
    return b;
}

// One glyph whose box starts at full-resolution column bx and row by.
void draw_glyph(const Target &t, const kx_Glyphor_glyph *g, int64_t bx, int64_t by, const uint8_t *table,
                unsigned v) {
    const int64_t w = g->width, rows = g->rows;
    if (w <= 0 || rows <= 0) return;
    const int s = t.half ? 1 : 0;
    const int64_t cx = bx >> s, cy = by >> s;  // arithmetic shift: floor for negative positions
    const int64_t cw = (w + s) >> s, ch = (rows + s) >> s;
    if (cx >= t.width || cy >= t.height || cx + cw <= 0 || cy + ch <= 0) return;
    const unsigned b = background(t, cx, cy, cx + cw - 1, cy + ch - 1, v);
    const uint8_t *row = table + b * 16;
    for (int64_t j = 0; j < ch; ++j) {
        const int64_t py = cy + j;
        if (py < 0) continue;
        if (py >= t.height) break;
        for (int64_t i = 0; i < cw; ++i) {
            const int64_t px = cx + i;
            if (px < 0) continue;
            if (px >= t.width) break;
            const size_t k = static_cast<size_t>((j << s) * w + (i << s));
            const unsigned a = (k & 1) ? (g->map[k / 2] & 0x0F) : (g->map[k / 2] >> 4);
            if (a > 0) *t.at(px, py) = row[a];
        }
    }
}

// Decodes one UTF-8 character at text[at]: its length, or 0 when the bytes are invalid.
// Continuation bytes are read one by one, so a NUL inside a sequence stops the decoder.
int utf8_next(const unsigned char *text, size_t at, uint32_t *code) {
    const unsigned lead = text[at];
    int len;
    uint32_t cp;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    } else if (lead < 0xC0) {
        return 0;  // a continuation byte cannot start a character
    } else if (lead < 0xE0) {
        len = 2;
        cp = lead & 0x1F;
    } else if (lead < 0xF0) {
        len = 3;
        cp = lead & 0x0F;
    } else if (lead < 0xF8) {
        len = 4;
        cp = lead & 0x07;
    } else {
        return 0;
    }
    for (int k = 1; k < len; ++k) {
        const unsigned c = text[at + k];
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    *code = cp;
    return len;
}

int write_text(kx_Glyphor *c, const char *text, const Target &t, int x, int y, unsigned char colour) {
    if (c == nullptr || text == nullptr || t.base == nullptr || t.width <= 0 || t.height <= 0 ||
        static_cast<uint64_t>(t.lineBits) < static_cast<uint64_t>(t.width) * t.step)
        return -4;
    const int s = t.half ? 1 : 0;
    if ((static_cast<int64_t>(y) >> s) + (c->height >> s) >= t.height) {
        KX_LOGE("Image height error,%d,%hu,%u.", y, static_cast<unsigned short>(c->height),
                static_cast<unsigned>(t.height));
        return -3;
    }
    const uint8_t *table = colour_table(colour);
    if (table == nullptr) return -2;
    std::lock_guard<std::mutex> lock(g_lock);
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    int64_t pen = x;
    int64_t gap = 0;
    for (size_t at = 0; bytes[at] != 0;) {
        uint32_t code = 0;
        const int len = utf8_next(bytes, at, &code);
        if (len == 0) {
            KX_LOGE("Invalid data[%d]:\"%s\",str:\"%s\".", static_cast<int>(at), text + at, text);
            return -1;
        }
        const kx_Glyphor_glyph *g = lookup(c, code);
        if (g == nullptr) {
            KX_LOGE("Get Failed,str[%d]=%hhu,str:\"%s\".", static_cast<int>(at), bytes[at], text);
            return -2;
        }
        gap += g->left;
        if (gap > 0) pen += gap / 2;
        const int64_t end = (pen + g->width) >> s;
        if (end >= t.width) {
            KX_LOGE("Image width error,%d,%hu,%u.", static_cast<int>(end), static_cast<unsigned short>(g->width),
                    static_cast<unsigned>(t.width));
            return -3;
        }
        draw_glyph(t, g, pen, static_cast<int64_t>(y) + g->top, table, colour);
        pen += g->width;
        gap = g->right;
        at += static_cast<size_t>(len);
    }
    return 1;
}

}  // namespace

extern "C" {

kx_Glyphor *kx_Glyphor_new__IO(const char *fontPath, int16_t width, int16_t height, int32_t embolden,
                               int32_t shear) {
    if (width <= 0 || height <= 0) return nullptr;
    if (g_plugin.get() == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(g_lock);
    const std::string path = fontPath != nullptr && fontPath[0] != 0 ? std::string(fontPath) : default_font();
    kx_Glyphor *want = nullptr;
    for (kx_Glyphor *c : g_contexts)
        if (c->width == width && c->height == height && c->embolden == embolden && c->shear == shear &&
            path == c->fontPath) {
            want = c;
            break;
        }
    if (want == nullptr) {
        want = make_context(path, width, height, embolden, shear);
        if (want == nullptr) return nullptr;
        try {
            g_contexts.push_back(want);
        } catch (...) {
            free_context(want);
            return nullptr;
        }
    }
    enforce_limit(want);
    ++want->referenceCount;
    return want;
}

void kx_Glyphor_delete__OI(kx_Glyphor *context) {
    if (context == nullptr) return;
    std::lock_guard<std::mutex> lock(g_lock);
    close_face(context);
    if (context->referenceCount == 0) {
        KX_LOGE("Invalid referenceCount(=%lu),%s,%hu,%hu,%u,%u", 0ul, context->fontPath,
                static_cast<unsigned short>(context->width), static_cast<unsigned short>(context->height),
                static_cast<unsigned>(context->embolden), static_cast<unsigned>(context->shear));
        return;  // a count that wrapped around would keep the context from ever being evicted
    }
    --context->referenceCount;
}

const kx_Glyphor_glyph *kx_Glyphor_get(kx_Glyphor *context, uint32_t code) {
    if (context == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(g_lock);
    return lookup(context, code);
}

int kx_Glyphor_write(kx_Glyphor *context, const char *text, unsigned char *plane, uint32_t planeWidth,
                     uint32_t planeHeight, uint32_t lineBits, int x, int y, unsigned char colour) {
    return write_text(context, text, Target{plane, planeWidth, planeHeight, lineBits, 1, false}, x, y, colour);
}

int kx_Glyphor_write_uv(kx_Glyphor *context, const char *text, unsigned char *plane, uint32_t planeWidth,
                        uint32_t planeHeight, uint32_t lineBits, int x, int y, unsigned char colour) {
    return write_text(context, text, Target{plane, planeWidth, planeHeight, lineBits, 1, true}, x, y, colour);
}

int kx_Glyphor_write_3(kx_Glyphor *context, const char *text, unsigned char *plane, uint32_t planeWidth,
                       uint32_t planeHeight, uint32_t lineBits, int x, int y, unsigned char colour) {
    return write_text(context, text, Target{plane, planeWidth, planeHeight, lineBits, 3, false}, x, y, colour);
}

void kx_Glyphor_private_unload_lib(void) {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        for (kx_Glyphor *c : g_contexts) {
            if (c->referenceCount != 0)
                KX_LOGE("Invalid referenceCount(=%lu),%s,%hu,%hu,%u,%u",
                        static_cast<unsigned long>(c->referenceCount), c->fontPath,
                        static_cast<unsigned short>(c->width), static_cast<unsigned short>(c->height),
                        static_cast<unsigned>(c->embolden), static_cast<unsigned>(c->shear));
            free_context(c);
        }
        g_contexts.clear();
        g_contexts.shrink_to_fit();
        g_total = 0;
        g_defaultFont.clear();
        // The colour-table blocks are released by their own records, which were registered
        // after this hook and so are freed before it runs.
        for (auto &t : g_colour) t.store(nullptr, std::memory_order_release);
    }
    g_plugin.release();
}

uint64_t kx_Glyphor_cache_total(void) {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_total;
}

}  // extern "C"
