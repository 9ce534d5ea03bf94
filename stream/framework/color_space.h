#pragma once

#include <cstdint>

// Colour space of a frame's pixels.
enum ColorSpace : int32_t {
    CS_UNKNOWN = 0,
    CS_SRGB = 1,
    CS_YCBCR601_FULL = 2,
    CS_YCBCR709_LIMITED = 3,
    CS_YCBCR601_LIMITED = 4,
    CS_YCBCR709_FULL = 5,
    CS_YCBCR2020_LIMITED = 6,
};
