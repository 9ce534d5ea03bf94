// How fast overload_monitor turns an edge on its interrupt line into the state
// file, beside a bare client that only polls the emulator's value file and reads
// it (the rig's own floor), and what the daemon costs while nothing happens.
//
// Both paths are timed from the write to sim/N/level until a blocked reader
// wakes with the result: an eventfd from the bare client, an inotify
// IN_CLOSE_WRITE on the state file for the daemon.

#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "daemon_process.h"

using namespace overload_test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int INTERRUPT = 208;
constexpr int BARE_LINE = 209;

struct Percentiles {
    double p50_us = 0;
    double p99_us = 0;
};

Percentiles Summarise(std::vector<double> samples_us) {
    Percentiles result;
    if (samples_us.empty()) return result;
    std::sort(samples_us.begin(), samples_us.end());
    result.p50_us = samples_us[samples_us.size() / 2];
    result.p99_us = samples_us[std::min(samples_us.size() - 1, samples_us.size() * 99 / 100)];
    return result;
}

// Line 209 through raw sysfs calls: poll for POLLPRI, lseek + read, tell the
// benchmark through an eventfd.
class BareClient {
public:
    explicit BareClient(const GpioSimRig& rig) : m_rig(rig) {
        Check(rig.WriteFile("export", std::to_string(BARE_LINE)), "export");
        Check(rig.WriteFile("gpio209/direction", "in"), "direction");
        Check(rig.WriteFile("gpio209/edge", "both"), "edge");
        m_value_fd = open(rig.Path("gpio209/value").c_str(), O_RDONLY | O_CLOEXEC);
        m_event_fd = eventfd(0, EFD_CLOEXEC);
        if (m_value_fd < 0 || m_event_fd < 0) throw std::runtime_error("bare client: cannot open");
        ReadValue();
        m_thread = std::thread([this] { Run(); });
    }
    ~BareClient() {
        m_running = false;
        m_thread.join();
        close(m_value_fd);
        close(m_event_fd);
        m_rig.WriteFile("unexport", std::to_string(BARE_LINE));
    }
    // Blocks until the client has read a level.
    char WaitForRead() {
        uint64_t count = 0;
        if (read(m_event_fd, &count, sizeof count) != sizeof count) return '?';
        return m_last;
    }

private:
    static void Check(int error, const char* what) {
        if (error != 0) throw std::runtime_error(std::string("bare client: ") + what + ": " + strerror(error));
    }
    char ReadValue() {
        char text[8] = {};
        lseek(m_value_fd, 0, SEEK_SET);
        return read(m_value_fd, text, sizeof text) > 0 ? text[0] : '?';
    }
    void Run() {
        pollfd entry{m_value_fd, POLLPRI, 0};
        while (m_running) {
            entry.revents = 0;
            if (poll(&entry, 1, 10) > 0 && (entry.revents & POLLPRI)) {
                m_last = ReadValue();
                const uint64_t one = 1;
                if (write(m_event_fd, &one, sizeof one) != sizeof one) return;
            }
        }
    }

    const GpioSimRig& m_rig;
    int m_value_fd = -1;
    int m_event_fd = -1;
    std::atomic<bool> m_running{true};
    std::atomic<char> m_last{'?'};
    std::thread m_thread;
};

// The daemon in its namespace, with an inotify watch on its state directory.
struct World {
    DataMountPoint data;
    GpioSimRig rig;
    ScratchDir dir;
    std::unique_ptr<Daemon> daemon;
    std::unique_ptr<BareClient> bare;
    int inotify_fd = -1;

    World() {
        WriteText(dir.Path("wake_lock"), "");
        WriteText(dir.Path("wake_unlock"), "");
        daemon = std::make_unique<Daemon>(OVERLOAD_MONITOR_PATH, rig.MountPoint(), dir.Path(), true);
        if (!daemon->WaitReady(rig)) throw std::runtime_error("overload_monitor did not start:\n" + daemon->Log());
        inotify_fd = inotify_init1(IN_CLOEXEC);
        const std::string state_dir = daemon->StatePath().substr(0, daemon->StatePath().rfind('/'));
        if (inotify_fd < 0 || inotify_add_watch(inotify_fd, state_dir.c_str(), IN_CLOSE_WRITE) < 0)
            throw std::runtime_error("inotify on " + state_dir + ": " + strerror(errno));
        bare = std::make_unique<BareClient>(rig);
    }
    ~World() {
        bare.reset();
        if (inotify_fd >= 0) close(inotify_fd);
        daemon.reset();
    }
    // Blocks until the state file is closed after writing and holds the character.
    bool WaitForState(char expected) {
        alignas(inotify_event) char events[4096];
        for (int tries = 0; tries < 1000; ++tries) {
            if (read(inotify_fd, events, sizeof events) <= 0) return false;
            if (daemon->State() == std::string(1, expected)) return true;
        }
        return false;
    }
};

