// The board's encoder path against libx264, at the same pictures, size and
// rate, driven as the encoder component drives them: a picture per frame
// slot from a select loop, coded frames taken when the device is readable.
// Meant for the booted appliance, where vicodec (/dev/v4l/by-name/stateful-encoder)
// is a stateful memory-to-memory encoder:
//
//   scripts/appliance-vm build/armhf/bin/netout_encoder_bench
//
//   lat_p50_ms, lat_p99_ms  from a picture handed to the encoder to its
//             coded frame handed on (libx264: Encode itself), over the run
//   lat_p50_periods, lat_p99_periods  the same in frame periods
//   cpu       the process's CPU seconds (user + system, all threads) per
//             second of stream; user_cpu its user part: for vicodec the copy
//             into the driver's layout and the loop, while the driver encodes
//             in the process's buffer calls, as system time
//   guest_cpu the whole machine's busy CPU seconds per second of stream: a
//             hardware encoder works outside the process
//   frames, dropped  pictures that came out coded, and that found the
//             encoder busy
// Each for vicodec_* and x264_*, and vicodec over x264 for the CPU figures.
//
// vicodec codes FWHT, not H.264, on the CPU, inside the kernel: its figures
// show the cost of the interface (the copy into the driver's layout, the
// buffer calls, the loop's wake-ups) and what a kernel-side encoder costs the
// process, not what a board's encoder costs, which works beside the CPU.
//
// The pictures are a second of the test pattern drawn before the runs, so
// that drawing costs neither run anything.
//
// NETOUT_ENCODER_BENCH_SECONDS sets each run's length (5);
// NETOUT_ENCODER_BENCH_SIZE the pictures' size (320x240: what the emulated
// appliance's libx264 keeps up with at 30 fps).

#include <benchmark/benchmark.h>

#include <linux/videodev2.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec_module.h"
#include "failing_main.h"
#include "hardware_encoder.h"
#include "proc_cpu.h"
#include "software_encoder.h"
#include "test_pattern.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* DEVICE = "/dev/v4l/by-name/stateful-encoder";
constexpr int FPS = 30;
constexpr int BIT_RATE_KBPS = 1000;

struct Settings {
    int seconds = 5;
    int width = 320;
    int height = 240;
};

Settings ReadSettings() {
    Settings settings;
    if (const char* text = std::getenv("NETOUT_ENCODER_BENCH_SECONDS"))
        settings.seconds = std::max(1, std::atoi(text));
    if (const char* text = std::getenv("NETOUT_ENCODER_BENCH_SIZE"))
        if (std::sscanf(text, "%dx%d", &settings.width, &settings.height) != 2 || settings.width < 2 ||
            settings.height < 2 || settings.width % 2 || settings.height % 2)
            throw std::runtime_error(std::string("NETOUT_ENCODER_BENCH_SIZE=") + text + ": not an even WIDTHxHEIGHT");
    return settings;
}

// The process's user and system CPU seconds.
std::pair<double, double> ProcessSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return {usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6, usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6};
}

struct Result {
    std::vector<double> latency_ms;
    double cpu = 0;
    double user_cpu = 0;
    double guest_cpu = 0;
    uint64_t dropped = 0;
};

// A second of pictures, NV12 without padding.
std::vector<std::vector<uint8_t>> Pictures(const Settings& settings) {
    TestPattern pattern(settings.width, settings.height);
    std::vector<std::vector<uint8_t>> pictures;
    const size_t size = static_cast<size_t>(settings.width) * settings.height * 3 / 2;
    for (int i = 0; i < FPS; ++i) {
        pattern.Draw(static_cast<uint32_t>(i));
        pictures.emplace_back(pattern.Y(), pattern.Y() + size);
    }
    return pictures;
}

