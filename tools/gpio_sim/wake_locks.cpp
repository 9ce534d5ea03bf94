#include "wake_locks.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace {

// The name runs to the first blank; what follows is the optional timeout.
bool Split(const std::string& text, std::string* name, std::string* rest) {
    size_t end = 0;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
    if (end == 0) return false;
    *name = text.substr(0, end);
    *rest = text.substr(end);
    return true;
}

// kstrtou64 after skip_spaces: decimal digits, optionally one trailing newline.
bool ParseTimeout(std::string rest, unsigned long long* ns) {
    size_t start = 0;
    while (start < rest.size() && std::isspace(static_cast<unsigned char>(rest[start]))) ++start;
    rest = rest.substr(start);
    if (!rest.empty() && rest.back() == '\n') rest.pop_back();
    if (rest.empty()) return false;
    for (char c : rest)
        if (c < '0' || c > '9') return false;
    errno = 0;
    *ns = std::strtoull(rest.c_str(), nullptr, 10);
    return errno == 0;
}

}  // namespace

bool WakeLocks::Active(const Entry& lock, Clock::time_point now) {
    return lock.held && (!lock.timed || now < lock.until);
}

int WakeLocks::Lock(const std::string& text, Clock::time_point now) {
    std::string name, rest;
    if (!Split(text, &name, &rest)) return EINVAL;
    const bool timed = !rest.empty() && rest != "\n";
    unsigned long long ns = 0;
    if (timed && !ParseTimeout(rest, &ns)) return EINVAL;

    Entry& lock = m_locks[name];
    if (!timed) {
        lock.timed = false;
    } else {
        const auto until = now + std::chrono::nanoseconds(ns);
        // A lock held without a timeout, or until later, keeps its hold.
        if (!Active(lock, now) || (lock.timed && until > lock.until)) {
            lock.timed = true;
            lock.until = until;
        }
    }
    lock.held = true;
    return 0;
}

int WakeLocks::Unlock(const std::string& text) {
    std::string name, rest;
    if (!Split(text, &name, &rest)) return EINVAL;
    const auto found = m_locks.find(name);
    if (found == m_locks.end()) return EINVAL;
    found->second.held = false;
    return 0;
}

std::string WakeLocks::Names(bool active, Clock::time_point now) const {
    std::string names;
    for (const auto& entry : m_locks) {
        if (Active(entry.second, now) != active) continue;
        if (!names.empty()) names += ' ';
        names += entry.first;
    }
    return names + "\n";
}
