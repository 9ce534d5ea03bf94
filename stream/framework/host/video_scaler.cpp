#include "video_scaler.h"

#include <algorithm>
#include <linux/videodev2.h>
#include <mutex>
#include <sstream>
#include <vector>

#include "buffer_format.h"
#include "buffer_pool.h"
#include "log.h"
#include "scratch_memory.h"

namespace morwick {

namespace {

using Surface = VideoScaler::SurfaceConfiguration;
using Plane = C2DLibrary::Plane;

constexpr uint32_t DEFAULT_BUFFER_COUNT = 4;
constexpr int MAX_DIMENSION = static_cast<int>(Surface::SIZE_MASK);

struct Size {
    int width = 0;
    int height = 0;
    bool operator==(const Size& other) const { return width == other.width && height == other.height; }
    long Area() const { return static_cast<long>(width) * height; }
};

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

// One output: the requests it serves, its sinks, and the frame being made.
struct ScalerOutput {
    explicit ScalerOutput(const Surface& surface) : request(surface) {}

    const Surface request;
    uint32_t requests = 1;  // guarded by the scaler's mutex
    const std::shared_ptr<StreamSource> source = std::make_shared<StreamSource>();

    // Used by PushBuffer only, one push at a time.
    Size size;
    ScalerOutput* from = nullptr;  // the output this one is scaled from; null for the input
    bool needed = false;
    std::unique_ptr<AndroidMetadataBufferPool> pool;
    BufferFormat format;
    uint8_t* u = nullptr;  // this frame's chroma, planar (in the scaler's scratch),
    uint8_t* v = nullptr;  // for outputs made from this one
    std::shared_ptr<Buffer> frame;

    Size Requested(const Size& input) const {
        if (request.size == 0) return input;
        return {static_cast<int>(request.Width()), static_cast<int>(request.Height())};
    }
};

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
    using Outputs = std::vector<std::shared_ptr<ScalerOutput>>;

    static ScalerOutput* ChainSource(const ScalerOutput& output, const Size& input, const Outputs& outputs);
    Status CheckInput(const Buffer& buffer, BufferFormat& format) const;
    void MakePool(ScalerOutput& output, const Size& size, const BufferFormat& format, uint32_t preallocate) const;
    Status TakeFrame(ScalerOutput& output, const BufferMetadata& metadata);
    std::vector<C2DLibrary::Task> Plan(const Outputs& outputs, const Plane& input_y, const Plane& input_uv);

    const std::shared_ptr<C2DLibrary> m_library;
    const uint32_t m_buffer_count;

