#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace frames {

// A 32-bit picture in libyuv's ARGB order (B, G, R, A in memory).
struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgra;

    Image() = default;
    Image(int w, int h, uint32_t fill_argb = 0xff000000u);
    uint8_t* Row(int y) { return bgra.data() + static_cast<size_t>(y) * width * 4; }
    const uint8_t* Row(int y) const { return bgra.data() + static_cast<size_t>(y) * width * 4; }
};

// The first plain NV12 frame of `size` bytes at `nv12`, or an empty image when
// the bytes do not hold a whole frame of width x height.
Image ImageFromNV12(const uint8_t* nv12, size_t size, int width, int height);

// Box-filtered copy that fits inside max_width x max_height, keeping the aspect.
Image FitInside(const Image& image, int max_width, int max_height);

// Copies `image` into `canvas` with its top-left corner at (x, y), clipped.
void Blit(const Image& image, Image& canvas, int x, int y);

// Writes an 8-bit RGB PNG; false with libpng's reason in `error` on failure.
bool WritePng(const Image& image, const std::string& path, std::string& error);

// Reads a whole file; false when it cannot be opened or read.
bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes);

}  // namespace frames
