#pragma once

// Whole-file reads and one-write writes, as sysfs clients and `echo` do them,
// and polling for a condition: shared by the GPIO rigs.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

namespace sysfs_io {

// Whole file from offset 0; throws std::system_error when it cannot be read.
inline std::string ReadWhole(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
    std::string text;
    char chunk[256];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error = errno;
            close(fd);
            throw std::system_error(error, std::generic_category(), "read " + path);
        }
        if (got == 0) break;
        text.append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    return text;
}

// One write(2) of the text; 0 or the errno of the failure.
inline int WriteOnce(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const ssize_t put = write(fd, text.data(), text.size());
    const int error = put < 0 ? errno : 0;
    close(fd);
    return error;
}

// Checks the condition every millisecond until it holds or the time is up.
inline bool WaitFor(const std::function<bool()>& condition, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A rig's file access relative to its tree: Rig has Path(relative_path).
template <class Rig>
class Files {
public:
    // Whole file from offset 0; throws std::system_error when it cannot be read.
    std::string ReadFile(const std::string& relative_path) const { return ReadWhole(Self().Path(relative_path)); }
    // One write(2) of the text, as `echo` would; 0 or the errno of the failure.
    int WriteFile(const std::string& relative_path, const std::string& text) const {
        return WriteOnce(Self().Path(relative_path), text);
    }
    // Checks the condition every millisecond until it holds or the time is up.
    bool WaitFor(std::function<bool()> condition, int timeout_ms = 2000) const {
        return sysfs_io::WaitFor(condition, timeout_ms);
    }

private:
    const Rig& Self() const { return static_cast<const Rig&>(*this); }
};

}  // namespace sysfs_io
