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

// V4L2 fourccs: NV12, NV12M (its two planes apart), NV21, YUYV, UYVY, YU12
// (I420), YV12.
const std::vector<uint32_t>& Preferred();
bool IsTaken(uint32_t fourcc);
// Motion JPEG (MJPG, JPEG): taken where a device offers nothing else the
// encoder takes, each frame decoded with libyuv.
bool IsCompressed(uint32_t fourcc);
// The planes (buffers of their own) a format comes in: 2 for NV12M, else 1.
uint32_t PlanesOf(uint32_t fourcc);

// How one frame of a format lies in its buffer's planes.
struct Layout {
    uint32_t fourcc = 0;
    int width = 0;
    int height = 0;
    uint32_t bytes_per_line = 0;         // of the first plane
    uint32_t chroma_bytes_per_line = 0;  // of NV12M's second plane
};

// Bytes a whole frame takes in each plane; 0 for each when the layout is not
// one the encoder takes (odd size, lines too short for the width, unknown format).
struct PlaneBytes {
    size_t plane[2] = {0, 0};
    size_t Total() const { return plane[0] + plane[1]; }
};
PlaneBytes BytesOf(const Layout& layout);
inline size_t FrameBytes(const Layout& layout) { return BytesOf(layout).Total(); }

// A frame as the driver gave it: its planes' bytes.
struct Frame {
    const uint8_t* plane[2] = {nullptr, nullptr};
    size_t size[2] = {0, 0};
    size_t Size() const { return size[0] + size[1]; }
};
// The frame holds a whole picture of the layout.
bool Holds(const Layout& layout, const Frame& frame);

// One NV12 picture to write into.
struct Nv12Target {
    uint8_t* y;
    int y_stride;
    uint8_t* uv;
    int uv_stride;
};

// Converts a frame into NV12 of the same size; false when its bytes do not
// hold a whole frame of the layout (a JPEG: one of its size that decodes).
bool ToNv12(const Layout& layout, const Frame& frame, const Nv12Target& target);
// The same for a frame in one plane of `size` bytes.
inline bool ToNv12(const Layout& layout, const uint8_t* data, size_t size,
                   const Nv12Target& target) {
    Frame frame;
    frame.plane[0] = data;
    frame.size[0] = size;
    return ToNv12(layout, frame, target);
}

// What the driver reports (V4L2 colorspace, Y'CbCr encoding, quantization)
// as the stream's colour space; defaults resolved as the V4L2 rules give them.
ColorSpace FromV4l2(uint32_t colorspace, uint32_t ycbcr_enc, uint32_t quantization);
// "BT.601 limited range", "Rec.709 full range", ...
const char* Describe(ColorSpace space);

}  // namespace capture_format
