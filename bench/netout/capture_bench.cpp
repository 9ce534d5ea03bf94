// netout_probe from the HDMI input against the same program from its test
// pattern, at the same stream (320x240 at 30 fps, 500 kbit/s: what the
// emulated encoder keeps up with), each to a loopback receiver on the same
// machine. Meant for the booted appliance, where /dev/v4l/by-name/vivid-000-vid-cap is vivid's HDMI
// input (1280x720p60, converted and scaled by the probe):
//
//   scripts/appliance-vm build/armhf/bin/netout_capture_bench
//
// HDMI run, from the probe's log:
//   lat_p50_ms, lat_p99_ms  capture to network: from the driver's time stamp
//             of the frame's buffer (CLOCK_MONOTONIC) to the return of the
//             sendmsg that carried the frame's last TS packet; the sender's
//             own figure over the run's frames (its last 4096), the first ones
//             included. vivid stamps a frame 0.9 of its 60 Hz period after it
//             starts drawing it and hands it out at once, so the figure is up
//             to 15 ms short of what a real receiver's would be.
//   lat_p50_periods, lat_p99_periods  the same in frame periods (1/30 s)
//   captured, dropped, repeated  the capture source's counts: frames taken
//             from the driver, dropped to keep 30 fps, and frame slots filled
//             with the last picture again. A repeat keeps its original
//             frame's time stamp, so each is in the figures a period or more late.
//   lat_p50_pattern_ms, lat_p99_pattern_ms  the test pattern's, for scale:
//             from drawing the picture to the same sendmsg
// Both runs:
//   cpu_*     the probe's CPU seconds (user + system, /proc/PID/stat) per
//             second of stream: from the receiver's first datagram to the end
//             of the probe's loop ("Done encoding."), over the first
//             datagram's arrival to the last's. Start-up (loading the codec
//             libraries over the shared folder, seconds in the guest) and exit
//             are left out: they are no cost of the stream.
//   guest_cpu_*  the whole machine's busy CPU seconds (its time less its
//             idle time, /proc/uptime) over the same time, per second of
//             stream: vivid draws its frames in a kernel thread, which no
//             process's own time holds. At most the guest's 2 cores.
//   driver_cpu_hdmi  vivid's own threads' CPU seconds per second of the run
//             (sampled every 0.2 s: they end with the stream)
//
// NETOUT_CAPTURE_BENCH_SECONDS sets each run's length (6);
// NETOUT_CAPTURE_BENCH_SIZE the stream's size (320x240);
// NETOUT_CAPTURE_BENCH_PROBE_OPTIONS adds settings for both runs
// (LUMASET_OPTIONS, e.g. "netout0.paced=0"); NETOUT_CAPTURE_BENCH_LOGS=<folder>
// keeps the probe's logs there (the guest's /tmp goes with it), with each
// run's arrivals (kernel stamp in ns and size, a datagram a line) in
// hdmi.arrivals and pattern.arrivals. In the appliance they go in the
// command's text, as only LUMASET_* variables pass in:
//   scripts/appliance-vm 'NETOUT_CAPTURE_BENCH_LOGS=. build/armhf/bin/netout_capture_bench'
// LUMASET_LOG_LEVEL=debug does pass in: a line per frame with its latency.
// A run that fails is an error naming the reason, with the probe's log, and
// the program's exit status is 1.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "failing_main.h"
#include "probe_log.h"
#include "proc_cpu.h"
#include "ts_receiver.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr const char* DEVICE = "/dev/v4l/by-name/vivid-000-vid-cap";
constexpr int FPS = 30;
constexpr int BIT_RATE = 500000;
constexpr int DEFAULT_SECONDS = 6;
// Starting the probe in the emulated guest takes seconds, many more while the host is busy.
constexpr int OVERRUN_SECONDS = 120;
constexpr int LOG_TAIL_LINES = 40;
constexpr int POLL_MICROSECONDS = 5000;
// vivid's kernel threads: "vivid-000-vid-cap" draws the frames.
constexpr const char* DRIVER_THREADS = "vivid-";
constexpr auto DRIVER_SAMPLE_PERIOD = std::chrono::milliseconds(200);
// What the probe prints when its loop has ended.
constexpr const char* LOOP_END = "Done encoding.";

struct Settings {
    int seconds = DEFAULT_SECONDS;
    int width = 320;
    int height = 240;
    std::string extra_options;
    std::string log_folder;
};

