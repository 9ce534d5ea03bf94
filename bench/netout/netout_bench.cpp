// netout_probe against ffmpeg producing the same stream from the same raw NV12
// frames (1280x720 at 30 fps, x264 ultrafast/zerolatency, 4 Mbit/s with a
// one-frame VBV, a key frame every second, MPEG-TS in 1316-byte datagrams to
// a loopback receiver), measured in the same run:
//
// File runs (CPU, pacing) in the order netout_probe, ffmpeg, ffmpeg,
// netout_probe: each reads the frames from a file at its own pace (its frame
// clock, ffmpeg -re).
//   cpu_*     CPU seconds (user + system, the child's rusage) per second of
//             stream the receiver got, over both runs
//   burst_*   most bytes in any 10 ms window over the stream's mean per 10 ms,
//             from the kernel's receive stamps; the worse of the two runs
//
// FIFO runs (latency), one each: a feeder thread writes one frame into each
// program's input FIFO every 1/30 s, as a capture device would deliver it. A frame is
// created when the feeder starts writing it (its due time, CLOCK_REALTIME);
// it is sent when the datagram with its last TS packet is stamped by the
// kernel at the loopback receiver, which happens inside the sender's sendmsg.
// Both programs are measured between the same two points:
//   ffmpeg: the frame is found by its PTS (frame counts from the raw input:
//           index = (PTS - first PTS) / 3000).
//   netout_probe: its PTS is the wall clock when it had read the whole frame,
//           so frames are taken in order and each is checked to have been
//           read after its due time and before it arrived.
//   lat_*     created -> last datagram, p50 and p99 in ms
//   probe_read_p50_ms  of which netout_probe spent reading the frame from the
//             FIFO (its PTS against the due time)
//   feeder_late_max_ms how late the feeder started its worst frame (a sign of
//             a starved machine; it runs SCHED_FIFO when allowed)
//
// NETOUT_BENCH_SECONDS sets the length of each run (default 6); with
// NETOUT_BENCH_DUMP=<path> the last file runs' arrivals go to <path>.probe and
// <path>.ffmpeg (kernel stamp in ns and size, one datagram a line);
// NETOUT_BENCH_PROBE_OPTIONS adds settings for netout_probe, e.g.
// "netout0.paced=0" to see what the pacing costs in latency. A program that
// fails or outlives its run by 15 s is killed and the benchmark reports an
// error naming it and the log folder, which is then kept.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "ts_receiver.h"

namespace {

constexpr int WIDTH = 1280;
constexpr int HEIGHT = 720;
constexpr int FPS = 30;
constexpr size_t FRAME_BYTES = WIDTH * HEIGHT * 3 / 2;
constexpr int64_t NS = 1000000000;
constexpr int64_t PTS_HZ = 90000;
constexpr int64_t PTS_WRAP = int64_t(1) << 33;
constexpr int64_t WINDOW_NS = 10000000;
constexpr int OVERRUN_SECONDS = 15;
// libavformat's TS muxer moves time stamps forward by twice its max_delay;
// the encoder sets max_delay to 0.1 s.
constexpr int64_t PROBE_MUX_SHIFT_TICKS = 2 * PTS_HZ / 10;

int64_t RealtimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * NS + now.tv_nsec;
}

int RunSeconds() {
    const char* text = std::getenv("NETOUT_BENCH_SECONDS");
    return text != nullptr && std::atoi(text) > 1 ? std::atoi(text) : 6;
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
    const char* extra = std::getenv("NETOUT_BENCH_PROBE_OPTIONS");
    return "LUMASET_OPTIONS=enc0.width=" + std::to_string(WIDTH) + " enc0.height=" +
           std::to_string(HEIGHT) + " enc0.fps=" + std::to_string(FPS) +
           " enc0.bitrate=4000000 enc0.input=" + input + (extra != nullptr ? std::string(" ") + extra : "");
}

