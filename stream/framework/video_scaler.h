#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "buffer.h"
#include "c2d_library.h"
#include "status.h"
#include "stream_source.h"

namespace morwick {

class VideoScalerOutputs;

// Scales NV12 frames in the Venus layout to any number of output sizes.
// Equal requests share one output, counted: it stays until every request
// is removed. A downscale is made from the smallest other output (no larger
// than the input) that is at least twice its size both ways, otherwise from
// the input. Output frames are delivered to each output's sinks from
// PushBuffer, on the calling thread, one sink call at a time.
class VideoScaler {
public:
    struct Configuration {
        uint32_t buffer_count;  // frames each output can have out at once (0: 4)
    };

    struct SurfaceConfiguration {
        // Height in bits 0-13, width in bits 14-27; 0 asks for the input's size.
        uint32_t size;
        uint32_t format;  // V4L2 fourcc; V4L2_PIX_FMT_NV12
        uint32_t filter;  // C2DLibrary::Filter

        static constexpr uint32_t SIZE_MASK = 0x3FFF;
        static constexpr uint32_t WIDTH_SHIFT = 14;
        static constexpr uint32_t SizeWord(uint32_t width, uint32_t height) {
            return ((width & SIZE_MASK) << WIDTH_SHIFT) | (height & SIZE_MASK);
        }
        uint32_t Width() const { return (size >> WIDTH_SHIFT) & SIZE_MASK; }
        uint32_t Height() const { return size & SIZE_MASK; }
    };

    VideoScaler(const std::shared_ptr<C2DLibrary>& library, const Configuration& configuration);
    ~VideoScaler();
    VideoScaler(const VideoScaler&) = delete;
    VideoScaler& operator=(const VideoScaler&) = delete;

    // The output for the request (shared with equal requests); one of a given
    // size has its first frame's memory made at once, on a thread of its
    // pool's, so that the first push finds it ready. Empty, with the
    // reason logged, for a request that cannot be met: another format, an odd
    // or half-given size, bits 28-31 set, an unknown filter.
    std::shared_ptr<StreamSource> AddOutput(const SurfaceConfiguration& surface);
    // Withdraws one request; FAILURE_INVALID when there is none like it.
    Status RemoveOutput(const SurfaceConfiguration& surface);

    // Scales the frame to every output and delivers the results. FAILURE_INVALID
    // (reason logged) for a frame whose metadata or memory cannot be scaled;
    // otherwise the first failure met, after every output was tried.
    Status PushBuffer(const std::shared_ptr<Buffer>& buffer);

    // The input and every output: size, format, request count, source.
    std::string str() const;

private:
    std::unique_ptr<VideoScalerOutputs> m_outputs;
};

}  // namespace morwick
