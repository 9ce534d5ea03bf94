// VideoScaler::PushBuffer with the probe's five outputs against libswscale
// making the same four sizes from the same frame, at equal thread counts.
// Each benchmark also reports the worst luma and chroma PSNR of its scaled
// outputs against an independent float bilinear.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <linux/videodev2.h>
#include <map>
#include <string>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "buffer_pool.h"
#include "nv12_image.h"
#include "video_scaler.h"

namespace {

struct Size {
    int width, height;
};
constexpr Size SIZES[] = {{1920, 1080}, {1280, 720}, {854, 480}, {640, 360}};

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
    void Report(benchmark::State& state) const {
        state.counters["psnr_y"] = luma;
        state.counters["psnr_uv"] = chroma;
    }
};

// Takes each frame and, when asked, keeps a copy for the quality check.
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

void BM_VideoScaler(benchmark::State& state) {
    using morwick::VideoScaler;
    const auto threads = static_cast<unsigned>(state.range(0));
    VideoScaler scaler(std::make_shared<morwick::C2DLibrary>(threads), VideoScaler::Configuration{9});
    const uint32_t words[] = {0x00A00168, 0x01E00438, 0, 0x00D581E0, 0x00A00168};
    std::vector<std::shared_ptr<NullSink>> sinks;
    for (uint32_t word : words) {
        sinks.push_back(std::make_shared<NullSink>());
        scaler.AddOutput({word, V4L2_PIX_FMT_NV12, 3})->AddSink(sinks.back());
    }
    const morwick::BufferFormat format = VenusFormat(1280, 720);
    morwick::AndroidMetadataBufferPool pool(
        "bench_input", {1, format.scanlines, 4096, 0x2000000, 0, format.stride, format.size});
    std::shared_ptr<Buffer> input;
    if (pool.GetBuffer(input, 0) != Status::SUCCESS) {
        state.SkipWithError("no input buffer");
        return;
    }
    StoreVenus(Input(), *input);

    Quality quality;
    for (auto& sink : sinks) sink->quality = &quality;
    scaler.PushBuffer(input);
    for (auto& sink : sinks) sink->quality = nullptr;

    for (auto _ : state)
        if (scaler.PushBuffer(input) != Status::SUCCESS) state.SkipWithError("push failed");
    quality.Report(state);
}

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;

Frame MakeFrame(int width, int height) {
    Frame frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_NV12;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 64) < 0) return nullptr;
    return frame;
}

Nv12Image FromFrame(const AVFrame& frame) {
    Nv12Image image{frame.width, frame.height, {}, {}, {}};
    for (int row = 0; row < frame.height; ++row)
        image.y.insert(image.y.end(), frame.data[0] + row * frame.linesize[0],
                       frame.data[0] + row * frame.linesize[0] + frame.width);
    for (int row = 0; row < frame.height / 2; ++row)
        for (int col = 0; col < frame.width / 2; ++col) {
            image.u.push_back(frame.data[1][row * frame.linesize[1] + 2 * col]);
            image.v.push_back(frame.data[1][row * frame.linesize[1] + 2 * col + 1]);
        }
    return image;
}

void BM_Swscale(benchmark::State& state, int flags) {
    const int threads = static_cast<int>(state.range(0));
    const Nv12Image& image = Input();
    Frame source = MakeFrame(image.width, image.height);
    for (int row = 0; row < image.height; ++row)
        std::copy_n(&image.y[static_cast<size_t>(row) * image.width], image.width, source->data[0] + row * source->linesize[0]);
    for (int row = 0; row < image.height / 2; ++row)
        for (int col = 0; col < image.width / 2; ++col) {
            source->data[1][row * source->linesize[1] + 2 * col] = image.u[static_cast<size_t>(row) * image.width / 2 + col];
            source->data[1][row * source->linesize[1] + 2 * col + 1] = image.v[static_cast<size_t>(row) * image.width / 2 + col];
        }

    std::vector<SwsContext*> contexts;
    std::vector<Frame> outputs;
    for (const Size& size : SIZES) {
        SwsContext* context = sws_alloc_context();
        av_opt_set_int(context, "srcw", image.width, 0);
        av_opt_set_int(context, "srch", image.height, 0);
        av_opt_set_int(context, "src_format", AV_PIX_FMT_NV12, 0);
        av_opt_set_int(context, "dstw", size.width, 0);
        av_opt_set_int(context, "dsth", size.height, 0);
        av_opt_set_int(context, "dst_format", AV_PIX_FMT_NV12, 0);
        av_opt_set_int(context, "sws_flags", flags, 0);
        av_opt_set_int(context, "threads", threads, 0);
        if (sws_init_context(context, nullptr, nullptr) < 0) {
            state.SkipWithError("swscale refused the conversion");
            return;
        }
        contexts.push_back(context);
        outputs.push_back(MakeFrame(size.width, size.height));
    }
    const auto scale_all = [&] {
        for (size_t i = 0; i < contexts.size(); ++i)
            if (sws_scale_frame(contexts[i], outputs[i].get(), source.get()) < 0) return false;
        return true;
    };

    Quality quality;
    if (!scale_all()) state.SkipWithError("swscale failed");
    for (const auto& output : outputs) quality.Add(FromFrame(*output));
    for (auto _ : state)
        if (!scale_all()) state.SkipWithError("swscale failed");
    quality.Report(state);
    for (SwsContext* context : contexts) sws_freeContext(context);
}

// Keeps every run's time so that main can state the ratios of this run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")
                times[run.run_name.function_name + "/" + run.run_name.args] = run.GetAdjustedRealTime();
    }
    std::map<std::string, double> times;
};

}  // namespace

BENCHMARK(BM_VideoScaler)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Swscale, bilinear, SWS_BILINEAR)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Swscale, fast_bilinear, SWS_FAST_BILINEAR)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* threads : {"1", "2"}) {
        const auto ours = reporter.times.find(std::string("BM_VideoScaler/") + threads);
        if (ours == reporter.times.end()) continue;
        for (const char* peer : {"BM_Swscale/bilinear/", "BM_Swscale/fast_bilinear/"}) {
            const auto theirs = reporter.times.find(peer + std::string(threads));
            if (theirs != reporter.times.end())
                printf("threads %s: VideoScaler is %.2fx as fast as %s\n", threads, theirs->second / ours->second, peer);
        }
    }
    benchmark::Shutdown();
}
