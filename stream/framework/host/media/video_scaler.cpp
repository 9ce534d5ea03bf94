#include "video_scaler.h"

#include <algorithm>
#include <linux/videodev2.h>
#include <mutex>
#include <sstream>
#include <vector>

#include "log.h"
#include "video_scaler_plan.h"

namespace morwick {

namespace {

using Surface = VideoScaler::SurfaceConfiguration;
using Plane = C2DLibrary::Plane;

constexpr uint32_t DEFAULT_BUFFER_COUNT = 4;
constexpr int MAX_DIMENSION = static_cast<int>(Surface::SIZE_MASK);

std::string FourccName(uint32_t fourcc) {
    std::string name;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((fourcc >> shift) & 0xFF);
        if (c < ' ' || c > '~') {
            char hex[16];
            snprintf(hex, sizeof hex, "0x%08X", fourcc);
            return hex;
        }
        name += c;
    }
    return name;
}

const char* FilterName(uint32_t filter) {
    switch (filter) {
        case C2DLibrary::FILTER_NONE: return "nearest";
        case C2DLibrary::FILTER_LINEAR: return "linear";
        case C2DLibrary::FILTER_BILINEAR: return "bilinear";
        case C2DLibrary::FILTER_BOX: return "box";
    }
    return "unknown";
}

bool SameRequest(const Surface& a, const Surface& b) {
    return a.size == b.size && a.format == b.format && a.filter == b.filter;
}

// Why a frame size cannot be scaled, or null when it can.
const char* SizeProblem(int width, int height) {
    if (width <= 0 || height <= 0) return "it has no size";
    if (width > MAX_DIMENSION || height > MAX_DIMENSION) return "it is larger than 16383 pixels";
    if (width % 2 || height % 2) return "an NV12 frame needs an even width and height";
    return nullptr;
}

}  // namespace

class VideoScalerOutputs {
public:
    VideoScalerOutputs(const std::shared_ptr<C2DLibrary>& library, const VideoScaler::Configuration& configuration)
        : m_library(library),
          m_buffer_count(configuration.buffer_count ? configuration.buffer_count : DEFAULT_BUFFER_COUNT) {}

    std::shared_ptr<StreamSource> Add(const Surface& surface);
    Status Remove(const Surface& surface);
    Status Push(const std::shared_ptr<Buffer>& buffer);
    std::string Describe() const;

private:
    using Outputs = ScalerOutputs;

    Status CheckInput(const Buffer& buffer, BufferFormat& format) const;
    void MakePool(ScalerOutput& output, const FrameSize& size, const BufferFormat& format, uint32_t preallocate) const;
    Status TakeFrame(ScalerOutput& output, const BufferMetadata& metadata);

    const std::shared_ptr<C2DLibrary> m_library;
    const uint32_t m_buffer_count;

    mutable std::mutex m_mutex;  // the outputs list, request counts, last input
    Outputs m_outputs;
    FrameSize m_input;
    uint32_t m_input_format = 0;

    std::mutex m_push_mutex;  // one push at a time
    ScratchMemory m_planes;   // planar chroma of the input and of the scaled outputs
};

std::shared_ptr<StreamSource> VideoScalerOutputs::Add(const Surface& surface) {
    const Log& log = Log::Instance();
    const int width = static_cast<int>(surface.Width());
    const int height = static_cast<int>(surface.Height());
    if (surface.format != V4L2_PIX_FMT_NV12) {
        log.Errorf("VideoScaler: cannot make %s output; only NV12", FourccName(surface.format).c_str());
        return nullptr;
    }
    if (surface.filter > C2DLibrary::FILTER_BOX) {
        log.Errorf("VideoScaler: unknown filter %u", surface.filter);
        return nullptr;
    }
    if (surface.size != 0) {
        const char* problem = (surface.size >> 28) ? "bits 28-31 of the size word are set" : SizeProblem(width, height);
        if (problem) {
            log.Errorf("VideoScaler: cannot make a %dx%d output (size word 0x%08X): %s", width, height,
                       surface.size, problem);
            return nullptr;
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& output : m_outputs) {
        if (SameRequest(output->request, surface)) {
            ++output->requests;
            return output->source;
        }
    }
    auto output = std::make_shared<ScalerOutput>(surface);
    // An output of a known size gets its first frame's memory made now, on
    // the pool's thread, while the caller goes on setting up.
    BufferFormat format;
    if (surface.size != 0 &&
        GetBufferFormat(width, height, V4L2_PIX_FMT_NV12, CS_YCBCR601_LIMITED, format) == Status::SUCCESS)
        MakePool(*output, {width, height}, format, 1);
    m_outputs.push_back(output);
    return output->source;
}

Status VideoScalerOutputs::Remove(const Surface& surface) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_outputs.begin(); it != m_outputs.end(); ++it) {
        if (SameRequest((*it)->request, surface)) {
            if (--(*it)->requests == 0) m_outputs.erase(it);
            return Status::SUCCESS;
        }
    }
    Log::Instance().Warnf("VideoScaler: no output for size word 0x%08X, format %s, filter %u to remove",
                          surface.size, FourccName(surface.format).c_str(), surface.filter);
    return Status::FAILURE_INVALID;
}

