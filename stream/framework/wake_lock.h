#pragma once

#include <memory>
#include <string>

namespace morwick {

// Keeps the device awake while alive, through the kernel's wake-lock files
// (wake_lock / wake_unlock under LUMASET_WAKELOCK_SYSFS, default /sys/power).
// flags are the Android power manager's wake-lock flags. Where the kernel has
// no wake locks this is logged once and nothing is held.
//
// The lock is taken with a timeout and renewed by a thread of its own
// ("wake_lock_rearm") while the object lives, so a holder that dies without
// its destructor (a signal, SIGKILL) leaves a lock that expires by itself.
class WakeLock {
public:
    explicit WakeLock(unsigned int flags);
    ~WakeLock();

    WakeLock(const WakeLock&) = delete;
    WakeLock& operator=(const WakeLock&) = delete;

    // The name written to the kernel; unique per object.
    const std::string& Name() const { return m_name; }
    bool Held() const { return m_held; }

private:
    class Rearm;

    std::string m_name;
    std::string m_root;
    bool m_held;
    std::unique_ptr<Rearm> m_rearm;
};

}  // namespace morwick
