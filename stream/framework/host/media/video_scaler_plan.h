#pragma once

// The plan of one scaled frame: which output is made from which (the chaining
// rule), and the frame's work as tasks for the blit library's workers.

#include <memory>
#include <vector>

#include "buffer_format.h"
#include "buffer_pool.h"
#include "c2d_library.h"
#include "scratch_memory.h"
#include "stream_source.h"
#include "video_scaler.h"

namespace morwick {

struct FrameSize {
    int width = 0;
    int height = 0;
    bool operator==(const FrameSize& other) const { return width == other.width && height == other.height; }
    long Area() const { return static_cast<long>(width) * height; }
};

// One output: the requests it serves, its sinks, and the frame being made.
struct ScalerOutput {
    explicit ScalerOutput(const VideoScaler::SurfaceConfiguration& surface) : request(surface) {}

    const VideoScaler::SurfaceConfiguration request;
    uint32_t requests = 1;  // guarded by the scaler's mutex
    const std::shared_ptr<StreamSource> source = std::make_shared<StreamSource>();

    // Used by PushBuffer only, one push at a time.
    FrameSize size;
    ScalerOutput* from = nullptr;  // the output this one is scaled from; null for the input
    bool needed = false;
    std::unique_ptr<AndroidMetadataBufferPool> pool;
    BufferFormat format;
    uint8_t* u = nullptr;  // this frame's chroma, planar (in the scaler's scratch),
    uint8_t* v = nullptr;  // for outputs made from this one
    std::shared_ptr<Buffer> frame;

    FrameSize Requested(const FrameSize& input) const {
        if (request.size == 0) return input;
        return {static_cast<int>(request.Width()), static_cast<int>(request.Height())};
    }
};

using ScalerOutputs = std::vector<std::shared_ptr<ScalerOutput>>;

// The smallest other output no larger than the input (and not the input's own
// size) that is at least twice as wide and high, with the same filter; null
// when the output is made from the input.
ScalerOutput* ChainSource(const ScalerOutput& output, const FrameSize& input, const ScalerOutputs& outputs);

// Sizes and sources of every output for an input of this size; an output is
// needed when it has sinks or when a needed one is made from it.
void ChooseSources(const ScalerOutputs& outputs, const FrameSize& input);

// An output without a frame this time is no source: those made from it are
// made from its own source instead.
void SkipSourcesWithoutFrames(const ScalerOutputs& outputs);

// The frame's work as tasks; scratch holds the planar chroma it needs.
std::vector<C2DLibrary::Task> PlanFrame(C2DLibrary& library, ScratchMemory& scratch,
                                        const ScalerOutputs& outputs, const C2DLibrary::Plane& input_y,
                                        const C2DLibrary::Plane& input_uv);

}  // namespace morwick
