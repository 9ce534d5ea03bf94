#pragma once

#include <string>

#include "status.h"

// Writes bytes to a file opened with open(2) in an fopen-style mode
// ("r", "w", "a", each with an optional "+", "b" ignored, "x" exclusive).
// Each Write goes after the bytes of the one before.
class LocalFileSink {
public:
    // A file that cannot be opened is logged; every Write then fails.
    LocalFileSink(const std::string& path, const std::string& mode);
    ~LocalFileSink();
    LocalFileSink(const LocalFileSink&) = delete;
    LocalFileSink& operator=(const LocalFileSink&) = delete;

    bool IsOpen() const { return m_fd >= 0; }

    // All `count` bytes or a failure: FAILURE_SYSCALL (errno logged) when the
    // file refuses them, FAILURE_INVALID_STATE when it never opened,
    // FAILURE_NULL_POINTER for null data with a nonzero count.
    Status Write(unsigned char* data, unsigned int count);

private:
    std::string m_path;
    int m_fd = -1;
};
