#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "color_space.h"

// The pixel formats a capture device may deliver that the encoder takes, in
// the order it asks for them (NV12 needs no conversion), and their conversion
// to NV12 with libyuv.
namespace capture_format {

// V4L2 fourccs: NV12, NV21, YUYV, UYVY, YU12 (I420), YV12.
const std::vector<uint32_t>& Preferred();
bool IsTaken(uint32_t fourcc);

// How one frame of a format lies in a single-planar buffer.
struct Layout {
    uint32_t fourcc = 0;
    int width = 0;
    int height = 0;
    uint32_t bytes_per_line = 0;  // of the first plane
};

// Bytes a whole frame takes in the buffer; 0 when the layout is not one the
// encoder takes (odd size, lines too short for the width, unknown format).
size_t FrameBytes(const Layout& layout);

// One NV12 picture to write into.
struct Nv12Target {
    uint8_t* y;
    int y_stride;
    uint8_t* uv;
    int uv_stride;
};

// Converts a frame of `size` bytes into NV12 of the same size; false (nothing
// written) when the bytes do not hold a whole frame of the layout.
bool ToNv12(const Layout& layout, const uint8_t* frame, size_t size, const Nv12Target& target);

// What the driver reports (V4L2 colorspace, Y'CbCr encoding, quantization)
// as the stream's colour space; defaults resolved as the V4L2 rules give them.
ColorSpace FromV4l2(uint32_t colorspace, uint32_t ycbcr_enc, uint32_t quantization);
// "BT.601 limited range", "Rec.709 full range", ...
const char* Describe(ColorSpace space);

}  // namespace capture_format
