#pragma once

#include <cstdint>

#include "color_space.h"
#include "status.h"

namespace morwick {

// Layout of a frame in the padded Venus NV12 layout: luma rows `stride`
// bytes apart, `scanlines` luma rows, then the interleaved chroma plane at
// `chroma_offset` with `chroma_scanlines` rows of `stride` bytes.
struct BufferFormat {
    uint32_t size = 0;              // bytes of the whole buffer
    uint32_t stride = 0;            // bytes from one row to the next, both planes
    uint32_t scanlines = 0;         // luma rows, padding included
    uint32_t chroma_scanlines = 0;  // chroma rows, padding included
    uint32_t chroma_offset = 0;     // stride * scanlines
};

// The layout of a width x height frame of the given V4L2 fourcc.
// FAILURE_INVALID for a zero or negative size, FAILURE_UNSUPPORTED for any
// format but V4L2_PIX_FMT_NV12.
Status GetBufferFormat(int width, int height, int fourcc, ColorSpace color_space,
                       BufferFormat& format);

}  // namespace morwick