// Writes the frames into a FIFO at the frame rate, as a capture device would
// deliver them, and notes when each frame was due (its creation).
class FifoFeeder {
public:
    FifoFeeder(std::string path, const std::vector<uint8_t>& frames, int count, int limit_seconds)
        : m_path(std::move(path)), m_frames(frames), m_count(count),
          m_deadline(RealtimeNs() + int64_t(limit_seconds) * NS) {
        m_thread = std::thread([this] { Feed(); });
    }
    ~FifoFeeder() {
        if (m_thread.joinable()) m_thread.join();
    }
    // Due times of the frames handed over completely; throws if the feeder failed.
    const std::vector<int64_t>& Join() {
        m_thread.join();
        if (!m_error.empty()) throw std::runtime_error(m_error);
        return m_due_ns;
    }
    double WorstLateMs() const { return double(m_worst_late_ns) / 1e6; }
    bool Realtime() const { return m_realtime; }

private:
    void Feed() {
        sched_param param{};
        param.sched_priority = 10;
        m_realtime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
        // Non-blocking, so that a reader that never comes cannot hang the run.
        int fd = -1;
        while ((fd = open(m_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
            if (errno != ENXIO || RealtimeNs() > m_deadline) {
                m_error = "feeder: no reader opened " + m_path + ": " + strerror(errno);
                return;
            }
            usleep(5000);
        }
        fcntl(fd, F_SETPIPE_SZ, 1 << 20);
        const size_t in_file = m_frames.size() / FRAME_BYTES;
        const int64_t start = RealtimeNs() + 300000000;
        for (int i = 0; i < m_count && m_error.empty(); ++i) {
            const int64_t due = start + int64_t(i) * NS / FPS;
            const timespec at{time_t(due / NS), long(due % NS)};
            while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
            m_worst_late_ns = std::max(m_worst_late_ns, RealtimeNs() - due);
            if (WriteFrame(fd, m_frames.data() + (i % in_file) * FRAME_BYTES, i))
                m_due_ns.push_back(due);
        }
        close(fd);
    }

    bool WriteFrame(int fd, const uint8_t* frame, int index) {
        for (size_t done = 0; done < FRAME_BYTES;) {
            const ssize_t put = write(fd, frame + done, FRAME_BYTES - done);
            if (put > 0) {
                done += size_t(put);
                continue;
            }
            if (put < 0 && errno != EAGAIN && errno != EINTR) {
                m_error = "feeder: writing frame " + std::to_string(index) + " failed: " + strerror(errno);
                return false;
            }
            const int64_t left_ms = (m_deadline - RealtimeNs()) / 1000000;
            pollfd entry{fd, POLLOUT, 0};
            if (left_ms <= 0 || poll(&entry, 1, int(std::min<int64_t>(left_ms, 100))) < 0) {
                m_error = "feeder: the reader stopped taking frames at frame " + std::to_string(index);
                return false;
            }
        }
        return true;
    }

    std::string m_path;
    const std::vector<uint8_t>& m_frames;
    int m_count;
    int64_t m_deadline;
    std::vector<int64_t> m_due_ns;
    int64_t m_worst_late_ns = 0;
    bool m_realtime = false;
    std::string m_error;
    std::thread m_thread;
};

struct Figures {
    double cpu_per_stream_second = 0;
    double burst = 0;
    double p50_ms = 0;
    double p99_ms = 0;
    double read_p50_ms = 0;  // netout_probe only
};

double Percentile(std::vector<double> values, double at) {
    if (values.empty()) throw std::runtime_error("no frames to measure");
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(double(values.size()) * at))];
}

// The wall clock a 33-bit 90 kHz time stamp stands for, taking the wrap
// nearest to a known time shortly after it.
int64_t PtsToRealtimeNs(int64_t pts, int64_t after_ns) {
    // 1 tick = 100000/9 ns; split the products so they stay within 64 bits.
    const int64_t after_ticks = after_ns / 100000 * 9 + after_ns % 100000 * 9 / 100000;
    const int64_t behind = ((after_ticks - pts) % PTS_WRAP + PTS_WRAP) % PTS_WRAP;
    const int64_t ticks = after_ticks - behind;
    return ticks / 9 * 100000 + ticks % 9 * 100000 / 9;
}

