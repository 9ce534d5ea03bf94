#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The machine's video nodes (/dev/videoN, in the order of N) and the first
// of them that is a memory-to-memory encoder of `coded` from NV12; empty when
// none is. Each node passed over is in `passed_over` with the reason.
struct PassedOver {
    std::string path;
    std::string why;
};
std::string FindEncoderNode(uint32_t coded, std::vector<PassedOver>& passed_over);