Status VideoScalerOutputs::CheckInput(const Buffer& buffer, BufferFormat& format) const {
    const Log& log = Log::Instance();
    const BufferMetadata metadata = buffer.GetMetadata();
    if (metadata.pixel_format != V4L2_PIX_FMT_NV12) {
        log.Errorf("VideoScaler: cannot scale a %s frame; only NV12", FourccName(metadata.pixel_format).c_str());
        return Status::FAILURE_INVALID;
    }
    if (const char* problem = SizeProblem(metadata.width, metadata.height)) {
        log.Errorf("VideoScaler: cannot scale a %dx%d frame: %s", metadata.width, metadata.height, problem);
        return Status::FAILURE_INVALID;
    }
    if (GetBufferFormat(metadata.width, metadata.height, V4L2_PIX_FMT_NV12, metadata.color_space, format) !=
        Status::SUCCESS)
        return Status::FAILURE_INVALID;
    // The last byte read is the end of the last chroma row.
    const size_t needed = format.chroma_offset + static_cast<size_t>(format.stride) * (metadata.height / 2 - 1) +
                          static_cast<size_t>(metadata.width);
    if (!buffer.GetAddress() || buffer.GetSize() < needed) {
        log.Errorf("VideoScaler: a %dx%d frame needs %zu bytes, the buffer holds %zu", metadata.width,
                   metadata.height, needed, buffer.GetSize());
        return Status::FAILURE_INVALID;
    }
    return Status::SUCCESS;
}

void VideoScalerOutputs::MakePool(ScalerOutput& output, const FrameSize& size, const BufferFormat& format,
                                  uint32_t preallocate) const {
    output.format = format;
    const AndroidMetadataBufferPool::Configuration configuration{
        m_buffer_count, format.scanlines, 4096, 0, preallocate, format.stride, format.size};
    char name[64];
    snprintf(name, sizeof name, "scaler_output_%dx%d", size.width, size.height);
    output.pool = std::make_unique<AndroidMetadataBufferPool>(name, configuration);
}

Status VideoScalerOutputs::TakeFrame(ScalerOutput& output, const BufferMetadata& metadata) {
    BufferFormat format;
    const Status status =
        GetBufferFormat(output.size.width, output.size.height, V4L2_PIX_FMT_NV12, metadata.color_space, format);
    if (status != Status::SUCCESS) return status;
    if (!output.pool || output.format.size != format.size || output.format.stride != format.stride ||
        output.format.scanlines != format.scanlines)
        MakePool(output, output.size, format, 0);
    const Status taken = output.pool->GetBuffer(output.frame, 0);
    if (taken != Status::SUCCESS) {
        Log::Instance().Warnf("VideoScaler: %dx%d output has all %u frames out; this frame is dropped there",
                              output.size.width, output.size.height, m_buffer_count);
        output.frame.reset();
        return taken;
    }
    BufferMetadata out = metadata;
    out.is_video_frame = 1;
    out.plane_count = 2;
    out.width = output.size.width;
    out.height = output.size.height;
    out.pixel_format = V4L2_PIX_FMT_NV12;
    output.frame->SetMetadata(out);
    return Status::SUCCESS;
}

