// The probe's NV12 <-> Venus NV12 conversion against a memcpy of the same
// pixel bytes, interleaved in the same iterations so both see the same
// machine. Time is the conversion's; the counter vs_memcpy is
// conversion throughput / memcpy throughput (goal: at least 0.9).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "conversion.h"

namespace {

struct Size {
    int width, height;
};
const Size SIZES[] = {{1920, 1080}, {1280, 720}, {854, 480}, {640, 360}};

double Seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

void BM_Conversion(benchmark::State& state) {
    const Size size = SIZES[state.range(0)];
    const bool to_venus = state.range(1) != 0;
    const size_t stride = (size.width + 127) / 128 * 128;
    const size_t scanlines = (size.height + 31) / 32 * 32;
    const size_t plain = size_t(size.width) * size.height * 3 / 2;
    const size_t venus = stride * scanlines + stride * (size.height / 2);

    std::vector<unsigned char> plain_buf(plain, 1), venus_buf(venus, 2);
    std::vector<unsigned char> copy_src(plain, 3), copy_dst(plain, 4);
    auto& src = to_venus ? plain_buf : venus_buf;
    auto& dst = to_venus ? venus_buf : plain_buf;

    auto convert = [&] {
        ConvertBetweenNV12AndVenusNV12(src.data(), static_cast<unsigned>(src.size()), dst.data(),
                                       static_cast<unsigned>(dst.size()), size.width, size.height,
                                       to_venus);
    };
    auto copy = [&] { std::memcpy(copy_dst.data(), copy_src.data(), plain); };

    // The two take turns at going first, so neither always meets the caches
    // the other left behind.
    double conversion_seconds = 0, copy_seconds = 0;
    bool conversion_first = true;
    for (auto _ : state) {
        double seconds = 0;
        for (int turn = 0; turn < 2; ++turn) {
            const bool converting = (turn == 0) == conversion_first;
            const auto start = std::chrono::steady_clock::now();
            converting ? convert() : copy();
            benchmark::ClobberMemory();
            (converting ? seconds : copy_seconds) += Seconds(start);
        }
        conversion_seconds += seconds;
        state.SetIterationTime(seconds);
        conversion_first = !conversion_first;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain));
    state.counters["vs_memcpy"] = copy_seconds / conversion_seconds;
    state.SetLabel(std::to_string(size.width) + "x" + std::to_string(size.height) +
                   (to_venus ? " to Venus" : " from Venus"));
}

}  // namespace

BENCHMARK(BM_Conversion)
    ->ArgsProduct({{0, 1, 2, 3}, {1, 0}})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
