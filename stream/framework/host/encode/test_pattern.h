#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A moving NV12 test picture: scrolling diagonal bands, a bouncing box and the
// frame number in large digits, so a viewer sees motion and can count frames.
class TestPattern {
public:
    TestPattern(int width, int height);

    // Draws frame `number` into the picture held here.
    void Draw(uint32_t number);

    const uint8_t* Y() const { return m_picture.data(); }
    const uint8_t* UV() const { return m_picture.data() + static_cast<size_t>(m_width) * m_height; }
    int Stride() const { return m_width; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }

private:
    void FillBox(int x, int y, int w, int h, uint8_t luma, uint8_t u, uint8_t v);
    void DrawDigit(int digit, int x, int y, int scale);

    int m_width;
    int m_height;
    std::vector<uint8_t> m_picture;    // luma plane, then interleaved chroma
    std::vector<uint8_t> m_luma_ramp;  // one period of the bands, repeated past a row's width
};
