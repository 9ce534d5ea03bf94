#include "local_file_sink.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "log.h"

namespace {

// open(2) flags for an fopen-style mode; -1 for a mode fopen would refuse.
int OpenFlags(const std::string& mode) {
    if (mode.empty()) return -1;
    int flags;
    switch (mode[0]) {
        case 'r': flags = 0; break;
        case 'w': flags = O_CREAT | O_TRUNC; break;
        case 'a': flags = O_CREAT | O_APPEND; break;
        default: return -1;
    }
    bool update = false;
    for (size_t i = 1; i < mode.size(); ++i) {
        switch (mode[i]) {
            case '+': update = true; break;
            case 'b': case 'e': break;
            case 'x': if (mode[0] != 'w') return -1; flags |= O_EXCL; break;
            default: return -1;
        }
    }
    flags |= update ? O_RDWR : (mode[0] == 'r' ? O_RDONLY : O_WRONLY);
    return flags | O_CLOEXEC;
}

}  // namespace

LocalFileSink::LocalFileSink(const std::string& path, const std::string& mode) : m_path(path) {
    const int flags = OpenFlags(mode);
    if (flags < 0) {
        Log::Instance().Errorf("LocalFileSink %s: unknown mode \"%s\"", path.c_str(), mode.c_str());
        return;
    }
    errno = 0;
    m_fd = open(path.c_str(), flags, 0666);
    if (m_fd < 0) Log::Instance().Errorf("LocalFileSink: open(%s, \"%s\"): (%d) %m", path.c_str(), mode.c_str(), errno);
}

LocalFileSink::~LocalFileSink() {
    if (m_fd >= 0 && close(m_fd) < 0)
        Log::Instance().Errorf("LocalFileSink: close(%s): (%d) %m", m_path.c_str(), errno);
}

Status LocalFileSink::Write(unsigned char* data, unsigned int count) {
    if (count == 0) return Status::SUCCESS;
    if (!data) return Status::FAILURE_NULL_POINTER;
    if (m_fd < 0) {
        Log::Instance().Errorf("LocalFileSink: %s is not open; %u bytes dropped", m_path.c_str(), count);
        return Status::FAILURE_INVALID_STATE;
    }
    unsigned int done = 0;
    while (done < count) {
        errno = 0;
        const ssize_t written = write(m_fd, data + done, count - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            // A write of nothing would loop forever; report it as the disk being full.
            if (written == 0) errno = ENOSPC;
            Log::Instance().Errorf("LocalFileSink: write(%s, %u bytes): (%d) %m", m_path.c_str(), count - done, errno);
            return Status::FAILURE_SYSCALL;
        }
        done += static_cast<unsigned int>(written);
    }
    return Status::SUCCESS;
}