    mutable std::mutex m_mutex;  // the outputs list, request counts, last input
    Outputs m_outputs;
    Size m_input;
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

// The smallest other output no larger than the input (and not the input's
// own size) that is at least twice as wide and high, with the same filter.
// A 2:1 step costs nothing in quality; smaller steps from an already scaled
// frame lose detail, and upscaled frames hold none the input lacks.
ScalerOutput* VideoScalerOutputs::ChainSource(const ScalerOutput& output, const Size& input, const Outputs& outputs) {
    const Size target = output.Requested(input);
    ScalerOutput* best = nullptr;
    Size best_size;
    for (const auto& candidate : outputs) {
        const Size size = candidate->Requested(input);
        if (candidate.get() == &output || candidate->request.filter != output.request.filter) continue;
        if (size.width > input.width || size.height > input.height || size == input) continue;
        if (size.width < 2 * target.width || size.height < 2 * target.height) continue;
        if (!best || size.Area() < best_size.Area()) {
            best = candidate.get();
            best_size = size;
        }
    }
    return best;
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

void VideoScalerOutputs::MakePool(ScalerOutput& output, const Size& size, const BufferFormat& format,
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

// The frame's work as tasks: each output's luma, its two chroma planes and
// their interleaving are independent of the other outputs' (except for
// chained ones, which wait for their source's planes).
std::vector<C2DLibrary::Task> VideoScalerOutputs::Plan(const Outputs& outputs, const Plane& input_y,
                                                       const Plane& input_uv) {
    const int chroma_width = input_uv.width, chroma_height = input_uv.height;
    std::vector<C2DLibrary::Task> tasks;
    constexpr size_t NONE = SIZE_MAX;
    size_t split = NONE;
    Plane input_u{}, input_v{};  // the input's chroma, split once for every output scaled from it

    // Sources first, then larger outputs first: the costly work starts early.
    std::vector<ScalerOutput*> order;
    for (const auto& output : outputs)
        if (output->frame) order.push_back(output.get());
    const auto depth = [](const ScalerOutput* output) {
        int levels = 0;
        for (; output->from; output = output->from) ++levels;
        return levels;
    };
    std::stable_sort(order.begin(), order.end(), [&](const ScalerOutput* a, const ScalerOutput* b) {
        if (depth(a) != depth(b)) return depth(a) < depth(b);
        return a->size.Area() > b->size.Area();
    });

    struct Indices {
        size_t y = SIZE_MAX, u = SIZE_MAX, v = SIZE_MAX;
    };
    std::vector<std::pair<const ScalerOutput*, Indices>> made;
    const auto indices_of = [&](const ScalerOutput* output) {
        for (const auto& entry : made)
            if (entry.first == output) return entry.second;
        return Indices{};
    };
    const auto after = [](size_t index) { return index == SIZE_MAX ? std::vector<size_t>{} : std::vector<size_t>{index}; };
    C2DLibrary& library = *m_library;

    // Planar chroma for every scaled output and, once, for the input.
    const auto copied = [&](const ScalerOutput* output) {
        return output->size.width == input_y.width && output->size.height == input_y.height;
    };
    const size_t input_chroma = ScratchMemory::Piece(static_cast<size_t>(chroma_width) * chroma_height);
    size_t planes = 0;
    bool split_input = false;
    for (const ScalerOutput* output : order) {
        if (copied(output)) continue;
        planes += 2 * ScratchMemory::Piece(static_cast<size_t>(output->size.width / 2) * (output->size.height / 2));
        split_input |= !output->from;
    }
    uint8_t* free_plane = m_planes.Reserve(planes + (split_input ? 2 * input_chroma : 0));
    const auto take = [&free_plane](size_t bytes) {
        uint8_t* plane = free_plane;
        free_plane += ScratchMemory::Piece(bytes);
        return plane;
    };

    for (ScalerOutput* output : order) {
        uint8_t* base = output->frame->GetAddress();
        const int width = output->size.width, height = output->size.height;
        const int stride = static_cast<int>(output->format.stride);
        const Plane out_y{base, stride, width, height};
        const Plane out_uv{base + output->format.chroma_offset, stride, width / 2, height / 2};

        if (copied(output)) {
            tasks.push_back({[&library, input_y, out_y] { library.CopyPlane(input_y, out_y); }, {}});
            tasks.push_back({[&library, input_uv, out_uv] {
                                 library.CopyPlane({input_uv.data, input_uv.stride, input_uv.width * 2, input_uv.height},
                                                   {out_uv.data, out_uv.stride, out_uv.width * 2, out_uv.height});
                             },
                             {}});
            continue;
        }
        const size_t chroma_size = static_cast<size_t>(width / 2) * (height / 2);
        output->u = take(chroma_size);
        output->v = take(chroma_size);
        const Plane out_u{output->u, width / 2, width / 2, height / 2};
        const Plane out_v{output->v, width / 2, width / 2, height / 2};

        Plane src_y = input_y, src_u, src_v;
        Indices src;
        if (output->from) {
            const ScalerOutput& from = *output->from;
            src_y = {from.frame->GetAddress(), static_cast<int>(from.format.stride), from.size.width, from.size.height};
            const int cw = from.size.width / 2, ch = from.size.height / 2;
            src_u = {from.u, cw, cw, ch};
            src_v = {from.v, cw, cw, ch};
            src = indices_of(&from);
        } else {
            if (split == NONE) {
                input_u = {take(input_chroma), chroma_width, chroma_width, chroma_height};
                input_v = {take(input_chroma), chroma_width, chroma_width, chroma_height};
                split = tasks.size();
                tasks.push_back({[&library, input_uv, u = input_u, v = input_v] { library.SplitChroma(input_uv, u, v); },
                                 {}});
            }
            src_u = input_u;
            src_v = input_v;
            src = {NONE, split, split};
        }
        const auto filter = static_cast<C2DLibrary::Filter>(output->request.filter);
        Indices own;
        own.y = tasks.size();
        tasks.push_back({[&library, src_y, out_y, filter] { library.ScalePlane(src_y, out_y, filter); }, after(src.y)});
        own.u = tasks.size();
        tasks.push_back({[&library, src_u, out_u, filter] { library.ScalePlane(src_u, out_u, filter); }, after(src.u)});
        own.v = tasks.size();
        tasks.push_back({[&library, src_v, out_v, filter] { library.ScalePlane(src_v, out_v, filter); }, after(src.v)});
        tasks.push_back({[&library, out_u, out_v, out_uv] { library.MergeChroma(out_u, out_v, out_uv); }, {own.u, own.v}});
        made.emplace_back(output, own);
    }
    return tasks;
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
    const Size input{metadata.width, metadata.height};

    Outputs outputs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_input = input;
        m_input_format = metadata.pixel_format;
        outputs = m_outputs;
    }

    // An output is made when it has sinks or when one that is made comes from it.
    for (const auto& output : outputs) {
        output->size = output->Requested(input);
        output->from = ChainSource(*output, input, outputs);
        output->needed = output->source->GetSinkCount() > 0;
    }
    for (const auto& output : outputs)
        if (output->needed)
            for (ScalerOutput* from = output->from; from; from = from->from) from->needed = true;

    Status first = Status::SUCCESS;
    for (const auto& output : outputs) {
        if (!output->needed) continue;
        const Status status = TakeFrame(*output, metadata);
        if (first == Status::SUCCESS) first = status;
    }
    // An output without a frame this time is no source: skip to its own source.
    for (const auto& output : outputs)
        while (output->from && !output->from->frame) output->from = output->from->from;

    uint8_t* base = buffer->GetAddress();
    const Plane input_y{base, static_cast<int>(input_format.stride), input.width, input.height};
    const Plane input_uv{base + input_format.chroma_offset, static_cast<int>(input_format.stride), input.width / 2,
                         input.height / 2};
    m_library->Run(Plan(outputs, input_y, input_uv));

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
            const Size size = output.Requested(m_input);
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
            const Size size = from->Requested(m_input);
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
