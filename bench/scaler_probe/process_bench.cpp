// The whole scaler_probe process against one ffmpeg command that writes the
// same four scaled files from the same input frame. Each iteration is a pair:
// both run, one after the other, in folders of their own. Time is the probe's;
// the counters are the median over the pairs of the probe's wall time over
// ffmpeg's (goal: at most 0.15), each side's median milliseconds, and the
// probe's peak memory over ffmpeg's (goal: at most 0.5).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "test_frame.h"

namespace {

// Runs argv in `folder` with output discarded; the exit status, or -1.
// peak_kb: the child's largest resident set.
int Run(const std::string& folder, const std::vector<std::string>& args, long* peak_kb) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd < 0 || chdir(folder.c_str()) != 0) _exit(127);
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        std::vector<char*> argv;
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status)) return -1;
    *peak_kb = usage.ru_maxrss;
    return WEXITSTATUS(status);
}

std::string MakeFolder(const std::string& root, const char* name) {
    const std::string folder = root + "/" + name;
    mkdir(folder.c_str(), 0755);
    const auto frame = frames::MakeTestFrame(1280, 720);
    std::ofstream(folder + "/source_image_720.yuv", std::ios::binary)
        .write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
    return folder;
}

const std::vector<std::string> FFMPEG = {
    "ffmpeg", "-nostdin", "-loglevel", "error", "-y",
    "-f", "rawvideo", "-pix_fmt", "nv12", "-video_size", "1280x720",
    "-i", "source_image_720.yuv",
    "-filter_complex",
    "split=4[a][b][c][d];[a]scale=1920:1080[o1];[c]scale=854:480[o3];[d]scale=640:360[o4]",
    "-map", "[o1]", "-f", "rawvideo", "-pix_fmt", "nv12", "scaled_1080.yuv",
    "-map", "[b]", "-f", "rawvideo", "-pix_fmt", "nv12", "scaled_720.yuv",
    "-map", "[o3]", "-f", "rawvideo", "-pix_fmt", "nv12", "scaled_480.yuv",
    "-map", "[o4]", "-f", "rawvideo", "-pix_fmt", "nv12", "scaled_360.yuv"};

double Seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void BM_ScalerProbeProcess(benchmark::State& state) {
    char root_template[] = "/tmp/scaler_probe_bench.XXXXXX";
    const std::string root = mkdtemp(root_template) ? root_template : "";
    if (root.empty()) return state.SkipWithError("cannot make a temporary folder");
    const std::string probe_folder = MakeFolder(root, "probe");
    const std::string ffmpeg_folder = MakeFolder(root, "ffmpeg");

    std::vector<double> probe_ms, ffmpeg_ms, ratios, memory_ratios;
    for (auto _ : state) {
        long probe_kb = 0, ffmpeg_kb = 0;
        auto start = std::chrono::steady_clock::now();
        const int probe_status = Run(probe_folder, {SCALER_PROBE_PATH}, &probe_kb);
        const double probe_seconds = Seconds(start);
        state.SetIterationTime(probe_seconds);

        start = std::chrono::steady_clock::now();
        const int ffmpeg_status = Run(ffmpeg_folder, FFMPEG, &ffmpeg_kb);
        const double ffmpeg_seconds = Seconds(start);
        if (probe_status != 0 || ffmpeg_status != 0) {
            state.SkipWithError(probe_status != 0 ? "scaler_probe failed" : "ffmpeg failed");
            break;
        }
        probe_ms.push_back(1000 * probe_seconds);
        ffmpeg_ms.push_back(1000 * ffmpeg_seconds);
        ratios.push_back(probe_seconds / ffmpeg_seconds);
        memory_ratios.push_back(static_cast<double>(probe_kb) / static_cast<double>(ffmpeg_kb));
    }
    state.counters["pairs"] = static_cast<double>(ratios.size());
    state.counters["probe_over_ffmpeg"] = Median(ratios);
    state.counters["probe_ms"] = Median(probe_ms);
    state.counters["ffmpeg_ms"] = Median(ffmpeg_ms);
    state.counters["peak_memory_over_ffmpeg"] = Median(memory_ratios);
    std::system(("rm -rf '" + root + "'").c_str());
}

}  // namespace

// At least 11 pairs on any machine: a median of fewer says little on a shared one.
BENCHMARK(BM_ScalerProbeProcess)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(21);

BENCHMARK_MAIN();
