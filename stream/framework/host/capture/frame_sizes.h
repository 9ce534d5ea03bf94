#pragma once

#include <cstdint>

#include "v4l2_node.h"

// What a capture device without DV timings (a webcam, a USB grabber) lists
// of its frame sizes and intervals, and the size and rate asked of it.
namespace frame_sizes {

struct Size {
    uint32_t width = 0;
    uint32_t height = 0;
    bool operator==(const Size& other) const {
        return width == other.width && height == other.height;
    }
};

// The size to ask for `wanted`: itself when the device offers it or lists
// no sizes; else the smallest it offers that holds it, else its largest.
Size Choose(V4l2Node& node, uint32_t fourcc, Size wanted);
// The highest frame rate the device lists at that size; 0 when it lists none.
double FastestRate(V4l2Node& node, uint32_t fourcc, Size size);

}  // namespace frame_sizes