Settings ReadSettings() {
    Settings settings;
    if (const char* text = std::getenv("NETOUT_CAPTURE_BENCH_SECONDS"))
        settings.seconds = std::atoi(text) > 1 ? std::atoi(text) : DEFAULT_SECONDS;
    if (const char* text = std::getenv("NETOUT_CAPTURE_BENCH_SIZE")) {
        if (std::sscanf(text, "%dx%d", &settings.width, &settings.height) != 2 || settings.width < 2 ||
            settings.height < 2 || settings.width % 2 || settings.height % 2)
            throw std::runtime_error(std::string("NETOUT_CAPTURE_BENCH_SIZE=") + text +
                                     ": not an even WIDTHxHEIGHT");
    }
    if (const char* text = std::getenv("NETOUT_CAPTURE_BENCH_PROBE_OPTIONS")) settings.extra_options = text;
    if (const char* text = std::getenv("NETOUT_CAPTURE_BENCH_LOGS")) settings.log_folder = text;
    return settings;
}

struct Run {
    double cpu_seconds = 0;     // the probe's, from the first datagram to the end of its loop
    double busy_seconds = 0;    // the machine's, over the same time
    double driver_share = 0;    // vivid's threads' CPU seconds per second while streaming
    double stream_seconds = 0;  // first to last arrival at the receiver
    std::string log;
};

void WriteArrivals(const std::vector<TsReceiver::Datagram>& datagrams, const std::string& path) {
    std::ofstream out(path);
    for (const auto& d : datagrams) out << d.arrival_ns << ' ' << d.bytes.size() << '\n';
}

Run RunProbe(const Settings& settings, bool hdmi, const std::string& folder) {
    const std::string name = hdmi ? "hdmi" : "pattern";
    const std::string log_path = folder + "/" + name + ".log";
    unlink(log_path.c_str());  // a kept folder's log of an earlier run
    TsReceiver receiver;
    std::string options = "LUMASET_OPTIONS=enc0.width=" + std::to_string(settings.width) +
                          " enc0.height=" + std::to_string(settings.height) + " enc0.fps=" +
                          std::to_string(FPS) + " enc0.bitrate=" + std::to_string(BIT_RATE);
    if (hdmi) options += std::string(" enc0.input=") + DEVICE;
    if (!settings.extra_options.empty()) options += " " + settings.extra_options;
    Run run;
    try {
        Child probe("netout_probe",
                    {NETOUT_PROBE_PATH, "-s", std::to_string(settings.seconds), "-i", "127.0.0.1", "-p",
                     std::to_string(receiver.Port()), "-m", "1316"},
                    {options}, log_path);
        // The stream's CPU: from its first datagram to the end of the probe's loop, leaving out
        // start-up (loading the codec libraries over the shared folder) and exit.
        const auto limit = SteadyClock::now() + std::chrono::seconds(settings.seconds + OVERRUN_SECONDS);
        const auto wait_until = [&](const std::function<bool()>& done) {
            while (!done() && !probe.HasEnded() && SteadyClock::now() < limit) usleep(POLL_MICROSECONDS);
        };
        wait_until([&] { return receiver.Received() > 0; });
        const double busy_first = MachineBusySeconds();
        const double probe_first = ProcessCpuSeconds(probe.Pid());
        // vivid's threads end with the stream, at the loop's end: sampled as the run goes.
        const auto driver_first_at = SteadyClock::now();
        const double driver_first = NamedCpuSeconds(DRIVER_THREADS);
        auto driver_last_at = driver_first_at;
        double driver_last = driver_first;
        bool driver_ended = false;
        LogWatch loop_end(log_path, LOOP_END);
        wait_until([&] {
            const auto now = SteadyClock::now();
            if (!driver_ended && now - driver_last_at >= DRIVER_SAMPLE_PERIOD) {
                const double seconds = NamedCpuSeconds(DRIVER_THREADS);
                driver_ended = seconds < driver_last;
                if (!driver_ended) {
                    driver_last = seconds;
                    driver_last_at = now;
                }
            }
            return loop_end.Seen();
        });
        run.busy_seconds = MachineBusySeconds() - busy_first;
        if (driver_last_at > driver_first_at)
            run.driver_share = (driver_last - driver_first) /
                               std::chrono::duration<double>(driver_last_at - driver_first_at).count();
        run.cpu_seconds = ProcessCpuSeconds(probe.Pid()) - probe_first;
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(limit - SteadyClock::now());
        probe.Wait(std::max<int>(1, int(left.count())));
        receiver.Stop();
        const auto& datagrams = receiver.Datagrams();
        if (datagrams.size() < 2)
            throw std::runtime_error("the receiver got " + std::to_string(datagrams.size()) + " datagrams");
        run.stream_seconds = double(datagrams.back().arrival_ns - datagrams.front().arrival_ns) / 1e9;
        if (run.stream_seconds <= 0) throw std::runtime_error("the receiver's datagrams span no time");
        run.log = ReadText(log_path);
        if (!settings.log_folder.empty()) WriteArrivals(datagrams, folder + "/" + name + ".arrivals");
    } catch (const std::exception& failure) {
        const std::string log = ReadText(log_path);
        const char* title = hdmi ? "HDMI" : "pattern";
        std::fprintf(stderr, "netout_capture_bench: %s run: %s\n--- %s ---\n%s--- end of %s ---\n", title,
                     failure.what(), log_path.c_str(), log.c_str(), log_path.c_str());
        throw std::runtime_error(std::string(title) + " run: " + failure.what() +
                                 "; the probe's log ends:\n" + Tail(log, LOG_TAIL_LINES));
    }
    return run;
}