// A picture every slot for the run's length, then the drain, as the component does it.
Result Run(VideoEncoder& encoder, std::vector<Clock::time_point>& handed, std::vector<double>& latency,
           const Settings& settings, const std::vector<std::vector<uint8_t>>& pictures) {
    const int frames = settings.seconds * FPS;
    const size_t luma = static_cast<size_t>(settings.width) * settings.height;
    const Clock::time_point start = Clock::now();
    const std::pair<double, double> cpu_start = ProcessSeconds();
    const double guest_start = MachineBusySeconds();
    int slot = 0;
    while (slot < frames) {
        IOEventData data;
        encoder.Setup(data);
        const Clock::time_point due = start + std::chrono::microseconds(int64_t(slot) * 1000000 / FPS);
        data.AddTimeout(due, nullptr);
        timeval timeout = data.GetTimeout();
        if (select(data.GetFdMax() + 1, data.GetFdsRead(), data.GetFdsWrite(), data.GetFdsError(), &timeout) > 0)
            encoder.Handle(data);
        if (Clock::now() < due) continue;
        const uint8_t* picture = pictures[static_cast<size_t>(slot) % pictures.size()].data();
        handed.push_back(Clock::now());
        encoder.Encode({picture, settings.width, picture + luma, settings.width}, int64_t(slot) * 3000,
                       handed.back());
        ++slot;
    }
    encoder.Drain();
    const double stream_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Result result;
    const std::pair<double, double> cpu_end = ProcessSeconds();
    result.user_cpu = (cpu_end.first - cpu_start.first) / stream_seconds;
    result.cpu = result.user_cpu + (cpu_end.second - cpu_start.second) / stream_seconds;
    result.guest_cpu = (MachineBusySeconds() - guest_start) / stream_seconds;
    result.latency_ms = latency;
    result.dropped = handed.size() - latency.size();
    return result;
}

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) throw std::runtime_error("no coded frame came out");
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(share * values.size()))];
}

void Report(benchmark::State& state, const std::string& name, const Result& result) {
    const double period_ms = 1000.0 / FPS;
    state.counters[name + "_lat_p50_ms"] = Percentile(result.latency_ms, 0.5);
    state.counters[name + "_lat_p99_ms"] = Percentile(result.latency_ms, 0.99);
    state.counters[name + "_lat_p50_periods"] = Percentile(result.latency_ms, 0.5) / period_ms;
    state.counters[name + "_lat_p99_periods"] = Percentile(result.latency_ms, 0.99) / period_ms;
    state.counters[name + "_cpu"] = result.cpu;
    state.counters[name + "_user_cpu"] = result.user_cpu;
    state.counters[name + "_guest_cpu"] = result.guest_cpu;
    state.counters[name + "_frames"] = double(result.latency_ms.size());
    state.counters[name + "_dropped"] = double(result.dropped);
}

void BM_VicodecAgainstX264(benchmark::State& state) {
    try {
        struct stat device {};
        if (stat(DEVICE, &device) != 0)
            throw std::runtime_error(std::string(DEVICE) +
                                     " is missing: this runs in the booted appliance: "
                                     "scripts/appliance-vm build/armhf/bin/netout_encoder_bench");
        const Settings settings = ReadSettings();
        const std::vector<std::vector<uint8_t>> pictures = Pictures(settings);
        for (auto _ : state) {
            Result results[2];
            for (int which = 0; which < 2; ++which) {
                std::vector<Clock::time_point> handed;
                std::vector<double> latency;
                const VideoEncoder::Output output = [&](const VideoEncoder::Unit& unit) {
                    latency.push_back(std::chrono::duration<double, std::milli>(Clock::now() - unit.made).count());
                };
                std::unique_ptr<VideoEncoder> encoder;
                if (which == 0) {
                    encoder = std::make_unique<HardwareEncoder>("bench", DEVICE, output, V4L2_PIX_FMT_FWHT);
                } else {
                    std::unique_ptr<H264Encoder> codec = CreateH264Encoder();
                    if (!codec) throw std::runtime_error("the codec module did not load");
                    encoder = std::make_unique<SoftwareEncoder>(std::move(codec), output);
                }
                const H264Settings wanted{settings.width, settings.height, FPS, BIT_RATE_KBPS, CS_YCBCR709_LIMITED};
                if (encoder->Open(wanted) != Status::SUCCESS)
                    throw std::runtime_error(encoder->Describe() + " did not open (its reason is above)");
                results[which] = Run(*encoder, handed, latency, settings, pictures);
            }
            Report(state, "vicodec", results[0]);
            Report(state, "x264", results[1]);
            state.counters["cpu_ratio"] = results[0].cpu / results[1].cpu;
            state.counters["guest_cpu_ratio"] = results[0].guest_cpu / results[1].guest_cpu;
        }
    } catch (const std::exception& failure) {
        Failed() = true;
        state.SkipWithError(failure.what());
    }
}

BENCHMARK(BM_VicodecAgainstX264)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

LUMASET_FAILING_BENCHMARK_MAIN()
