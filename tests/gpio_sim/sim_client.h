#pragma once

// A sysfs client's view of the emulator: raw descriptors, lseek, read and poll.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "gpio_sim_rig.h"

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) close(m_fd);
    }
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

inline Fd OpenIn(const GpioSimRig& rig, const std::string& relative_path, int flags = O_RDONLY) {
    Fd fd(open(rig.Path(relative_path).c_str(), flags | O_CLOEXEC));
    EXPECT_GE(fd.Get(), 0) << relative_path << ": " << std::strerror(errno);
    return fd;
}

// read(2) at the current offset; "<errno N>" on failure.
inline std::string ReadOn(int fd) {
    char text[64];
    const ssize_t got = read(fd, text, sizeof text);
    if (got < 0) return "<errno " + std::to_string(errno) + ">";
    return std::string(text, static_cast<size_t>(got));
}

// What a sysfs client does to take the value and consume the edge.
inline std::string ReadFromStart(int fd) {
    if (lseek(fd, 0, SEEK_SET) != 0) return "<lseek errno " + std::to_string(errno) + ">";
    return ReadOn(fd);
}

// revents of one poll(2) for POLLPRI|POLLERR on the descriptor.
inline short PollEvents(int fd, int timeout_ms = 0) {
    pollfd entry {fd, POLLPRI | POLLERR, 0};
    const int ready = poll(&entry, 1, timeout_ms);
    return ready < 0 ? static_cast<short>(-1) : entry.revents;
}

// revents of a poll(2) that was woken before its timeout ran out, 0 if it was not.
// poll looks at the file once more when its time is up, so a lost wake-up would otherwise
// pass as an event.
inline short WokenEvents(int fd, int timeout_ms = 10000) {
    const auto start = std::chrono::steady_clock::now();
    const short revents = PollEvents(fd, timeout_ms);
    const auto waited = std::chrono::steady_clock::now() - start;
    return waited < std::chrono::milliseconds(timeout_ms) ? revents : 0;
}

inline bool EdgePending(int fd) { return (PollEvents(fd) & POLLPRI) != 0; }

// Exports the line and sets it up as an input with the given edge.
inline void ExportInput(const GpioSimRig& rig, int gpio, const std::string& edge) {
    const std::string dir = "gpio" + std::to_string(gpio) + "/";
    ASSERT_EQ(rig.WriteFile("export", std::to_string(gpio)), 0);
    ASSERT_EQ(rig.WriteFile(dir + "direction", "in"), 0);
    ASSERT_EQ(rig.WriteFile(dir + "edge", edge), 0);
}

// An exported input line's value file, opened and read once so its fresh-open event is gone.
inline Fd WatchInput(const GpioSimRig& rig, int gpio, const std::string& edge) {
    ExportInput(rig, gpio, edge);
    Fd value = OpenIn(rig, "gpio" + std::to_string(gpio) + "/value");
    ReadFromStart(value.Get());
    EXPECT_FALSE(EdgePending(value.Get())) << "gpio" << gpio << ": the first read left an event";
    return value;
}
