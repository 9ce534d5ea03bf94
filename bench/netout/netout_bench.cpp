// netout_probe against ffmpeg producing the same stream from the same raw NV12
// frames (1280x720 at 30 fps, x264 ultrafast/zerolatency, 4 Mbit/s with a
// one-frame VBV, a key frame every second, MPEG-TS in 1316-byte datagrams to
// a loopback receiver), measured in the same run:
//   cpu_*      CPU seconds (user + system) per second of stream received
//   lat_*      frame latency: a frame written into the input FIFO to the
//              arrival of its last byte at the receiver, p50 and p99 in ms
//   burst_*    most bytes in any 10 ms window over the stream's mean per 10 ms
// NETOUT_BENCH_SECONDS sets the length of each run (default 6).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ts_receiver.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int WIDTH = 1280;
constexpr int HEIGHT = 720;
constexpr int FPS = 30;
constexpr size_t FRAME_BYTES = WIDTH * HEIGHT * 3 / 2;

int RunSeconds() {
    const char* text = std::getenv("NETOUT_BENCH_SECONDS");
    return text != nullptr && std::atoi(text) > 1 ? std::atoi(text) : 6;
}

struct Child {
    pid_t pid = -1;
};

Child Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extra_env,
            const std::string& log_path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    Child child;
    if (posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        throw std::runtime_error("cannot run " + args[0]);
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

// CPU seconds the child used, user and system.
double Wait(const Child& child) {
    int status = 0;
    rusage usage{};
    while (wait4(child.pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("a measured program failed; see its log in the bench folder");
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::vector<std::string> FfmpegArgs(const std::string& input, int port, bool from_file, int seconds) {
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error"};
    if (from_file) args.insert(args.end(), {"-re", "-stream_loop", "-1"});
    args.insert(args.end(), {"-f", "rawvideo", "-pix_fmt", "nv12", "-s",
                             std::to_string(WIDTH) + "x" + std::to_string(HEIGHT), "-framerate",
                             std::to_string(FPS), "-i", input});
    if (from_file) args.insert(args.end(), {"-t", std::to_string(seconds)});
    args.insert(args.end(), {"-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency",
                             "-b:v", "4000k", "-maxrate", "4000k", "-bufsize", "133k", "-g",
                             std::to_string(FPS), "-keyint_min", std::to_string(FPS),
                             "-sc_threshold", "0", "-f", "mpegts",
                             "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316"});
    return args;
}

std::vector<std::string> ProbeArgs(int port, int seconds) {
    return {NETOUT_PROBE_PATH, "-s", std::to_string(seconds), "-p", std::to_string(port), "-m", "1316"};
}

std::string ProbeEnv(const std::string& input) {
    return "LUMASET_OPTIONS=enc0.width=" + std::to_string(WIDTH) + " enc0.height=" +
           std::to_string(HEIGHT) + " enc0.fps=" + std::to_string(FPS) +
           " enc0.bitrate=4000000 enc0.input=" + input;
}

struct Measure {
    double cpu_per_stream_second = 0;
    double burst = 0;
    double p50_ms = 0;
    double p99_ms = 0;
};

// Writes the frames into a FIFO at the frame rate, as a capture device would
// deliver them, and notes when each frame was handed over.
class FifoFeeder {
public:
    FifoFeeder(std::string path, const std::vector<uint8_t>& frames, int count)
        : m_path(std::move(path)), m_frames(frames), m_count(count) {
        m_thread = std::thread([this] { Feed(); });
    }
    ~FifoFeeder() { m_thread.join(); }
    std::vector<Clock::time_point> Join() {
        m_thread.join();
        m_thread = std::thread([] {});
        return m_written;
    }

private:
    void Feed() {
        const int fd = open(m_path.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the reader
        if (fd < 0) return;
        fcntl(fd, F_SETPIPE_SZ, 1 << 20);
        const size_t in_file = m_frames.size() / FRAME_BYTES;
        const Clock::time_point start = Clock::now() + std::chrono::milliseconds(300);
        for (int i = 0; i < m_count; ++i) {
            const auto due = start + std::chrono::microseconds(i * 1000000LL / FPS);
            std::this_thread::sleep_until(due);
            m_written.push_back(due);
            const uint8_t* frame = m_frames.data() + (i % in_file) * FRAME_BYTES;
            for (size_t done = 0; done < FRAME_BYTES;) {
                const ssize_t put = write(fd, frame + done, FRAME_BYTES - done);
                if (put <= 0 && errno != EINTR) {
                    close(fd);
                    return;
                }
                if (put > 0) done += size_t(put);
            }
        }
        close(fd);
    }
    std::string m_path;
    const std::vector<uint8_t>& m_frames;
    int m_count;
    std::vector<Clock::time_point> m_written;
    std::thread m_thread;
};

// Latency percentiles of the received frames against the times they were written.
void Latencies(const TsReceiver& receiver, const std::vector<Clock::time_point>& written,
               Measure& measure) {
    const auto frames = receiver.Frames();
    std::vector<double> latencies;
    int64_t index = 0;
    for (size_t k = 0; k < frames.size(); ++k) {
        if (k > 0) {
            const int64_t delta = (frames[k].pts - frames[k - 1].pts) & ((int64_t(1) << 33) - 1);
            index += std::max<int64_t>(1, (delta + 1500) / 3000);
        }
        if (index >= int64_t(written.size())) break;
        latencies.push_back(
            std::chrono::duration<double, std::milli>(frames[k].last_arrival - written[index]).count());
    }
    if (latencies.empty()) throw std::runtime_error("no frames received");
    std::sort(latencies.begin(), latencies.end());
    measure.p50_ms = latencies[latencies.size() / 2];
    measure.p99_ms = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
}

void BM_NetoutAgainstFfmpeg(benchmark::State& state) {
    const int seconds = RunSeconds();
    char folder_template[] = "/tmp/netout-bench-XXXXXX";
    const std::string folder = mkdtemp(folder_template);
    const std::string frames_path = folder + "/frames.nv12";
    const std::string log_path = folder + "/programs.log";
    // One second of moving test picture, the same frames for both programs.
    Wait(Spawn({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                "testsrc2=size=1280x720:rate=30", "-frames:v", "30", "-pix_fmt", "nv12", "-f",
                "rawvideo", frames_path},
               {}, log_path));
    std::vector<uint8_t> frames(FRAME_BYTES * FPS);
    std::ifstream(frames_path, std::ios::binary).read(reinterpret_cast<char*>(frames.data()),
                                                      std::streamsize(frames.size()));

    Measure probe;
    Measure peer;
    for (auto _ : state) {
        // CPU and pacing: each program reads the file at its own pace (ffmpeg -re).
        for (bool is_probe : {true, false}) {
            TsReceiver receiver;
            const Child child = is_probe ? Spawn(ProbeArgs(receiver.Port(), seconds),
                                                 {ProbeEnv(frames_path)}, log_path)
                                         : Spawn(FfmpegArgs(frames_path, receiver.Port(), true, seconds),
                                                 {}, log_path);
            const double cpu = Wait(child);
            receiver.Stop();
            Measure& m = is_probe ? probe : peer;
            m.cpu_per_stream_second = cpu / (double(receiver.Frames().size()) / FPS);
            m.burst = receiver.BurstRatio(std::chrono::milliseconds(10));
        }
        // Latency: both read the frames from a FIFO fed at the frame rate.
        for (bool is_probe : {true, false}) {
            const std::string fifo = folder + (is_probe ? "/probe.fifo" : "/ffmpeg.fifo");
            mkfifo(fifo.c_str(), 0600);
            TsReceiver receiver;
            const Child child =
                is_probe ? Spawn(ProbeArgs(receiver.Port(), seconds + 1), {ProbeEnv(fifo)}, log_path)
                         : Spawn(FfmpegArgs(fifo, receiver.Port(), false, seconds), {}, log_path);
            FifoFeeder feeder(fifo, frames, seconds * FPS);
            const auto written = feeder.Join();
            Wait(child);
            receiver.Stop();
            Latencies(receiver, written, is_probe ? probe : peer);
        }
    }
    state.counters["cpu_probe"] = probe.cpu_per_stream_second;
    state.counters["cpu_ffmpeg"] = peer.cpu_per_stream_second;
    state.counters["cpu_ratio"] = probe.cpu_per_stream_second / peer.cpu_per_stream_second;
    state.counters["lat_p50_probe_ms"] = probe.p50_ms;
    state.counters["lat_p99_probe_ms"] = probe.p99_ms;
    state.counters["lat_p50_ffmpeg_ms"] = peer.p50_ms;
    state.counters["lat_p99_ffmpeg_ms"] = peer.p99_ms;
    state.counters["lat_p50_ratio"] = probe.p50_ms / peer.p50_ms;
    state.counters["burst_probe"] = probe.burst;
    state.counters["burst_ffmpeg"] = peer.burst;
    std::system(("rm -rf '" + folder + "'").c_str());
}

BENCHMARK(BM_NetoutAgainstFfmpeg)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
