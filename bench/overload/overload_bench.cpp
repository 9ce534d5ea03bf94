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
#include <sys/prctl.h>

#include <algorithm>
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
constexpr int SPARE_LED = 236;

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

// Line 209 through raw sysfs calls, in a process of its own like the daemon:
// poll for POLLPRI, lseek + read, hand the level's character to the benchmark
// through a pipe.
class BareClient {
public:
    explicit BareClient(const GpioSimRig& rig) : m_rig(rig) {
        Check(rig.WriteFile("export", std::to_string(BARE_LINE)), "export");
        Check(rig.WriteFile("gpio209/direction", "in"), "direction");
        Check(rig.WriteFile("gpio209/edge", "both"), "edge");
        const int value_fd = open(rig.Path("gpio209/value").c_str(), O_RDONLY | O_CLOEXEC);
        int pipe_fds[2];
        if (value_fd < 0 || pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("bare client: cannot open");
        ReadValue(value_fd);
        m_pid = fork();
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close(pipe_fds[0]);
            Run(value_fd, pipe_fds[1]);
        }
        close(value_fd);
        close(pipe_fds[1]);
        m_result_fd = pipe_fds[0];
        if (m_pid < 0) throw std::runtime_error("bare client: fork failed");
    }
    ~BareClient() {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        close(m_result_fd);
        m_rig.WriteFile("unexport", std::to_string(BARE_LINE));
    }
    pid_t Pid() const { return m_pid; }
    // Blocks until the client has read a level; gives its character.
    char WaitForRead() const {
        char level = '?';
        return read(m_result_fd, &level, 1) == 1 ? level : '?';
    }

private:
    static void Check(int error, const char* what) {
        if (error != 0) throw std::runtime_error(std::string("bare client: ") + what + ": " + strerror(error));
    }
    static char ReadValue(int fd) {
        char text[8] = {};
        lseek(fd, 0, SEEK_SET);
        return read(fd, text, sizeof text) > 0 ? text[0] : '?';
    }
    [[noreturn]] static void Run(int value_fd, int result_fd) {
        pollfd entry{value_fd, POLLPRI, 0};
        for (;;) {
            entry.revents = 0;
            if (poll(&entry, 1, 10) > 0 && (entry.revents & POLLPRI)) {
                const char level = ReadValue(value_fd);
                if (write(result_fd, &level, 1) != 1) _exit(1);
            }
        }
    }

    const GpioSimRig& m_rig;
    pid_t m_pid = -1;
    int m_result_fd = -1;
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
        daemon = std::make_unique<Daemon>(OVERLOAD_MONITOR_PATH, rig.MountPoint(), rig.PowerRoot(), dir.Path());
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
    // Blocks until the state file is closed after writing and holds the character;
    // gives the moment of that wake-up (the check itself is not timed).
    bool WaitForState(char expected, Clock::time_point* woke) {
        alignas(inotify_event) char events[4096];
        for (int tries = 0; tries < 1000; ++tries) {
            if (read(inotify_fd, events, sizeof events) <= 0) return false;
            *woke = Clock::now();
            if (daemon->State() == std::string(1, expected)) return true;
        }
        return false;
    }
};

std::unique_ptr<World> g_world;
Percentiles g_bare;
Percentiles g_daemon;
Percentiles g_led_write;
double g_daemon_idle_percent = -1;
double g_bare_idle_percent = -1;

// One timed edge: from the level write until the moment wait_for_result(&woke)
// saw the result; -1 when it did not.
template <typename WaitFn>
double TimeEdge(int line, int level, WaitFn wait_for_result) {
    const auto start = Clock::now();
    g_world->rig.SetLevel(line, level);
    Clock::time_point woke;
    if (!wait_for_result(&woke)) return -1;
    const std::chrono::duration<double> took = woke - start;
    return took.count();
}

