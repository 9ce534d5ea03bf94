#include "nv12_frame_reader.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"

Nv12FrameReader::~Nv12FrameReader() { Close(); }

void Nv12FrameReader::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    m_filled = 0;
}

Status Nv12FrameReader::Open(const std::string& path, int width, int height) {
    Close();
    const Log& log = Log::Instance();
    m_path = path;
    m_frame.assign(static_cast<size_t>(width) * height * 3 / 2, 0);
    // Non-blocking so that opening a FIFO with no writer yet does not hang the loop.
    m_fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        log.Errorf("NV12 input: cannot open %s: %m", path.c_str());
        return Status::FAILURE_SYSCALL;
    }
    struct stat st {};
    if (fstat(m_fd, &st) < 0) {
        log.Errorf("NV12 input: cannot stat %s: %m", path.c_str());
        Close();
        return Status::FAILURE_SYSCALL;
    }
    m_fifo = S_ISFIFO(st.st_mode);
    if (m_fifo) return Status::SUCCESS;
    if (!S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) < m_frame.size()) {
        log.Errorf("NV12 input: %s holds %lld bytes, less than one %dx%d frame (%zu bytes)",
                   path.c_str(), static_cast<long long>(st.st_size), width, height, m_frame.size());
        Close();
        return Status::FAILURE_INVALID;
    }
    if (static_cast<size_t>(st.st_size) % m_frame.size() != 0)
        log.Warnf("NV12 input: %s is not a whole number of %dx%d frames; the tail is skipped",
                  path.c_str(), width, height);
    // Plain reads of a regular file do not block; only a FIFO needs O_NONBLOCK.
    const int flags = fcntl(m_fd, F_GETFL);
    if (flags < 0 || fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        log.Errorf("NV12 input: cannot make %s blocking: %m", path.c_str());
        Close();
        return Status::FAILURE_SYSCALL;
    }
    return Status::SUCCESS;
}

Nv12FrameReader::Result Nv12FrameReader::Read() {
    if (m_fd < 0) return Result::END;
    return m_fifo ? ReadFifo() : ReadFile();
}

Nv12FrameReader::Result Nv12FrameReader::ReadFile() {
    size_t filled = 0;
    bool rewound = false;
    while (filled < m_frame.size()) {
        const ssize_t got = read(m_fd, m_frame.data() + filled, m_frame.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            Log::Instance().Errorf("NV12 input: reading %s failed: %m", m_path.c_str());
            return Result::END;
        }
        if (got == 0) {
            // End of the file, or a partial frame at its end: start over.
            if (rewound) {
                Log::Instance().Errorf("NV12 input: %s has no whole frame any more", m_path.c_str());
                return Result::END;
            }
            if (lseek(m_fd, 0, SEEK_SET) < 0) {
                Log::Instance().Errorf("NV12 input: cannot rewind %s: %m", m_path.c_str());
                return Result::END;
            }
            rewound = true;
            filled = 0;
            continue;
        }
        filled += static_cast<size_t>(got);
    }
    return Result::FRAME;
}

Nv12FrameReader::Result Nv12FrameReader::ReadFifo() {
    for (;;) {
        const ssize_t got = read(m_fd, m_frame.data() + m_filled, m_frame.size() - m_filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Result::PARTIAL;
            Log::Instance().Errorf("NV12 input: reading %s failed: %m", m_path.c_str());
            return Result::END;
        }
        if (got == 0) {
            Log::Instance().Infof("NV12 input: the writer of %s has closed it", m_path.c_str());
            return Result::END;
        }
        m_filled += static_cast<size_t>(got);
        if (m_filled == m_frame.size()) {
            m_filled = 0;
            return Result::FRAME;
        }
    }
}
