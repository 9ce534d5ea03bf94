#include "wake_lock.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <sys/prctl.h>
#include <unistd.h>

#include "log.h"
#include "repeat_counter.h"
#include "sysfs_file.h"

namespace morwick {
namespace {

// The kernel lets the lock go this long after the last renewal.
constexpr std::chrono::seconds LOCK_TIMEOUT(5);
// Renewed well before it runs out, so a busy machine cannot make it lapse.
constexpr std::chrono::seconds REARM_PERIOD(1);

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

// "name timeout_ns": the kernel's timed form.
std::string TimedLock(const std::string& name) {
    return name + " " +
           std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(LOCK_TIMEOUT).count());
}

}  // namespace

// Renews the timed lock until stopped.
class WakeLock::Rearm {
public:
    Rearm(std::string path, std::string text)
        : m_path(std::move(path)), m_text(std::move(text)), m_thread([this] { Run(); }) {}
    ~Rearm() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

private:
    void Run() {
        prctl(PR_SET_NAME, "wake_lock_rearm", 0, 0, 0);
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, REARM_PERIOD, [this] { return m_stop; })) {
            if (WriteSysfsFile(m_path, m_text) == 0) {
                if (const uint64_t unreported = m_failures.TakePending())
                    Log::Instance().Infof("wake lock: renewed again, after %llu more failures",
                                          static_cast<unsigned long long>(unreported));
            } else if (const uint64_t due = m_failures.Count()) {
                Log::Instance().Errorf("wake lock: write(%s, \"%s\"): (%d) %m; the lock runs out "
                                       "unless renewed%s",
                                       m_path.c_str(), m_text.c_str(), errno,
                                       RepeatCounter::Suffix(due).c_str());
            }
        }
    }

    const std::string m_path;
    const std::string m_text;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    RepeatCounter m_failures;
    std::thread m_thread;  // last: starts once the rest is built
};

WakeLock::WakeLock(unsigned int flags) : m_name(UniqueName()), m_root(SysfsRoot()), m_held(false) {
    // A missing file means the kernel has no wake locks.
    const std::string path = m_root + "/wake_lock";
    const std::string text = TimedLock(m_name);
    if (WriteSysfsFile(path, text) == 0) {
        m_held = true;
        m_rearm = std::make_unique<Rearm>(path, text);
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
    Log::Instance().Errorf("wake lock: write(%s, \"%s\"): (%d) %m", path.c_str(), text.c_str(),
                           errno);
}

WakeLock::~WakeLock() {
    if (!m_held) return;
    // Stop renewing first, so nothing takes the lock again after the unlock.
    m_rearm.reset();
    const std::string path = m_root + "/wake_unlock";
    if (WriteSysfsFile(path, m_name) < 0)
        Log::Instance().Errorf("wake lock: write(%s, \"%s\"): (%d) %m", path.c_str(),
                               m_name.c_str(), errno);
}

}  // namespace morwick
