// libGlyphor: renders one character of a font file into an 8-bit coverage bitmap (0 none,
// 255 full) with the placement numbers a caller needs to lay out a line of text.
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include <stdint.h>
#include <string.h>

#include <new>
#include <vector>

#include "plugin_log.hpp"

namespace {

struct Face {
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    std::vector<unsigned char> packed;  // the bitmap when FreeType's rows carry padding
};

// Placement of one rendered glyph, in this order.
struct Placement {
    int16_t left;
    int16_t top;
    int16_t width;
    int16_t rows;
    int16_t right;
};

bool fits16(long v) { return v >= INT16_MIN && v <= INT16_MAX; }

}  // namespace

KX_PLUGIN_EXPORT void _kx_Glyphor_delete__OI(void *handle);

KX_PLUGIN_EXPORT void *_kx_Glyphor_new__IO(const char *fontPath, signed char charset, uint16_t width,
                                           uint16_t height) {
    auto *f = new (std::nothrow) Face;
    if (f == nullptr) return nullptr;
    if (FT_Init_FreeType(&f->library) != 0) {
        KX_PLUGIN_LOG("_kx_Glyphor_new__IO", "Init Lib failed.");
        delete f;
        return nullptr;
    }
    if (fontPath == nullptr || FT_New_Face(f->library, fontPath, 0, &f->face) != 0) {
        KX_PLUGIN_LOG("_kx_Glyphor_new__IO", "Load the file:\"%s\" failed.", fontPath ? fontPath : "");
        f->face = nullptr;
        _kx_Glyphor_delete__OI(f);
        return nullptr;
    }
    if (FT_Select_Charmap(f->face, charset == 1 ? FT_ENCODING_GB2312 : FT_ENCODING_UNICODE) != 0) {
        KX_PLUGIN_LOG("_kx_Glyphor_new__IO", "Set charset failed,value=%hhd,file:\"%s\".", charset, fontPath);
        _kx_Glyphor_delete__OI(f);
        return nullptr;
    }
    if (FT_Set_Pixel_Sizes(f->face, width, height) != 0) {
        KX_PLUGIN_LOG("_kx_Glyphor_new__IO", "Set size(%hu,%hu)failed,file:\"%s\".", width, height, fontPath);
        _kx_Glyphor_delete__OI(f);
        return nullptr;
    }
    return f;
}

KX_PLUGIN_EXPORT void _kx_Glyphor_delete__OI(void *handle) {
    auto *f = static_cast<Face *>(handle);
    if (f == nullptr) return;
    if (f->face != nullptr) FT_Done_Face(f->face);
    if (f->library != nullptr) FT_Done_FreeType(f->library);
    delete f;
}

KX_PLUGIN_EXPORT const unsigned char *_kx_Glyphor_get_dib(void *placement, void *handle, uint32_t charCode,
                                                          int32_t embolden, int32_t shear) {
    auto *f = static_cast<Face *>(handle);
    if (f == nullptr || placement == nullptr) return nullptr;
    FT_UInt index = FT_Get_Char_Index(f->face, charCode);
    if (index == 0) {
        KX_PLUGIN_LOG("_kx_Glyphor_get_dib", "Get index failed.");
        return nullptr;
    }
    if (FT_Load_Glyph(f->face, index, FT_LOAD_DEFAULT) != 0) {
        KX_PLUGIN_LOG("_kx_Glyphor_get_dib", "Load Glyph failed.");
        return nullptr;
    }
    FT_GlyphSlot slot = f->face->glyph;
    // Embolden and slant work on outlines; bitmap strikes are rendered as they are.
    if (slot->format == FT_GLYPH_FORMAT_OUTLINE) {
        if (embolden != 0) FT_Outline_Embolden(&slot->outline, embolden);
        if (shear != 0) {
            FT_Matrix m;
            m.xx = 0x10000;
            m.xy = shear;
            m.yx = 0;
            m.yy = 0x10000;
            FT_Outline_Transform(&slot->outline, &m);
        }
    }
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0 || slot->bitmap.pixel_mode != FT_PIXEL_MODE_GRAY) {
        KX_PLUGIN_LOG("_kx_Glyphor_get_dib", "Load Glyph failed.");
        return nullptr;
    }
    const FT_Bitmap &bm = slot->bitmap;
    const FT_Size_Metrics &sm = f->face->size->metrics;
    long baseline = sm.height != 0 ? static_cast<long>(sm.y_ppem) * sm.ascender / sm.height : 0;
    long left = slot->bitmap_left;
    long top = baseline - slot->bitmap_top;
    if (top < 0) top = 0;
    long width = bm.width;
    long rows = bm.rows;
    long right = (slot->advance.x >> 6) - left - width;
    if (right < 0) right = 0;
    // The placement fields are 16-bit: a glyph whose numbers do not fit is not drawable.
    if (!fits16(left) || !fits16(top) || !fits16(width) || !fits16(rows) || !fits16(right)) {
        KX_PLUGIN_LOG("_kx_Glyphor_get_dib", "Load Glyph failed.");
        return nullptr;
    }
    Placement p = {static_cast<int16_t>(left), static_cast<int16_t>(top), static_cast<int16_t>(width),
                   static_cast<int16_t>(rows), static_cast<int16_t>(right)};
    memcpy(placement, &p, sizeof p);
    if (width == 0 || rows == 0) return bm.buffer ? bm.buffer : reinterpret_cast<const unsigned char *>("");
    // Callers read rows × width bytes row after row; repack when FreeType pads its rows.
    if (bm.pitch == static_cast<int>(width)) return bm.buffer;
    if (bm.pitch < static_cast<int>(width)) {
        KX_PLUGIN_LOG("_kx_Glyphor_get_dib", "Load Glyph failed.");
        return nullptr;
    }
    try {
        f->packed.resize(static_cast<size_t>(width) * static_cast<size_t>(rows));
    } catch (...) {
        return nullptr;
    }
    for (long r = 0; r < rows; ++r)
        memcpy(f->packed.data() + r * width, bm.buffer + r * bm.pitch, static_cast<size_t>(width));
    return f->packed.data();
}
