#include "wake_lock.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "log.h"

namespace morwick {
namespace {

std::string SysfsRoot() {
    const char* root = getenv("LUMASET_WAKELOCK_SYSFS");
    return root && *root ? root : "/sys/power";
}

// The kernel keys wake locks by name: each object gets its own.
std::string UniqueName() {
    static std::atomic<unsigned int> count{0};
    return std::string(program_invocation_short_name) + "." + std::to_string(getpid()) + "." +
           std::to_string(count.fetch_add(1));
}

// Never creates the file: a missing one means the kernel has no wake locks.
int WriteName(const std::string& path, const std::string& name) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n;
    do {
        n = write(fd, name.data(), name.size());
    } while (n < 0 && errno == EINTR);
    const int write_errno = (n < 0) ? errno : (static_cast<size_t>(n) != name.size() ? EIO : 0);
    if (close(fd) < 0 && write_errno == 0) return -1;
    errno = write_errno;
    return write_errno ? -1 : 0;
}

}  // namespace

WakeLock::WakeLock(unsigned int flags) : m_name(UniqueName()), m_root(SysfsRoot()), m_held(false) {
    const std::string path = m_root + "/wake_lock";
    if (WriteName(path, m_name) == 0) {
        m_held = true;
        Log::Instance().Debugf("wake lock %s held (flags 0x%x)", m_name.c_str(), flags);
        return;
    }
    if (errno == ENOENT) {
        static std::atomic<bool> reported{false};
        if (!reported.exchange(true))
            Log::Instance().Infof("no kernel wake locks (%s missing): running without one",
                                  path.c_str());
        return;
    }
    Log::Instance().Errorf("wake lock: write(%s, \"%s\"): (%d) %m", path.c_str(), m_name.c_str(),
                           errno);
}

WakeLock::~WakeLock() {
    if (!m_held) return;
    const std::string path = m_root + "/wake_unlock";
    if (WriteName(path, m_name) < 0)
        Log::Instance().Errorf("wake lock: write(%s, \"%s\"): (%d) %m", path.c_str(),
                               m_name.c_str(), errno);
}

}  // namespace morwick
