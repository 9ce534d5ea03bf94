// Soak: overload_monitor through a long run of level changes under the GPIO
// emulator. Reports its memory, descriptors and threads at the start and the
// end, the log it wrote, and whether the last state is the last level.
//
//   overload_soak [CHANGES]     (default 1000000; needs root and /dev/fuse)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "daemon_process.h"

using namespace overload_test;

namespace {

constexpr int INTERRUPT = 208;

struct Sample {
    long rss_kb = -1;
    long peak_kb = -1;
    int descriptors = -1;
    int threads = -1;
};

Sample Take(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    return {StatusField(proc, "VmRSS:"), StatusField(proc, "VmHWM:"), CountEntries(proc + "/fd"),
            CountEntries(proc + "/task")};
}

void Print(const char* when, const Sample& s) {
    std::printf("%-6s rss %6ld kB  peak %6ld kB  descriptors %3d  threads %d\n", when, s.rss_kb,
                s.peak_kb, s.descriptors, s.threads);
}

}  // namespace

int main(int argc, char** argv) {
    const long changes = argc > 1 ? std::atol(argv[1]) : 1000000;
    if (changes < 2) {
        std::fprintf(stderr, "usage: %s [CHANGES >= 2]\n", argv[0]);
        return 2;
    }
    DataMountPoint data;
    GpioSimRig rig;
    ScratchDir dir;
    Daemon daemon(OVERLOAD_MONITOR_PATH, rig.MountPoint(), rig.PowerRoot(), dir.Path());
    if (!daemon.WaitReady(rig)) {
        std::fprintf(stderr, "overload_monitor did not start:\n%s", daemon.Log().c_str());
        return 1;
    }
    // The first edge makes the state file; measure from there.
    rig.SetLevel(INTERRUPT, 1);
    rig.WaitFor([&] { return daemon.State() == "r"; });
    const Sample start = Take(daemon.Pid());
    Print("start", start);

    const auto began = std::chrono::steady_clock::now();
    for (long change = 1; change <= changes; ++change) {
        rig.SetLevel(INTERRUPT, (change + 1) % 2);
        if (change % 200000 == 0) std::printf("  %ld changes\n", change), std::fflush(stdout);
    }
    const std::string last = (changes + 1) % 2 ? "r" : "o";
    const bool settled = rig.WaitFor([&] { return daemon.State() == last; }, 10000);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const Sample end = Take(daemon.Pid());
    Print("end", end);

    const std::string log = daemon.Log();
    std::printf("%ld level changes in %.1f s (%.0f per second); last state %s (line %s); "
                "%zu bytes of log; LED writes red %d blue %d\n",
                changes, seconds, changes / seconds, daemon.State().c_str(), last.c_str(),
                log.size(), rig.Writes(234), rig.Writes(235));
    if (!log.empty()) std::printf("log:\n%s", log.c_str());
    const bool flat = end.descriptors == start.descriptors && end.threads == start.threads &&
                      end.rss_kb - start.rss_kb < 1024;
    std::printf("%s\n", settled && flat ? "steady" : "NOT STEADY");
    return settled && flat ? 0 : 1;
}