void RequireDevice() {
    struct stat device {};
    if (stat(DEVICE, &device) != 0 || !S_ISCHR(device.st_mode))
        throw std::runtime_error(std::string(DEVICE) +
                                 " is missing: this runs in the booted appliance, whose HDMI input it is: "
                                 "scripts/appliance-vm build/armhf/bin/netout_capture_bench");
}

void RunAll(benchmark::State& state, const Settings& settings, const std::string& folder) {
    const double period_ms = 1000.0 / FPS;
    for (auto _ : state) {
        const Run hdmi = RunProbe(settings, true, folder);
        const Run pattern = RunProbe(settings, false, folder);
        SenderLatency latency;
        SenderLatency pattern_latency;
        CaptureCounts counts;
        if (!FindSenderLatency(hdmi.log, latency) || latency.frames == 0)
            throw std::runtime_error("HDMI run: the sender logged no frame latency:\n" +
                                     Tail(hdmi.log, LOG_TAIL_LINES));
        if (!FindCaptureCounts(hdmi.log, counts) || counts.captured == 0)
            throw std::runtime_error("HDMI run: no frames captured from " + std::string(DEVICE) + ":\n" +
                                     Tail(hdmi.log, LOG_TAIL_LINES));
        // Pictures that say "NO SIGNAL" are no captured frames: the figures would not be the input's.
        if (counts.no_signal > 0 || counts.losses > 0) {
            const size_t at = hdmi.log.find("no picture: ");
            const std::string why =
                at == std::string::npos ? "" : hdmi.log.substr(at, hdmi.log.find('\n', at) - at);
            throw std::runtime_error("HDMI run: the input lost its picture " + std::to_string(counts.losses) +
                                     " times (" + why + "); the log ends:\n" +
                                     Tail(hdmi.log, LOG_TAIL_LINES));
        }
        if (!FindSenderLatency(pattern.log, pattern_latency) || pattern_latency.frames == 0)
            throw std::runtime_error("pattern run: the sender logged no frame latency:\n" +
                                     Tail(pattern.log, LOG_TAIL_LINES));

        const double cpu_hdmi = hdmi.cpu_seconds / hdmi.stream_seconds;
        const double cpu_pattern = pattern.cpu_seconds / pattern.stream_seconds;
        const double guest_hdmi = hdmi.busy_seconds / hdmi.stream_seconds;
        const double guest_pattern = pattern.busy_seconds / pattern.stream_seconds;
        state.counters["lat_p50_ms"] = latency.p50_ms;
        state.counters["lat_p99_ms"] = latency.p99_ms;
        state.counters["lat_p50_periods"] = latency.p50_ms / period_ms;
        state.counters["lat_p99_periods"] = latency.p99_ms / period_ms;
        state.counters["captured"] = double(counts.captured);
        state.counters["dropped"] = double(counts.dropped);
        state.counters["repeated"] = double(counts.repeated);
        state.counters["lat_p50_pattern_ms"] = pattern_latency.p50_ms;
        state.counters["lat_p99_pattern_ms"] = pattern_latency.p99_ms;
        state.counters["cpu_hdmi"] = cpu_hdmi;
        state.counters["cpu_pattern"] = cpu_pattern;
        state.counters["cpu_ratio"] = cpu_hdmi / cpu_pattern;
        state.counters["guest_cpu_hdmi"] = guest_hdmi;
        state.counters["guest_cpu_pattern"] = guest_pattern;
        state.counters["guest_cpu_ratio"] = guest_hdmi / guest_pattern;
        state.counters["driver_cpu_hdmi"] = hdmi.driver_share;
    }
}

void BM_CaptureAgainstPattern(benchmark::State& state) {
    std::string folder;
    bool keep = false;
    try {
        RequireDevice();
        const Settings settings = ReadSettings();
        keep = !settings.log_folder.empty();
        if (keep) {
            folder = settings.log_folder;
        } else {
            char folder_template[] = "/tmp/netout-capture-bench-XXXXXX";
            if (mkdtemp(folder_template) == nullptr) throw std::runtime_error("cannot make a folder in /tmp");
            folder = folder_template;
        }
        RunAll(state, settings, folder);
    } catch (const std::exception& failure) {
        keep = !folder.empty();
        Failed() = true;
        state.SkipWithError(failure.what());
    }
    if (keep)
        std::fprintf(stderr, "netout_capture_bench: the probe's logs are in %s\n", folder.c_str());
    else if (!folder.empty())
        std::system(("rm -rf '" + folder + "'").c_str());
}

BENCHMARK(BM_CaptureAgainstPattern)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

LUMASET_FAILING_BENCHMARK_MAIN()
