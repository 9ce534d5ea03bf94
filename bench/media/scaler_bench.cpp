// VideoScaler::PushBuffer with the probe's five outputs against libswscale
// making the same four sizes from the same frame, at equal thread counts.
// Every benchmark reports the worst luma and chroma PSNR of its scaled
// outputs against an independent float bilinear (psnr_y, psnr_uv).
// BM_Interleaved alternates the two in each iteration so that both meet the
// same machine load, and reports their median times and the ratio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <linux/videodev2.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "buffer_pool.h"
#include "nv12_image.h"
#include "video_scaler.h"

namespace {

const Nv12Image& Input() {
    static const Nv12Image image = MakeTestFrame(1280, 720);
    return image;
}

// Worst PSNR over the scaled (not copied) outputs.
struct Quality {
    double luma = INFINITY, chroma = INFINITY;
    void Add(const Nv12Image& output) {
        if (output.width == Input().width && output.height == Input().height) return;
        const Nv12Image reference = ReferenceScale(Input(), output.width, output.height, false);
        luma = std::min(luma, Psnr(output.y, reference.y));
        chroma = std::min({chroma, Psnr(output.u, reference.u), Psnr(output.v, reference.v)});
    }
    void Report(benchmark::State& state, const char* prefix = "") const {
        state.counters[std::string(prefix) + "psnr_y"] = luma;
        state.counters[std::string(prefix) + "psnr_uv"] = chroma;
    }
};

// Takes each frame and, when asked, checks its quality.
class NullSink : public StreamSink {
public:
    Status PushBuffer(const std::shared_ptr<Buffer>& buffer) override {
        if (quality) {
            const BufferMetadata metadata = buffer->GetMetadata();
            quality->Add(LoadVenus(buffer->GetAddress(), metadata.width, metadata.height));
        }
        return Status::SUCCESS;
    }
    Quality* quality = nullptr;
};

// The probe's set-up: five requests, a 1280x720 input in the Venus layout.
class ScalerRig {
public:
    explicit ScalerRig(unsigned threads)
        : m_scaler(std::make_shared<morwick::C2DLibrary>(threads), morwick::VideoScaler::Configuration{9}) {
        for (uint32_t word : {0x00A00168u, 0x01E00438u, 0u, 0x00D581E0u, 0x00A00168u}) {
            m_sinks.push_back(std::make_shared<NullSink>());
            m_scaler.AddOutput({word, V4L2_PIX_FMT_NV12, 3})->AddSink(m_sinks.back());
        }
        const morwick::BufferFormat format = VenusFormat(1280, 720);
        m_pool = std::make_unique<morwick::AndroidMetadataBufferPool>(
            "bench_input",
            morwick::AndroidMetadataBufferPool::Configuration{1, format.scanlines, 4096, 0x2000000, 0, format.stride,
                                                              format.size});
        if (m_pool->GetBuffer(m_input, 0) == Status::SUCCESS) StoreVenus(Input(), *m_input);
    }
    bool Run() { return m_input && m_scaler.PushBuffer(m_input) == Status::SUCCESS; }
    Quality Measure() {
        Quality quality;
        for (auto& sink : m_sinks) sink->quality = &quality;
        Run();
        for (auto& sink : m_sinks) sink->quality = nullptr;
        return quality;
    }

private:
    morwick::VideoScaler m_scaler;
    std::vector<std::shared_ptr<NullSink>> m_sinks;
    std::unique_ptr<morwick::AndroidMetadataBufferPool> m_pool;
    std::shared_ptr<Buffer> m_input;
};

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
struct ContextDeleter {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

Frame MakeFrame(int width, int height) {
    Frame frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_NV12;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 64) < 0) return nullptr;
    return frame;
}

