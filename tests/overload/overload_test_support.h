#pragma once

// Small helpers shared by the overload tests: scratch directories, whole-file
// reads, the environment of a test, and the threads of this process by name.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace overload_test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class ScratchDir {
public:
    ScratchDir() {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/overload_test.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp " + pattern + ": " + strerror(errno));
        m_path = pattern;
    }
    ~ScratchDir() {
        const std::string command = "rm -rf '" + m_path + "'";
        if (system(command.c_str()) != 0) {
            // Nothing sensible to do in a destructor; the directory is under /tmp.
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string Path(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// The file's bytes, or "<missing>" when it cannot be opened.
inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        const char* old = getenv(name);
        m_had_value = old != nullptr;
        if (old) m_old_value = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_had_value)
            setenv(m_name.c_str(), m_old_value.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::string m_old_value;
    bool m_had_value = false;
};

// How many threads of process pid carry this name (as the kernel keeps it: 15 characters).
inline int ThreadsNamed(const std::string& name, const std::string& pid = "self") {
    const std::string task_dir = "/proc/" + pid + "/task";
    DIR* dir = opendir(task_dir.c_str());
    if (dir == nullptr) return 0;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::string comm = ReadText(task_dir + "/" + entry->d_name + "/comm");
        if (!comm.empty() && comm.back() == '\n') comm.pop_back();
        if (comm == name) ++count;
    }
    closedir(dir);
    return count;
}

// Entries of a folder, "." and ".." aside; -1 when it cannot be read.
inline int CountEntries(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) ++count;
    closedir(dir);
    return count;
}

// Descriptors a process holds: the fewest seen over 100 ms. Its threads open
// files for a moment (the wake lock is renewed each second, the state file
// rewritten at each edge), and one seen only then is not held.
inline int HeldDescriptors(const std::string& proc) {
    int fewest = CountEntries(proc + "/fd");
    for (int sample = 0; sample < 10; ++sample) {
        usleep(10000);
        const int count = CountEntries(proc + "/fd");
        if (count < fewest) fewest = count;
    }
    return fewest;
}

// A number field of /proc/PID/status (such as "VmRSS:", in kB); -1 when missing.
inline long StatusField(const std::string& proc, const std::string& key) {
    const std::string status = ReadText(proc + "/status");
    const size_t at = status.find("\n" + key);
    return at == std::string::npos ? -1 : strtol(status.c_str() + at + key.size() + 1, nullptr, 10);
}

// The events poll() returns for POLLPRI on fd within timeout_ms (0 when none).
inline short PriorityEvents(int fd, int timeout_ms) {
    pollfd entry{fd, POLLPRI, 0};
    const int result = poll(&entry, 1, timeout_ms);
    return result > 0 ? entry.revents : 0;
}

}  // namespace overload_test
