#include "buffer_format.h"

#include <linux/videodev2.h>

#include "log.h"

namespace {

uint64_t RoundUp(uint64_t value, uint64_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

// Extra room the video hardware keeps after the chroma plane (extradata and
// metadata areas) before the total is rounded to whole pages.
constexpr uint64_t VENUS_EXTRADATA_SIZE = 8192;
constexpr uint64_t VENUS_METADATA_SIZE = 4096;

}  // namespace

namespace morwick {

Status GetBufferFormat(int width, int height, int fourcc, ColorSpace /*color_space*/,
                       BufferFormat& format) {
    if (static_cast<uint32_t>(fourcc) != V4L2_PIX_FMT_NV12) {
        Log::Instance().Warnf("GetBufferFormat: fourcc 0x%08X is not NV12", static_cast<uint32_t>(fourcc));
        return Status::FAILURE_UNSUPPORTED;
    }
    // Sizes up to 16383 are what the hardware (and the scaler's size word) can hold.
    if (width <= 0 || height <= 0 || width > 16383 || height > 16383) {
        Log::Instance().Warnf("GetBufferFormat: no layout for %dx%d", width, height);
        return Status::FAILURE_INVALID;
    }
    const uint64_t stride = RoundUp(static_cast<uint64_t>(width), 128);
    const uint64_t scanlines = RoundUp(static_cast<uint64_t>(height), 32);
    const uint64_t chroma_scanlines = RoundUp((static_cast<uint64_t>(height) + 1) / 2, 16);
    const uint64_t size = RoundUp(stride * scanlines + stride * chroma_scanlines +
                                      VENUS_METADATA_SIZE + VENUS_EXTRADATA_SIZE,
                                  4096);
    format.size = static_cast<uint32_t>(size);
    format.stride = static_cast<uint32_t>(stride);
    format.scanlines = static_cast<uint32_t>(scanlines);
    format.chroma_scanlines = static_cast<uint32_t>(chroma_scanlines);
    format.chroma_offset = static_cast<uint32_t>(stride * scanlines);
    return Status::SUCCESS;
}

}  // namespace morwick
