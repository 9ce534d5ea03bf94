#pragma once

#include <chrono>
#include <map>
#include <string>

// The kernel's user-space wake locks (/sys/power/wake_lock and wake_unlock),
// free of FUSE. Every operation returns 0 or the errno the kernel would give.
class WakeLocks {
public:
    using Clock = std::chrono::steady_clock;

    // "name" holds the lock until unlocked; "name timeout_ns" holds it until the
    // timeout runs out (renewing never shortens a lock). EINVAL for other text.
    int Lock(const std::string& text, Clock::time_point now);
    // "name" lets the lock go; EINVAL when no lock of that name was ever taken.
    int Unlock(const std::string& text);

    // What reading wake_lock (active) or wake_unlock (inactive) shows:
    // the names, blank-separated, and a line end.
    std::string Names(bool active, Clock::time_point now) const;

private:
    struct Entry {
        bool held = false;
        bool timed = false;
        Clock::time_point until;
    };
    static bool Active(const Entry& lock, Clock::time_point now);

    std::map<std::string, Entry> m_locks;
};
