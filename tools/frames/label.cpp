#include "label.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include <ft2build.h>
#include FT_FREETYPE_H

namespace frames {
namespace {

const char* const DEFAULT_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

struct LibraryCloser {
    void operator()(FT_Library library) const { FT_Done_FreeType(library); }
};
struct FaceCloser {
    void operator()(FT_Face face) const { FT_Done_Face(face); }
};

// Blends one glyph's coverage bitmap into the canvas.
void BlendGlyph(Image& canvas, const FT_Bitmap& bitmap, int left, int top, uint32_t argb) {
    const uint8_t colour[3] = {static_cast<uint8_t>(argb), static_cast<uint8_t>(argb >> 8),
                               static_cast<uint8_t>(argb >> 16)};
    for (unsigned row = 0; row < bitmap.rows; ++row) {
        const int y = top + static_cast<int>(row);
        if (y < 0 || y >= canvas.height) continue;
        for (unsigned col = 0; col < bitmap.width; ++col) {
            const int x = left + static_cast<int>(col);
            if (x < 0 || x >= canvas.width) continue;
            const unsigned alpha = bitmap.buffer[row * bitmap.pitch + col];
            uint8_t* p = canvas.Row(y) + x * 4;
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<uint8_t>((colour[c] * alpha + p[c] * (255 - alpha) + 127) / 255);
        }
    }
}

}  // namespace

bool DrawLabel(Image& canvas, int x, int y, int pixel_height, const std::string& text,
               uint32_t argb, std::string& error) {
    const char* font = std::getenv("LUMASET_LABEL_FONT");
    if (!font || !*font) font = DEFAULT_FONT;

    FT_Library raw_library = nullptr;
    if (FT_Init_FreeType(&raw_library)) {
        error = "cannot start FreeType";
        return false;
    }
    std::unique_ptr<FT_LibraryRec_, LibraryCloser> library(raw_library);
    FT_Face raw_face = nullptr;
    if (FT_New_Face(library.get(), font, 0, &raw_face)) {
        error = std::string("cannot load the font ") + font;
        return false;
    }
    std::unique_ptr<FT_FaceRec_, FaceCloser> face(raw_face);
    FT_Set_Pixel_Sizes(face.get(), 0, static_cast<FT_UInt>(pixel_height));

    const int baseline = y + static_cast<int>(face->size->metrics.ascender >> 6);
    int pen = x;
    for (unsigned char ch : text) {
        if (FT_Load_Char(face.get(), ch, FT_LOAD_RENDER)) continue;
        const FT_GlyphSlot glyph = face->glyph;
        BlendGlyph(canvas, glyph->bitmap, pen + glyph->bitmap_left, baseline - glyph->bitmap_top,
                   argb);
        pen += static_cast<int>(glyph->advance.x >> 6);
    }
    return true;
}

}  // namespace frames