void FfmpegLatencies(const std::vector<TsReceiver::Frame>& frames, const std::vector<int64_t>& due,
                     Figures& measure) {
    std::vector<double> latencies;
    for (const auto& frame : frames) {
        const int64_t ticks = ((frame.pts - frames.front().pts) % PTS_WRAP + PTS_WRAP) % PTS_WRAP;
        const int64_t index = (ticks + PTS_HZ / FPS / 2) / (PTS_HZ / FPS);
        if (index >= int64_t(due.size())) continue;
        latencies.push_back(double(frame.last_arrival_ns - due[size_t(index)]) / 1e6);
    }
    if (latencies.size() + 2 < due.size())
        throw std::runtime_error("ffmpeg: " + std::to_string(latencies.size()) + " of " +
                                 std::to_string(due.size()) + " frames received");
    measure.p50_ms = Percentile(latencies, 0.50);
    measure.p99_ms = Percentile(latencies, 0.99);
}

void ProbeLatencies(const std::vector<TsReceiver::Frame>& frames, const std::vector<int64_t>& due,
                    Figures& measure) {
    if (frames.size() < due.size())
        throw std::runtime_error("netout_probe: " + std::to_string(frames.size()) + " of " +
                                 std::to_string(due.size()) + " frames received");
    std::vector<double> latencies;
    std::vector<double> reads;
    for (size_t k = 0; k < due.size(); ++k) {
        const int64_t read_ns = PtsToRealtimeNs(frames[k].pts - PROBE_MUX_SHIFT_TICKS, frames[k].last_arrival_ns);
        // One 90 kHz tick of rounding either way.
        if (read_ns + 20000 < due[k] || read_ns > frames[k].last_arrival_ns + 20000)
            throw std::runtime_error("netout_probe: frame " + std::to_string(k) +
                                     " was read outside its due time and its arrival; frames out of step");
        latencies.push_back(double(frames[k].last_arrival_ns - due[k]) / 1e6);
        reads.push_back(double(read_ns - due[k]) / 1e6);
    }
    measure.p50_ms = Percentile(latencies, 0.50);
    measure.p99_ms = Percentile(latencies, 0.99);
    measure.read_p50_ms = Percentile(reads, 0.50);
}

