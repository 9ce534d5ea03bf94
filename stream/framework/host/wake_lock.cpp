#include "wake_lock.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include <unistd.h>

#include "log.h"
#include "sysfs_file.h"

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

}  // namespace

WakeLock::WakeLock(unsigned int flags) : m_name(UniqueName()), m_root(SysfsRoot()), m_held(false) {
    // A missing file means the kernel has no wake locks.
    const std::string path = m_root + "/wake_lock";
    if (WriteSysfsFile(path, m_name) == 0) {
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
    if (WriteSysfsFile(path, m_name) < 0)
        Log::Instance().Errorf("wake lock: write(%s, \"%s\"): (%d) %m", path.c_str(),
                               m_name.c_str(), errno);
}

}  // namespace morwick
