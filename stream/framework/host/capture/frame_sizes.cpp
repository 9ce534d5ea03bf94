#include "frame_sizes.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <vector>

namespace frame_sizes {

namespace {

constexpr uint32_t MAX_ENTRIES = 256;

uint64_t Area(const Size& size) { return static_cast<uint64_t>(size.width) * size.height; }

// A size within a stepwise range: `wanted` clamped to it, on its steps.
uint32_t OnSteps(uint32_t wanted, uint32_t low, uint32_t high, uint32_t step) {
    const uint32_t clamped = std::min(std::max(wanted, low), high);
    if (step <= 1) return clamped;
    const uint32_t up = low + (clamped - low + step - 1) / step * step;
    return up <= high ? up : low + (high - low) / step * step;
}

}  // namespace

Size Choose(V4l2Node& node, uint32_t fourcc, Size wanted) {
    std::vector<Size> offered;
    for (uint32_t index = 0; index < MAX_ENTRIES; ++index) {
        v4l2_frmsizeenum entry{};
        entry.index = index;
        entry.pixel_format = fourcc;
        if (!node.CallQuietly(VIDIOC_ENUM_FRAMESIZES, &entry)) break;
        if (entry.type != V4L2_FRMSIZE_TYPE_DISCRETE) {
            const v4l2_frmsize_stepwise& range = entry.stepwise;
            return {OnSteps(wanted.width, range.min_width, range.max_width, range.step_width),
                    OnSteps(wanted.height, range.min_height, range.max_height, range.step_height)};
        }
        offered.push_back({entry.discrete.width, entry.discrete.height});
    }
    if (offered.empty() || std::find(offered.begin(), offered.end(), wanted) != offered.end())
        return wanted;
    const Size* holding = nullptr;
    const Size* largest = &offered.front();
    for (const Size& size : offered) {
        if (size.width >= wanted.width && size.height >= wanted.height &&
            (holding == nullptr || Area(size) < Area(*holding)))
            holding = &size;
        if (Area(size) > Area(*largest)) largest = &size;
    }
    return holding != nullptr ? *holding : *largest;
}

double FastestRate(V4l2Node& node, uint32_t fourcc, Size size) {
    double fastest = 0;
    for (uint32_t index = 0; index < MAX_ENTRIES; ++index) {
        v4l2_frmivalenum entry{};
        entry.index = index;
        entry.pixel_format = fourcc;
        entry.width = size.width;
        entry.height = size.height;
        if (!node.CallQuietly(VIDIOC_ENUM_FRAMEINTERVALS, &entry)) break;
        // The shortest interval: a discrete one, or a range's least.
        const v4l2_fract& interval =
            entry.type == V4L2_FRMIVAL_TYPE_DISCRETE ? entry.discrete : entry.stepwise.min;
        if (interval.numerator > 0)
            fastest = std::max(fastest, static_cast<double>(interval.denominator) / interval.numerator);
        if (entry.type != V4L2_FRMIVAL_TYPE_DISCRETE) break;
    }
    return fastest;
}

}  // namespace frame_sizes
