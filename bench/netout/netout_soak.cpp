// netout_probe left running for a long time on its defaults (1280x720 at 30 fps,
// 4 Mbit/s, 3948-byte datagrams) to a loopback receiver that counts what
// arrives. It answers two questions of a long run:
//   does the process grow?  its memory (VmRSS, VmHWM from /proc/PID/status),
//       open descriptors (/proc/PID/fd) and threads (/proc/PID/task), sampled
//       two seconds into the run, every ten seconds after, and three seconds
//       before its time is up;
//   does anything go missing?  the datagrams the sender counted (its "at
//       shutdown" line) against those the receiver got.
//
//   netout_soak [seconds]     (default 600)
//
// NETOUT_SOAK_PROBE_OPTIONS adds settings for netout_probe (LUMASET_OPTIONS).
// The probe's log is kept in the folder named at the end when the run failed.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ts_receiver.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int DEFAULT_SECONDS = 600;
constexpr auto SETTLE = 2s;           // after the loop starts, before the first sample
constexpr auto SAMPLE_PERIOD = 10s;
constexpr auto OVERRUN = 30s;         // how long the probe may outlive its time

// Counts datagrams on a loopback port until stopped.
class CountingReceiver {
public:
    CountingReceiver() : m_fd(OpenLoopbackReceiver(m_port)) {
        m_thread = std::thread([this] { Receive(); });
    }
    ~CountingReceiver() {
        Stop();
        close(m_fd);
    }
    CountingReceiver(const CountingReceiver&) = delete;
    CountingReceiver& operator=(const CountingReceiver&) = delete;

    int Port() const { return m_port; }
    // Takes what is still in flight, then stops.
    void Stop() {
        if (!m_thread.joinable()) return;
        std::this_thread::sleep_for(200ms);
        m_stop = true;
        m_thread.join();
    }
    uint64_t Datagrams() const { return m_datagrams; }
    uint64_t Bytes() const { return m_bytes; }
    // Datagrams that are not whole TS packets.
    uint64_t Malformed() const { return m_malformed; }

private:
    void Receive() {
        std::vector<uint8_t> buffer(65536);
        while (!m_stop) {
            pollfd entry{m_fd, POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0) continue;
            const ssize_t got = recv(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got <= 0) continue;
            ++m_datagrams;
            m_bytes += static_cast<uint64_t>(got);
            if (got % 188 != 0 || buffer[0] != 0x47) ++m_malformed;
        }
    }

    int m_port = 0;
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_datagrams{0};
    std::atomic<uint64_t> m_bytes{0};
    std::atomic<uint64_t> m_malformed{0};
    std::thread m_thread;
};

// What /proc tells of a process at one moment.
struct Sample {
    long rss_kb = -1;
    long hwm_kb = -1;
    long descriptors = -1;
    long threads = -1;
};

long Entries(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return -1;
    long count = 0;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

Sample Larger(const Sample& a, const Sample& b) {
    return {std::max(a.rss_kb, b.rss_kb), std::max(a.hwm_kb, b.hwm_kb),
            std::max(a.descriptors, b.descriptors), std::max(a.threads, b.threads)};
}

Sample Take(pid_t pid) {
    Sample sample;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) sample.rss_kb = std::atol(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0) sample.hwm_kb = std::atol(line.c_str() + 6);
    }
    sample.descriptors = Entries(proc + "/fd");
    sample.threads = Entries(proc + "/task");
    return sample;
}

// netout_probe with its standard output on a pipe and its log in a file.
class Probe {
public:
    Probe(int seconds, int port, const std::string& log_path) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + strerror(errno));
        m_out = out[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> args = {NETOUT_PROBE_PATH, "-s", std::to_string(seconds), "-p",
                                         std::to_string(port)};
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
        if (const char* extra = std::getenv("NETOUT_SOAK_PROBE_OPTIONS"))
            env.push_back(std::string("LUMASET_OPTIONS=") + extra);
        std::vector<char*> envp;
        for (auto& entry : env) envp.push_back(entry.data());
        envp.push_back(nullptr);
        const int failure = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (failure != 0) throw std::runtime_error(std::string("cannot run netout_probe: ") + strerror(failure));
    }
    ~Probe() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_out);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    pid_t Pid() const { return m_pid; }
    const std::string& Out() const { return m_text; }

    // Reads standard output until `text` shows or the time is up.
    bool WaitForLine(const std::string& text, Clock::time_point until) {
        while (m_text.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            pollfd entry{m_out, POLLIN, 0};
            if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[4096];
            const ssize_t got = read(m_out, buffer, sizeof(buffer));
            if (got <= 0) return false;
            m_text.append(buffer, static_cast<size_t>(got));
        }
        return true;
    }

    // The exit status, or throws when the probe has to be killed.
    int Wait(Clock::time_point until) {
        WaitForLine("Success\n", until);
        int status = 0;
        for (;;) {
            const pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) break;
            if (Clock::now() > until) throw std::runtime_error("netout_probe outlived its time and was killed");
            std::this_thread::sleep_for(20ms);
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_text;
};