std::unique_ptr<World> g_world;
Percentiles g_bare;
Percentiles g_daemon;
double g_idle_cpu_percent = -1;

void BM_BareClient(benchmark::State& state) {
    std::vector<double> samples;
    int level = 0;
    for (auto _ : state) {
        level ^= 1;
        const auto start = Clock::now();
        g_world->rig.SetLevel(BARE_LINE, level);
        const char seen = g_world->bare->WaitForRead();
        const std::chrono::duration<double> took = Clock::now() - start;
        if (seen != '0' + level) state.SkipWithError("the bare client read the wrong level");
        state.SetIterationTime(took.count());
        samples.push_back(took.count() * 1e6);
    }
    g_bare = Summarise(samples);
    state.counters["p50_us"] = g_bare.p50_us;
    state.counters["p99_us"] = g_bare.p99_us;
}

void BM_DaemonEdgeToStateFile(benchmark::State& state) {
    std::vector<double> samples;
    int level = 0;
    for (auto _ : state) {
        level ^= 1;
        const auto start = Clock::now();
        g_world->rig.SetLevel(INTERRUPT, level);
        if (!g_world->WaitForState(level ? 'r' : 'o')) {
            state.SkipWithError("the state file did not follow the line");
            break;
        }
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        samples.push_back(took.count() * 1e6);
    }
    g_daemon = Summarise(samples);
    state.counters["p50_us"] = g_daemon.p50_us;
    state.counters["p99_us"] = g_daemon.p99_us;
}

// CPU time of all the daemon's threads, from the scheduler's nanosecond counters.
double DaemonCpuSeconds() {
    const std::string task_dir = "/proc/" + std::to_string(g_world->daemon->Pid()) + "/task";
    double total = 0;
    DIR* dir = opendir(task_dir.c_str());
    if (dir == nullptr) return -1;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        total += std::stod("0" + ReadText(task_dir + "/" + entry->d_name + "/schedstat")) / 1e9;
    }
    closedir(dir);
    return total;
}

void BM_DaemonIdleCpu(benchmark::State& state) {
    constexpr double IDLE_SECONDS = 10;
    for (auto _ : state) {
        const double before = DaemonCpuSeconds();
        std::this_thread::sleep_for(std::chrono::duration<double>(IDLE_SECONDS));
        const double after = DaemonCpuSeconds();
        g_idle_cpu_percent = (after - before) / IDLE_SECONDS * 100;
    }
    state.counters["cpu_percent_of_core"] = g_idle_cpu_percent;
}

BENCHMARK(BM_BareClient)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DaemonEdgeToStateFile)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DaemonIdleCpu)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    try {
        g_world = std::make_unique<World>();
    } catch (const std::exception& failure) {
        fprintf(stderr, "overload_bench: cannot set up the rig: %s\n", failure.what());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    g_world.reset();
    benchmark::Shutdown();

    printf("\nedge -> result    p50 us    p99 us\n");
    printf("bare client     %8.1f  %8.1f\n", g_bare.p50_us, g_bare.p99_us);
    printf("overload daemon %8.1f  %8.1f\n", g_daemon.p50_us, g_daemon.p99_us);
    if (g_bare.p50_us > 0 && g_bare.p99_us > 0)
        printf("daemon / bare   %8.2fx %8.2fx   (goal: at most 1.5x)\n", g_daemon.p50_us / g_bare.p50_us,
               g_daemon.p99_us / g_bare.p99_us);
    if (g_idle_cpu_percent >= 0)
        printf("daemon idle CPU %.3f%% of one core over 10 s   (goal: under 0.5%%)\n", g_idle_cpu_percent);
    return 0;
}
