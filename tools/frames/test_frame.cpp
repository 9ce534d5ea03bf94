#include "test_frame.h"

#include <algorithm>
#include <cmath>

#include <libyuv/convert_from_argb.h>

namespace frames {
namespace {

struct Rgb {
    float r, g, b;
};

Rgb Mix(Rgb a, Rgb b, float t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

float Clamp01(float v) { return std::min(1.0f, std::max(0.0f, v)); }

float SmoothStep(float edge0, float edge1, float x) {
    const float t = Clamp01((x - edge0) / (edge1 - edge0));
    return t * t * (3.0f - 2.0f * t);
}

// Integer hash noise: the same bytes on every machine and every run.
float Noise(uint32_t x, uint32_t y) {
    uint32_t h = x * 374761393u + y * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    h ^= h >> 16;
    return static_cast<float>(h & 0xffff) / 65535.0f - 0.5f;
}

// Value noise on a 3-pixel lattice: texture rather than pixel-sized grain.
float SmoothNoise(uint32_t x, uint32_t y) {
    const uint32_t cx = x / 3, cy = y / 3;
    const float fx = (x % 3) / 3.0f, fy = (y % 3) / 3.0f;
    const float top = Noise(cx, cy) + (Noise(cx + 1, cy) - Noise(cx, cy)) * fx;
    const float bottom = Noise(cx, cy + 1) + (Noise(cx + 1, cy + 1) - Noise(cx, cy + 1)) * fx;
    return top + (bottom - top) * fy;
}

Rgb Hue(float angle) {
    const float tau = 6.2831853f;
    return {0.5f + 0.5f * std::cos(angle), 0.5f + 0.5f * std::cos(angle - tau / 3.0f),
            0.5f + 0.5f * std::cos(angle + tau / 3.0f)};
}

// u, v: position in the picture, 0..1 across and down; px: one pixel in u units.
Rgb Scene(float u, float v, float aspect, uint32_t x, uint32_t y, float px) {
    // Sky and ground, each a smooth vertical gradient.
    const float horizon = 0.58f;
    Rgb c = v < horizon ? Mix({0.16f, 0.34f, 0.72f}, {0.86f, 0.80f, 0.66f}, v / horizon)
                        : Mix({0.36f, 0.42f, 0.16f}, {0.22f, 0.16f, 0.08f},
                              (v - horizon) / (1.0f - horizon));

    // Sun: a soft disc with a glow.
    const float sd = std::hypot((u - 0.78f) * aspect, v - 0.22f);
    c = Mix(c, {1.0f, 0.86f, 0.42f}, Clamp01(0.35f * std::exp(-sd * 9.0f)));
    c = Mix(c, {1.0f, 0.95f, 0.75f}, 1.0f - SmoothStep(0.075f, 0.08f, sd));

    // Hills: a sharp silhouette against the sky, textured ground below.
    const float ridge = 0.52f + 0.05f * std::sin(u * 9.0f) + 0.025f * std::sin(u * 23.0f + 1.0f);
    if (v > ridge) {
        const Rgb hill = Mix({0.10f, 0.30f, 0.12f}, {0.20f, 0.42f, 0.14f}, Clamp01((v - ridge) * 4));
        c = Mix(c, hill, v < horizon ? 1.0f : 0.6f);
        c = Mix(c, {0.0f, 0.0f, 0.0f}, 0.5f + 0.15f * SmoothNoise(x, y));
        c = {c.r * 1.6f, c.g * 1.6f, c.b * 1.6f};
    }

    // Colour bars: eight saturated bars with hard vertical edges.
    if (u > 0.03f && u < 0.33f && v > 0.05f && v < 0.20f) {
        static const Rgb BARS[] = {{0.75f, 0.75f, 0.75f}, {0.75f, 0.75f, 0.0f},
                                   {0.0f, 0.75f, 0.75f},  {0.0f, 0.75f, 0.0f},
                                   {0.75f, 0.0f, 0.75f},  {0.75f, 0.0f, 0.0f},
                                   {0.0f, 0.0f, 0.75f},   {0.05f, 0.05f, 0.05f}};
        c = BARS[std::min(7, static_cast<int>((u - 0.03f) / 0.30f * 8.0f))];
    }

    // Colour wheel: hue by angle, saturation by radius, hard rim.
    const float wx = (u - 0.16f) * aspect, wy = v - 0.40f;
    const float wr = std::hypot(wx, wy);
    if (wr < 0.12f) c = Mix({0.9f, 0.9f, 0.9f}, Hue(std::atan2(wy, wx)), wr / 0.12f);

    // Zone plate: concentric rings whose frequency rises to a 4-pixel period
    // at the rim - detail a careless scaler aliases.
    const float zx = (u - 0.47f) * aspect, zy = v - 0.36f;
    const float zr = std::hypot(zx, zy);
    if (zr < 0.15f) {
        const float k = 3.14159265f / (4.0f * 0.15f * px);
        const float g = 0.5f + 0.45f * std::cos(k * zr * zr);
        c = {g, g, g};
    }

    // Fine gratings (4- and 6-pixel periods) and an 8-pixel checkerboard.
    if (v > 0.66f && v < 0.80f) {
        const float tau = 6.2831853f;
        if (u > 0.60f && u < 0.70f) {
            const float g = 0.5f + 0.4f * std::sin(tau * x / 4.0f);
            c = {g, g, g};
        }
        if (u > 0.72f && u < 0.82f) c = Mix({0.95f, 0.2f, 0.2f}, {0.1f, 0.2f, 0.9f},
                                            0.5f + 0.5f * std::sin(tau * y / 6.0f));
        if (u > 0.84f && u < 0.96f) c = ((x >> 3) ^ (y >> 3)) & 1 ? Rgb{1, 1, 1} : Rgb{0, 0, 0};
    }

    // A thin slanted line: edges at every angle step.
    const float line = std::fabs((u - 0.05f) * 0.35f - (v - 0.85f) * 1.0f);
    if (u > 0.05f && u < 0.55f && line < 0.0025f) c = {0.98f, 0.92f, 0.2f};

    return c;
}

uint8_t ToByte(float v) { return static_cast<uint8_t>(std::lround(Clamp01(v) * 255.0f)); }

}  // namespace

std::vector<uint8_t> MakeTestFrame(int width, int height) {
    if (width <= 0 || height <= 0 || (width | height) & 1) return {};
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);

    // Drawn in 32-bit BGRA (libyuv's ARGB), converted by libyuv to NV12.
    std::vector<uint8_t> argb(w * h * 4);
    const float aspect = static_cast<float>(width) / static_cast<float>(height);
    for (size_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < w; ++x) {
            const Rgb c = Scene((x + 0.5f) / width, (y + 0.5f) / height, aspect,
                                static_cast<uint32_t>(x), static_cast<uint32_t>(y), 1.0f / width);
            uint8_t* p = &argb[(y * w + x) * 4];
            p[0] = ToByte(c.b);
            p[1] = ToByte(c.g);
            p[2] = ToByte(c.r);
            p[3] = 255;
        }
    }

    std::vector<uint8_t> nv12(w * h + w * (h / 2));
    libyuv::ARGBToNV12(argb.data(), width * 4, nv12.data(), width, nv12.data() + w * h, width,
                       width, height);
    return nv12;
}

}  // namespace frames
