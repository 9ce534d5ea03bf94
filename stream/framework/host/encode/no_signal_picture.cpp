#include "no_signal_picture.h"

#include <algorithm>
#include <cstring>

namespace {

// 5x7 capitals, one byte a row, the leftmost pixel in bit 4. Drawn by hand:
// a font library for four words would cost more than it gives.
constexpr uint8_t GLYPHS[26][7] = {
    {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11},  // A
    {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E},  // B
    {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E},  // C
    {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E},  // D
    {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F},  // E
    {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10},  // F
    {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F},  // G
    {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11},  // H
    {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E},  // I
    {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C},  // J
    {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11},  // K
    {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F},  // L
    {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11},  // M
    {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11},  // N
    {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E},  // O
    {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10},  // P
    {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D},  // Q
    {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11},  // R
    {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E},  // S
    {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04},  // T
    {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E},  // U
    {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04},  // V
    {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A},  // W
    {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11},  // X
    {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04},  // Y
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F},  // Z
};
constexpr int GLYPH_W = 5;
constexpr int GLYPH_H = 7;
constexpr int CELL_W = GLYPH_W + 1;

// Studio levels: a dark slate blue behind white letters.
constexpr uint8_t BACK_Y = 40, BACK_U = 150, BACK_V = 118;
constexpr uint8_t TEXT_Y = 235;

uint8_t Luma(uint8_t studio, bool full) {
    return full ? static_cast<uint8_t>(std::clamp((studio - 16) * 255 / 219, 0, 255)) : studio;
}

uint8_t Chroma(uint8_t studio, bool full) {
    return full ? static_cast<uint8_t>(std::clamp(128 + (studio - 128) * 255 / 224, 0, 255))
                : studio;
}

}  // namespace

const char* PictureLossText(PictureLoss why) {
    switch (why) {
    case PictureLoss::NO_SIGNAL: return "NO SIGNAL";
    case PictureLoss::NO_LOCK: return "NO LOCK";
    case PictureLoss::OUT_OF_RANGE: return "OUT OF RANGE";
    case PictureLoss::DEVICE_GONE: return "DEVICE GONE";
    }
    return "NO SIGNAL";
}

void DrawNoSignalPicture(PictureLoss why, bool full_range, uint8_t* y, int y_stride, uint8_t* uv,
                         int uv_stride, int width, int height) {
    const uint8_t back = Luma(BACK_Y, full_range);
    for (int row = 0; row < height; ++row)
        std::memset(y + static_cast<size_t>(row) * y_stride, back, static_cast<size_t>(width));
    const uint8_t u = Chroma(BACK_U, full_range);
    const uint8_t v = Chroma(BACK_V, full_range);
    for (int row = 0; row < height / 2; ++row) {
        uint8_t* line = uv + static_cast<size_t>(row) * uv_stride;
        for (int x = 0; x + 1 < width; x += 2) {
            line[x] = u;
            line[x + 1] = v;
        }
    }

    // The letters take most of the width and at most a sixth of the height,
    // centred; grey chroma under them keeps their edges clean.
    const char* text = PictureLossText(why);
    const int cells = static_cast<int>(std::strlen(text));
    const int scale =
        std::max(1, std::min(height / (6 * GLYPH_H), width * 9 / 10 / (cells * CELL_W)));
    const int left = std::max(0, (width - (cells * CELL_W - 1) * scale) / 2);
    const int top = std::max(0, (height - GLYPH_H * scale) / 2);
    const uint8_t ink = Luma(TEXT_Y, full_range);
    for (int cell = 0; cell < cells; ++cell) {
        const char c = text[cell];
        if (c < 'A' || c > 'Z') continue;
        const uint8_t* glyph = GLYPHS[c - 'A'];
        for (int gy = 0; gy < GLYPH_H; ++gy)
            for (int gx = 0; gx < GLYPH_W; ++gx) {
                if ((glyph[gy] & (0x10 >> gx)) == 0) continue;
                const int x0 = left + (cell * CELL_W + gx) * scale;
                const int y0 = top + gy * scale;
                for (int py = y0; py < std::min(height, y0 + scale); ++py) {
                    uint8_t* line = y + static_cast<size_t>(py) * y_stride;
                    for (int px = x0; px < std::min(width, x0 + scale); ++px) line[px] = ink;
                    uint8_t* chroma = uv + static_cast<size_t>(py / 2) * uv_stride;
                    for (int px = x0 & ~1; px < std::min(width, x0 + scale); px += 2)
                        chroma[px] = chroma[px + 1] = 128;
                }
            }
    }
}
