#include "test_pattern.h"

#include <algorithm>
#include <cstring>

namespace {

// Seven-segment layout of the digits: bits a..g (top, top right, bottom right,
// bottom, bottom left, top left, middle).
constexpr uint8_t SEGMENTS[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
constexpr int RAMP_PERIOD = 256;
constexpr int COUNTER_DIGITS = 6;

}  // namespace

TestPattern::TestPattern(int width, int height)
    : m_width(width),
      m_height(height),
      m_picture(static_cast<size_t>(width) * height * 3 / 2),
      m_luma_ramp(static_cast<size_t>(width) + RAMP_PERIOD) {
    // A triangle wave: soft bands that still move visibly.
    for (size_t i = 0; i < m_luma_ramp.size(); ++i) {
        const int phase = static_cast<int>(i % RAMP_PERIOD);
        m_luma_ramp[i] = static_cast<uint8_t>(48 + (phase < 128 ? phase : 255 - phase));
    }
}

void TestPattern::Draw(uint32_t number) {
    // Each luma row is a shifted copy of the ramp: as cheap as memcpy.
    const int shift = static_cast<int>(number * 4u);
    uint8_t* y = m_picture.data();
    for (int row = 0; row < m_height; ++row)
        std::memcpy(y + static_cast<size_t>(row) * m_width,
                    m_luma_ramp.data() + (shift + row) % RAMP_PERIOD, static_cast<size_t>(m_width));
    uint8_t* uv = m_picture.data() + static_cast<size_t>(m_width) * m_height;
    for (int row = 0; row < m_height / 2; ++row) {
        uint8_t* line = uv + static_cast<size_t>(row) * m_width;
        const uint8_t u = static_cast<uint8_t>(96 + row * 64 / std::max(1, m_height / 2));
        for (int x = 0; x < m_width; x += 2) {
            line[x] = u;
            line[x + 1] = static_cast<uint8_t>(160 - x * 64 / std::max(1, m_width));
        }
    }

    // A box bouncing across the picture.
    const int box = std::max(2, m_height / 6) & ~1;
    const int travel_x = std::max(1, m_width - box);
    const int travel_y = std::max(1, m_height - box);
    const int step_x = static_cast<int>((number * 8u) % (2u * travel_x));
    const int step_y = static_cast<int>((number * 5u) % (2u * travel_y));
    const int box_x = step_x < travel_x ? step_x : 2 * travel_x - step_x;
    const int box_y = step_y < travel_y ? step_y : 2 * travel_y - step_y;
    FillBox(box_x, box_y, box, box, 200, 64, 200);

    // The frame number, right-aligned in the top left corner on a dark plate.
    const int scale = std::max(1, m_height / 90);
    const int digit_w = 6 * scale;
    const int digit_h = 10 * scale;
    FillBox(0, 0, COUNTER_DIGITS * (digit_w + 2 * scale) + 2 * scale, digit_h + 4 * scale, 16, 128,
            128);
    uint32_t rest = number;
    for (int i = COUNTER_DIGITS - 1; i >= 0; --i) {
        DrawDigit(static_cast<int>(rest % 10), 2 * scale + i * (digit_w + 2 * scale), 2 * scale,
                  scale);
        rest /= 10;
    }
}

void TestPattern::FillBox(int x, int y, int w, int h, uint8_t luma, uint8_t u, uint8_t v) {
    const int x0 = std::clamp(x, 0, m_width) & ~1;
    const int y0 = std::clamp(y, 0, m_height) & ~1;
    const int x1 = std::clamp(x + w, 0, m_width) & ~1;
    const int y1 = std::clamp(y + h, 0, m_height) & ~1;
    if (x1 <= x0 || y1 <= y0) return;
    uint8_t* plane = m_picture.data();
    for (int row = y0; row < y1; ++row)
        std::memset(plane + static_cast<size_t>(row) * m_width + x0, luma,
                    static_cast<size_t>(x1 - x0));
    uint8_t* uv = plane + static_cast<size_t>(m_width) * m_height;
    for (int row = y0 / 2; row < y1 / 2; ++row) {
        uint8_t* line = uv + static_cast<size_t>(row) * m_width;
        for (int col = x0; col < x1; col += 2) {
            line[col] = u;
            line[col + 1] = v;
        }
    }
}

void TestPattern::DrawDigit(int digit, int x, int y, int scale) {
    const uint8_t on = SEGMENTS[digit];
    const int w = 6 * scale;
    const int h = 10 * scale;
    const int t = scale;  // segment thickness
    const int mid = y + h / 2 - t / 2;
    struct Segment {
        int x, y, w, h;
    };
    const Segment segments[7] = {
        {x, y, w, t},                 // a
        {x + w - t, y, t, h / 2},     // b
        {x + w - t, mid, t, h / 2},   // c
        {x, y + h - t, w, t},         // d
        {x, mid, t, h / 2},           // e
        {x, y, t, h / 2},             // f
        {x, mid, w, t},               // g
    };
    for (int s = 0; s < 7; ++s)
        if (on & (1u << s))
            FillBox(segments[s].x, segments[s].y, segments[s].w, segments[s].h, 235, 128, 128);
}