void RunAll(benchmark::State& state, const std::string& folder) {
    const int seconds = RunSeconds();
    const std::string frames_path = folder + "/frames.nv12";
    const std::string log_path = folder + "/programs.log";
    // One second of moving test picture, the same frames for both programs.
    Child("ffmpeg (test frames)",
          {"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30",
           "-frames:v", "30", "-pix_fmt", "nv12", "-f", "rawvideo", frames_path},
          {}, log_path)
        .Wait(60);
    std::vector<uint8_t> frames(FRAME_BYTES * FPS);
    if (!std::ifstream(frames_path, std::ios::binary)
             .read(reinterpret_cast<char*>(frames.data()), std::streamsize(frames.size())))
        throw std::runtime_error("cannot read the test frames " + frames_path);

    Figures probe;
    Figures peer;
    double feeder_late_ms = 0;
    bool feeder_realtime = true;
    for (auto _ : state) {
        // In the order A B B A, so that a load that grows or fades over the
        // run weighs on both alike; the figures are over both runs of each.
        double cpu[2] = {0, 0};
        size_t received[2] = {0, 0};
        for (bool is_probe : {true, false, false, true}) {
            TsReceiver receiver;
            Child child = is_probe ? Child("netout_probe", ProbeArgs(receiver.Port(), seconds),
                                           {ProbeEnv(frames_path)}, log_path)
                                   : Child("ffmpeg", FfmpegArgs(frames_path, receiver.Port(), true, seconds),
                                           {}, log_path);
            cpu[is_probe] += child.Wait(seconds + OVERRUN_SECONDS);
            receiver.Stop();
            const size_t frames_received = receiver.Frames().size();
            const std::string name = is_probe ? "netout_probe" : "ffmpeg";
            if (frames_received == 0) throw std::runtime_error(name + ": no frames received; see " + log_path);
            if (receiver.Unstamped() > 0)
                throw std::runtime_error(name + ": datagrams came without a kernel receive stamp");
            received[is_probe] += frames_received;
            Figures& m = is_probe ? probe : peer;
            m.burst = std::max(m.burst, receiver.BurstRatio(WINDOW_NS));
            if (const char* dump = std::getenv("NETOUT_BENCH_DUMP")) {
                // Kernel arrival (ns) and size of every datagram, for study offline.
                FILE* out = std::fopen((std::string(dump) + (is_probe ? ".probe" : ".ffmpeg")).c_str(), "w");
                for (const auto& d : receiver.Datagrams())
                    if (out) std::fprintf(out, "%lld %zu\n", static_cast<long long>(d.arrival_ns), d.bytes.size());
                if (out) std::fclose(out);
            }
        }
        probe.cpu_per_stream_second = cpu[1] / (double(received[1]) / FPS);
        peer.cpu_per_stream_second = cpu[0] / (double(received[0]) / FPS);
        for (bool is_probe : {true, false}) {
            const std::string fifo = folder + (is_probe ? "/probe.fifo" : "/ffmpeg.fifo");
            if (mkfifo(fifo.c_str(), 0600) != 0 && errno != EEXIST)
                throw std::runtime_error("mkfifo " + fifo + ": " + strerror(errno));
            TsReceiver receiver;
            Child child = is_probe ? Child("netout_probe", ProbeArgs(receiver.Port(), seconds + 2),
                                           {ProbeEnv(fifo)}, log_path)
                                   : Child("ffmpeg", FfmpegArgs(fifo, receiver.Port(), false, seconds),
                                           {}, log_path);
            FifoFeeder feeder(fifo, frames, seconds * FPS, seconds + OVERRUN_SECONDS);
            const std::vector<int64_t>& due = feeder.Join();
            child.Wait(seconds + OVERRUN_SECONDS);
            receiver.Stop();
            feeder_late_ms = std::max(feeder_late_ms, feeder.WorstLateMs());
            feeder_realtime = feeder_realtime && feeder.Realtime();
            if (is_probe)
                ProbeLatencies(receiver.Frames(), due, probe);
            else
                FfmpegLatencies(receiver.Frames(), due, peer);
        }
    }
    if (!feeder_realtime) std::fprintf(stderr, "note: the FIFO feeder could not run SCHED_FIFO\n");
    state.counters["cpu_probe"] = probe.cpu_per_stream_second;
    state.counters["cpu_ffmpeg"] = peer.cpu_per_stream_second;
    state.counters["cpu_ratio"] = probe.cpu_per_stream_second / peer.cpu_per_stream_second;
    state.counters["lat_p50_probe_ms"] = probe.p50_ms;
    state.counters["lat_p99_probe_ms"] = probe.p99_ms;
    state.counters["lat_p50_ffmpeg_ms"] = peer.p50_ms;
    state.counters["lat_p99_ffmpeg_ms"] = peer.p99_ms;
    state.counters["lat_p50_ratio"] = probe.p50_ms / peer.p50_ms;
    state.counters["probe_read_p50_ms"] = probe.read_p50_ms;
    state.counters["feeder_late_max_ms"] = feeder_late_ms;
    state.counters["burst_probe"] = probe.burst;
    state.counters["burst_ffmpeg"] = peer.burst;
}

void BM_NetoutAgainstFfmpeg(benchmark::State& state) {
    // A reader that goes away must not kill the bench through the FIFO.
    std::signal(SIGPIPE, SIG_IGN);
    char folder_template[] = "/tmp/netout-bench-XXXXXX";
    if (mkdtemp(folder_template) == nullptr) {
        state.SkipWithError("cannot make a folder in /tmp");
        return;
    }
    const std::string folder = folder_template;
    try {
        RunAll(state, folder);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "netout_bench: %s (logs kept in %s)\n", failure.what(), folder.c_str());
        state.SkipWithError(failure.what());
        return;
    }
    std::system(("rm -rf '" + folder + "'").c_str());
}

BENCHMARK(BM_NetoutAgainstFfmpeg)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