// libswscale making the same four sizes from the same frame, plain NV12 to plain NV12.
class SwscaleRig {
public:
    SwscaleRig(int threads, int flags) : m_source(MakeFrame(Input().width, Input().height)) {
        const Nv12Image& image = Input();
        for (int row = 0; row < image.height; ++row)
            std::copy_n(&image.y[static_cast<size_t>(row) * image.width], image.width,
                        m_source->data[0] + row * m_source->linesize[0]);
        for (int row = 0; row < image.height / 2; ++row)
            for (int col = 0; col < image.width / 2; ++col) {
                const size_t at = static_cast<size_t>(row) * (image.width / 2) + col;
                m_source->data[1][row * m_source->linesize[1] + 2 * col] = image.u[at];
                m_source->data[1][row * m_source->linesize[1] + 2 * col + 1] = image.v[at];
            }
        for (const auto& [width, height] : {std::pair{1920, 1080}, {1280, 720}, {854, 480}, {640, 360}}) {
            std::unique_ptr<SwsContext, ContextDeleter> context(sws_alloc_context());
            av_opt_set_int(context.get(), "srcw", image.width, 0);
            av_opt_set_int(context.get(), "srch", image.height, 0);
            av_opt_set_int(context.get(), "src_format", AV_PIX_FMT_NV12, 0);
            av_opt_set_int(context.get(), "dstw", width, 0);
            av_opt_set_int(context.get(), "dsth", height, 0);
            av_opt_set_int(context.get(), "dst_format", AV_PIX_FMT_NV12, 0);
            av_opt_set_int(context.get(), "sws_flags", flags, 0);
            av_opt_set_int(context.get(), "threads", threads, 0);
            if (sws_init_context(context.get(), nullptr, nullptr) < 0) return;
            m_contexts.push_back(std::move(context));
            m_outputs.push_back(MakeFrame(width, height));
        }
    }
    bool Run() {
        if (m_contexts.size() != 4) return false;
        for (size_t i = 0; i < m_contexts.size(); ++i)
            if (sws_scale_frame(m_contexts[i].get(), m_outputs[i].get(), m_source.get()) < 0) return false;
        return true;
    }
    Quality Measure() {
        Quality quality;
        Run();
        for (const auto& frame : m_outputs) {
            Nv12Image image{frame->width, frame->height, {}, {}, {}};
            for (int row = 0; row < frame->height; ++row)
                image.y.insert(image.y.end(), frame->data[0] + row * frame->linesize[0],
                               frame->data[0] + row * frame->linesize[0] + frame->width);
            for (int row = 0; row < frame->height / 2; ++row)
                for (int col = 0; col < frame->width / 2; ++col) {
                    image.u.push_back(frame->data[1][row * frame->linesize[1] + 2 * col]);
                    image.v.push_back(frame->data[1][row * frame->linesize[1] + 2 * col + 1]);
                }
            quality.Add(image);
        }
        return quality;
    }

private:
    Frame m_source;
    std::vector<std::unique_ptr<SwsContext, ContextDeleter>> m_contexts;
    std::vector<Frame> m_outputs;
};

void BM_VideoScaler(benchmark::State& state) {
    ScalerRig rig(static_cast<unsigned>(state.range(0)));
    const Quality quality = rig.Measure();
    for (auto _ : state)
        if (!rig.Run()) state.SkipWithError("push failed");
    quality.Report(state);
}

void BM_Swscale(benchmark::State& state, int flags) {
    SwscaleRig rig(static_cast<int>(state.range(0)), flags);
    const Quality quality = rig.Measure();
    for (auto _ : state)
        if (!rig.Run()) state.SkipWithError("swscale failed");
    quality.Report(state);
}

double Median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

template <typename Rig>
double TimeOne(Rig& rig, bool& ok) {
    const auto start = std::chrono::steady_clock::now();
    ok &= rig.Run();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void BM_Interleaved(benchmark::State& state) {
    const auto threads = static_cast<unsigned>(state.range(0));
    ScalerRig ours(threads);
    SwscaleRig peer(static_cast<int>(threads), SWS_BILINEAR);
    const Quality our_quality = ours.Measure(), peer_quality = peer.Measure();
    std::vector<double> our_times, peer_times;
    bool ok = true;
    for (auto _ : state) {
        our_times.push_back(TimeOne(ours, ok));
        peer_times.push_back(TimeOne(peer, ok));
    }
    if (!ok) state.SkipWithError("a run failed");
    const double our_median = Median(our_times), peer_median = Median(peer_times);
    state.counters["scaler_ms"] = our_median;
    state.counters["swscale_ms"] = peer_median;
    state.counters["speedup"] = peer_median / our_median;
    our_quality.Report(state);
    peer_quality.Report(state, "swscale_");
}

}  // namespace

BENCHMARK(BM_VideoScaler)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Swscale, bilinear, SWS_BILINEAR)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Swscale, fast_bilinear, SWS_FAST_BILINEAR)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Interleaved)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