Status VideoScalerOutputs::Push(const std::shared_ptr<Buffer>& buffer) {
    if (!buffer) {
        Log::Instance().Errorf("VideoScaler: no buffer to scale");
        return Status::FAILURE_NULL_POINTER;
    }
    std::lock_guard<std::mutex> push_lock(m_push_mutex);
    BufferFormat input_format;
    const Status valid = CheckInput(*buffer, input_format);
    if (valid != Status::SUCCESS) return valid;
    const BufferMetadata metadata = buffer->GetMetadata();
    const FrameSize input{metadata.width, metadata.height};

    Outputs outputs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_input = input;
        m_input_format = metadata.pixel_format;
        outputs = m_outputs;
    }

    ChooseSources(outputs, input);

    Status first = Status::SUCCESS;
    for (const auto& output : outputs) {
        if (!output->needed) continue;
        const Status status = TakeFrame(*output, metadata);
        if (first == Status::SUCCESS) first = status;
    }
    SkipSourcesWithoutFrames(outputs);

    uint8_t* base = buffer->GetAddress();
    const Plane input_y{base, static_cast<int>(input_format.stride), input.width, input.height};
    const Plane input_uv{base + input_format.chroma_offset, static_cast<int>(input_format.stride), input.width / 2,
                         input.height / 2};
    m_library->Run(PlanFrame(*m_library, m_planes, outputs, input_y, input_uv));

    // Largest frames first: sinks tend to take frame-sized memory for a moment,
    // and what a large frame's sink frees serves the smaller ones after it
    // (the C library keeps such memory once a larger block came and went).
    std::vector<ScalerOutput*> delivery;
    for (const auto& output : outputs)
        if (output->frame) delivery.push_back(output.get());
    std::stable_sort(delivery.begin(), delivery.end(),
                     [](const ScalerOutput* a, const ScalerOutput* b) { return a->size.Area() > b->size.Area(); });
    for (ScalerOutput* output : delivery) {
        const Status status = output->source->Deliver(output->frame);
        if (first == Status::SUCCESS) first = status;
    }
    for (const auto& output : outputs) output->frame.reset();
    return first;
}

std::string VideoScalerOutputs::Describe() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::ostringstream text;
    uint32_t requests = 0;
    for (const auto& output : m_outputs) requests += output->requests;
    text << "VideoScaler: input ";
    if (m_input.width > 0)
        text << m_input.width << "x" << m_input.height << " " << FourccName(m_input_format) << " (last frame)";
    else
        text << "not seen yet";
    text << ", " << m_outputs.size() << (m_outputs.size() == 1 ? " output" : " outputs") << " for " << requests
         << (requests == 1 ? " request" : " requests");
    if (m_outputs.empty()) text << ", nothing to scale";
    for (size_t i = 0; i < m_outputs.size(); ++i) {
        const ScalerOutput& output = *m_outputs[i];
        text << "\n\toutput " << i << ": ";
        if (output.request.size == 0) text << "passthrough ";
        if (output.request.size != 0 || m_input.width > 0) {
            const FrameSize size = output.Requested(m_input);
            text << size.width << "x" << size.height;
        } else {
            text << "(input size)";
        }
        text << " " << FourccName(output.request.format) << " " << FilterName(output.request.filter) << ", "
             << output.requests << (output.requests == 1 ? " request" : " requests") << ", "
             << output.source->GetSinkCount() << (output.source->GetSinkCount() == 1 ? " sink" : " sinks") << ", ";
        if (m_input.width <= 0) {
            text << "source chosen at the first frame";
        } else if (output.Requested(m_input) == m_input) {
            text << "copied from the input";
        } else if (const ScalerOutput* from = ChainSource(output, m_input, m_outputs)) {
            const FrameSize size = from->Requested(m_input);
            text << "scaled from the " << size.width << "x" << size.height << " output";
        } else {
            text << "scaled from the input";
        }
    }
    return text.str();
}

VideoScaler::VideoScaler(const std::shared_ptr<C2DLibrary>& library, const Configuration& configuration)
    : m_outputs(std::make_unique<VideoScalerOutputs>(library ? library : std::make_shared<C2DLibrary>(),
                                                     configuration)) {}

VideoScaler::~VideoScaler() = default;

std::shared_ptr<StreamSource> VideoScaler::AddOutput(const SurfaceConfiguration& surface) {
    return m_outputs->Add(surface);
}

Status VideoScaler::RemoveOutput(const SurfaceConfiguration& surface) { return m_outputs->Remove(surface); }

Status VideoScaler::PushBuffer(const std::shared_ptr<Buffer>& buffer) { return m_outputs->Push(buffer); }

std::string VideoScaler::str() const { return m_outputs->Describe(); }

}  // namespace morwick
