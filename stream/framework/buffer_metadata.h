#pragma once

#include <cstdint>

#include "color_space.h"

// What a buffer holds. A default record describes nothing: a consumer that
// needs a frame size or format refuses a buffer whose record leaves them zero.
struct BufferMetadata {
    uint8_t is_video_frame = 0;          // 1: the buffer holds one raw video frame
    uint32_t plane_count = 0;            // planes of the frame (2 for NV12)
    int32_t width = 0;                   // pixels
    int32_t height = 0;                  // pixels
    uint32_t pixel_format = 0;           // V4L2 fourcc
    ColorSpace color_space = CS_UNKNOWN;
    int64_t timestamp_us = 0;            // capture time, microseconds
};