// Each iteration times one edge of the bare client, then one of the daemon, so
// that the machine's load falls on both alike. The manual time is the daemon's.
void BM_EdgeLatency(benchmark::State& state) {
    std::vector<double> bare_us;
    std::vector<double> daemon_us;
    int level = 0;
    for (auto _ : state) {
        level ^= 1;
        const double bare = TimeEdge(BARE_LINE, level, [&](Clock::time_point* woke) {
            const char seen = g_world->bare->WaitForRead();
            *woke = Clock::now();
            return seen == '0' + level;
        });
        const double daemon = TimeEdge(INTERRUPT, level, [&](Clock::time_point* woke) {
            return g_world->WaitForState(level ? 'r' : 'o', woke);
        });
        if (bare < 0 || daemon < 0) {
            state.SkipWithError(bare < 0 ? "the bare client read the wrong level"
                                         : "the state file did not follow the line");
            break;
        }
        state.SetIterationTime(daemon);
        bare_us.push_back(bare * 1e6);
        daemon_us.push_back(daemon * 1e6);
    }
    g_bare = Summarise(bare_us);
    g_daemon = Summarise(daemon_us);
    state.counters["bare_p50_us"] = g_bare.p50_us;
    state.counters["bare_p99_us"] = g_bare.p99_us;
    state.counters["daemon_p50_us"] = g_daemon.p50_us;
    state.counters["daemon_p99_us"] = g_daemon.p99_us;
}

// One LED value write through the emulator, as the daemon does twice per edge
// before it writes the state file: what separates it from the bare client.
void BM_LedValueWrite(benchmark::State& state) {
    const GpioSimRig& rig = g_world->rig;
    if (rig.WriteFile("export", std::to_string(SPARE_LED)) != 0 || rig.WriteFile("gpio236/direction", "out") != 0) {
        state.SkipWithError("cannot set up the spare output line");
        return;
    }
    const int fd = open(rig.Path("gpio236/value").c_str(), O_RDWR | O_CLOEXEC);
    std::vector<double> samples;
    int level = 0;
    for (auto _ : state) {
        level ^= 1;
        const char text = static_cast<char>('0' + level);
        const auto start = Clock::now();
        if (pwrite(fd, &text, 1, 0) != 1) {
            state.SkipWithError("value write failed");
            break;
        }
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        samples.push_back(took.count() * 1e6);
    }
    close(fd);
    rig.WriteFile("unexport", std::to_string(SPARE_LED));
    g_led_write = Summarise(samples);
    state.counters["p50_us"] = g_led_write.p50_us;
    state.counters["p99_us"] = g_led_write.p99_us;
}

// CPU seconds of a process's threads, from the scheduler's nanosecond counters.
double CpuSeconds(const std::string& task_dir) {
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

// Ten quiet seconds: the daemon beside the bare client's own 10 ms poll loop.
void BM_IdleCpu(benchmark::State& state) {
    constexpr double IDLE_SECONDS = 10;
    const std::string daemon_tasks = "/proc/" + std::to_string(g_world->daemon->Pid()) + "/task";
    const std::string bare_tasks = "/proc/" + std::to_string(g_world->bare->Pid()) + "/task";
    for (auto _ : state) {
        const double daemon_before = CpuSeconds(daemon_tasks);
        const double bare_before = CpuSeconds(bare_tasks);
        std::this_thread::sleep_for(std::chrono::duration<double>(IDLE_SECONDS));
        g_daemon_idle_percent = (CpuSeconds(daemon_tasks) - daemon_before) / IDLE_SECONDS * 100;
        g_bare_idle_percent = (CpuSeconds(bare_tasks) - bare_before) / IDLE_SECONDS * 100;
    }
    state.counters["daemon_cpu_percent"] = g_daemon_idle_percent;
    state.counters["bare_cpu_percent"] = g_bare_idle_percent;
}

BENCHMARK(BM_EdgeLatency)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LedValueWrite)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IdleCpu)->Iterations(1)->Unit(benchmark::kSecond);

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
    printf("(one LED value write %8.1f  %8.1f; the daemon makes two per edge)\n", g_led_write.p50_us,
           g_led_write.p99_us);
    if (g_bare.p50_us > 0 && g_bare.p99_us > 0)
        printf("daemon / bare   %8.2fx %8.2fx   (goal: at most 1.5x)\n", g_daemon.p50_us / g_bare.p50_us,
               g_daemon.p99_us / g_bare.p99_us);
    if (g_daemon_idle_percent >= 0)
        printf("idle CPU over 10 s: daemon %.3f%% of one core (goal: under 0.5%%), "
               "bare 10 ms poll loop %.3f%%\n",
               g_daemon_idle_percent, g_bare_idle_percent);
    return 0;
}
