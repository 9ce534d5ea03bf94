#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

// The system calls a V4L2 node is made of. The kernel answers them on a host
// or a board; a scripted device answers them in tests, so that what drives a
// device runs where it is fast, exact and sanitized. Each call answers as its
// system call does: -1 (MAP_FAILED for Map) with errno set.
class V4l2Io {
public:
    virtual ~V4l2Io() = default;

    virtual int Open(const std::string& path, int flags) = 0;
    virtual int Close(int fd) = 0;
    virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual void* Map(size_t length, int protection, int fd, off_t offset) = 0;
    virtual int Unmap(void* data, size_t length) = 0;

    // The kernel's own calls.
    static V4l2Io& Kernel();
};
