#pragma once

// CPU time from /proc, in seconds: of one process (all its threads), and of
// the whole machine, which also holds kernel threads no process's rusage has.

#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/sysinfo.h>
#include <sys/types.h>
#include <unistd.h>

// User + system time and name of a process from its /proc/PID/stat line.
inline double CpuSecondsOfStat(const std::string& text, std::string* name = nullptr) {
    // The name may hold blanks and parentheses: the fields start after its last ')'.
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        throw std::runtime_error("unexpected /proc/PID/stat: " + text);
    if (name) *name = text.substr(open + 1, close - open - 1);
    std::istringstream fields(text.substr(close + 1));
    std::string skip;
    for (int field = 3; field < 14; ++field) fields >> skip;
    unsigned long long user = 0;
    unsigned long long system = 0;
    if (!(fields >> user >> system)) throw std::runtime_error("unexpected /proc/PID/stat: " + text);
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

// User + system time of a process, also of one that has ended but is not yet reaped.
inline double ProcessCpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(file, text))
        throw std::runtime_error("cannot read /proc/" + std::to_string(pid) + "/stat");
    return CpuSecondsOfStat(text);
}

// User + system time of the processes, kernel threads among them, whose name
// starts with `prefix`; those that end in between are not counted.
inline double NamedCpuSeconds(const std::string& prefix) {
    double total = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) throw std::runtime_error("cannot read /proc");
    while (const dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        std::ifstream file(std::string("/proc/") + entry->d_name + "/stat");
        std::string text;
        std::string name;
        if (!std::getline(file, text)) continue;
        const double seconds = CpuSecondsOfStat(text, &name);
        if (name.rfind(prefix, 0) == 0) total += seconds;
    }
    closedir(proc);
    return total;
}

// Time all CPUs have spent on anything but idling since boot: their time
// since boot less their idle time, from /proc/uptime. /proc/stat's user and
// system ticks are sampled, and in the emulated guest came to about 60% of
// what the tasks' own times added up to; idle time is measured.
inline double MachineBusySeconds() {
    std::ifstream file("/proc/uptime");
    double uptime = 0;
    double idle = 0;
    if (!(file >> uptime >> idle)) throw std::runtime_error("unexpected /proc/uptime");
    return uptime * double(get_nprocs_conf()) - idle;
}