// The sender's counters line at shutdown: datagrams, bytes, frames, refused, failed, dropped.
std::vector<unsigned long long> ShutdownCounters(const std::string& log_path) {
    std::ifstream log(log_path);
    std::vector<unsigned long long> counters(6, 0);
    for (std::string line; std::getline(log, line);) {
        const size_t at = line.find("netout0: at shutdown: ");
        if (at == std::string::npos) continue;
        if (std::sscanf(line.c_str() + at, "netout0: at shutdown: %llu datagrams, %llu bytes, %llu frames, "
                                           "%llu refused, %llu failed, %llu packets dropped",
                        &counters[0], &counters[1], &counters[2], &counters[3], &counters[4],
                        &counters[5]) == 6)
            return counters;
    }
    throw std::runtime_error("no counters line at shutdown in " + log_path);
}

void PrintRow(const char* name, long start, long end, long most) {
    std::printf("%-14s %10ld %10ld %10ld %+10ld\n", name, start, end, most, end - start);
}

void Soak(int seconds, const std::string& folder) {
    const std::string log_path = folder + "/probe.log";
    CountingReceiver receiver;
    Probe probe(seconds, receiver.Port(), log_path);
    const auto launched = Clock::now();
    if (!probe.WaitForLine("Encode is started", launched + 30s))
        throw std::runtime_error("netout_probe did not start its loop within 30 s");
    const auto loop_start = Clock::now();
    std::this_thread::sleep_until(loop_start + SETTLE);
    const Sample start = Take(probe.Pid());
    Sample most = start;
    Sample end = start;
    // The loop runs at least seconds - 1 s: the last sample comes before its stop.
    const auto last = loop_start + std::chrono::seconds(seconds) - 1s - SETTLE;
    for (auto next = loop_start + SETTLE + SAMPLE_PERIOD; next < last; next += SAMPLE_PERIOD) {
        std::this_thread::sleep_until(next);
        most = Larger(most, Take(probe.Pid()));
    }
    if (last > loop_start + SETTLE) {
        std::this_thread::sleep_until(last);
        end = Take(probe.Pid());
        most = Larger(most, end);
    }
    const int status = probe.Wait(loop_start + std::chrono::seconds(seconds) + OVERRUN);
    receiver.Stop();
    if (status != 0 || probe.Out().find("Success\n") == std::string::npos)
        throw std::runtime_error("netout_probe ended with status " + std::to_string(status));
    const auto counters = ShutdownCounters(log_path);
    const double between = std::chrono::duration<double>(last - loop_start - SETTLE).count();

    std::printf("netout_soak: netout_probe -s %d to 127.0.0.1:%d, samples %.0f s apart\n", seconds,
                receiver.Port(), between > 0 ? between : 0.0);
    std::printf("%-14s %10s %10s %10s %10s\n", "", "start", "end", "most", "growth");
    PrintRow("VmRSS kB", start.rss_kb, end.rss_kb, most.rss_kb);
    PrintRow("VmHWM kB", start.hwm_kb, end.hwm_kb, most.hwm_kb);
    PrintRow("descriptors", start.descriptors, end.descriptors, most.descriptors);
    PrintRow("threads", start.threads, end.threads, most.threads);
    const long long lost = static_cast<long long>(counters[0]) - static_cast<long long>(receiver.Datagrams());
    std::printf("datagrams      %llu sent (%llu bytes, %llu frames), %llu received (%llu bytes), %lld lost "
                "(%.4f%%)\n",
                counters[0], counters[1], counters[2], static_cast<unsigned long long>(receiver.Datagrams()),
                static_cast<unsigned long long>(receiver.Bytes()), lost,
                counters[0] ? 100.0 * static_cast<double>(lost) / static_cast<double>(counters[0]) : 0.0);
    std::printf("sender         %llu refused, %llu failed, %llu packets dropped; %llu datagrams not whole "
                "TS packets\n",
                counters[3], counters[4], counters[5], static_cast<unsigned long long>(receiver.Malformed()));
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : DEFAULT_SECONDS;
    if (argc > 2 || seconds < 6) {
        std::fprintf(stderr, "usage: netout_soak [seconds, at least 6; default %d]\n", DEFAULT_SECONDS);
        return 2;
    }
    char folder_template[] = "/tmp/netout-soak-XXXXXX";
    if (mkdtemp(folder_template) == nullptr) {
        std::fprintf(stderr, "netout_soak: cannot make a folder in /tmp: %s\n", strerror(errno));
        return 1;
    }
    const std::string folder = folder_template;
    try {
        Soak(seconds, folder);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "netout_soak: %s (log kept in %s)\n", failure.what(), folder.c_str());
        return 1;
    }
    std::system(("rm -rf '" + folder + "'").c_str());
    return 0;
}
