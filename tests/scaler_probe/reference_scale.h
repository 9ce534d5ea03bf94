#pragma once

#include <cstdint>
#include <vector>

// An independent scaling of a plain NV12 frame with libswscale: luma and
// each chroma plane on their own, as 8-bit grey planes.
std::vector<uint8_t> ReferenceScaleNV12(const std::vector<uint8_t>& nv12, int width, int height,
                                        int out_width, int out_height);

struct FramePsnr {
    double luma;
    double chroma;
};

// PSNR in dB of two plain NV12 frames of the same size (99 for identical planes).
FramePsnr CompareNV12(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int width,
                      int height);
