#pragma once

// Host-side helper of the GPIO and wake-lock services: kernel attribute files
// take one value per write(2).

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <unistd.h>

// Writes text to an existing attribute file in one write(2); never creates it.
// Returns 0, or -1 with errno set (a short write counts as EIO).
inline int WriteSysfsFile(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n;
    do {
        n = write(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    const int write_errno = (n < 0) ? errno : (static_cast<size_t>(n) != text.size() ? EIO : 0);
    if (close(fd) < 0 && write_errno == 0) return -1;
    errno = write_errno;
    return write_errno ? -1 : 0;
}
