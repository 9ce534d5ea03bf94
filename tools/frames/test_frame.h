#pragma once

#include <cstdint>
#include <vector>

namespace frames {

// A deterministic, natural-looking test picture as one plain NV12 frame
// (width*height luma bytes, then height/2 rows of interleaved U,V), BT.601
// limited range. It has smooth gradients, hard edges, fine detail near the
// sampling limit and saturated colour, so scaling faults show up in it.
// Width and height must be even and positive; otherwise the result is empty.
std::vector<uint8_t> MakeTestFrame(int width, int height);

}  // namespace frames
