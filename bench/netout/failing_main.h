#pragma once

// main for the benchmarks run in the booted appliance by a script: a run
// that failed (SkipWithError after Failed() = true) makes the exit status 1,
// so that the script notices.

#include <benchmark/benchmark.h>

inline bool& Failed() {
    static bool failed = false;
    return failed;
}

#define LUMASET_FAILING_BENCHMARK_MAIN()                                   \
    int main(int argc, char** argv) {                                      \
        benchmark::Initialize(&argc, argv);                                \
        if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;  \
        benchmark::RunSpecifiedBenchmarks();                               \
        benchmark::Shutdown();                                             \
        return Failed() ? 1 : 0;                                           \
    }
