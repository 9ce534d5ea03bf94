#include "local_file_sink.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
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
    m_fd = open(path.c_str(), flags & ~O_TRUNC, 0666);
    if (m_fd < 0) {
        Log::Instance().Errorf("LocalFileSink: open(%s, \"%s\"): (%d) %m", path.c_str(), mode.c_str(), errno);
        return;
    }
    if ((flags & O_TRUNC) && !Truncate()) {
        close(m_fd);
        m_fd = -1;
    }
}

// Empties the file as O_TRUNC would have. A regular file is truncated through
// a second, short-lived descriptor: ext4 takes a file truncated to nothing for
// one being rewritten in place and, at the close of the descriptor that
// truncated it, forces its new contents to disk; that close is then the
// second descriptor's, with nothing written yet. The frames written here
// reach the disk with the ordinary write-back instead of holding up the
// close, and a later run finds no disk blocks to free (and to discard).
bool LocalFileSink::Truncate() {
    struct stat st;
    if (fstat(m_fd, &st) == 0 && !S_ISREG(st.st_mode)) return true;  // O_TRUNC means nothing there
    const std::string self = "/proc/self/fd/" + std::to_string(m_fd);
    const int truncating = open(self.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (truncating >= 0) {
        close(truncating);
        return true;
    }
    errno = 0;
    if (ftruncate(m_fd, 0) == 0) return true;
    Log::Instance().Errorf("LocalFileSink: ftruncate(%s, 0): (%d) %m", m_path.c_str(), errno);
    return false;
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
