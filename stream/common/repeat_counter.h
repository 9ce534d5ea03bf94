#pragma once

// Counts a failure that can recur in a loop, so that it is logged the first
// time and then at most once a period, with how often it happened meanwhile:
// a line that stays broken must not flood the log. Header-only, so that the
// programs and the framework's host implementation share it.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

class RepeatCounter {
public:
    using Clock = std::chrono::steady_clock;

    explicit RepeatCounter(Clock::duration period = std::chrono::seconds(5)) : m_period(period) {}
    RepeatCounter(const RepeatCounter&) = delete;
    RepeatCounter& operator=(const RepeatCounter&) = delete;

    // Counts `count` more occurrences. Returns how many to report now (all those
    // not reported yet) when no report was made within the period, 0 otherwise.
    uint64_t Count(uint64_t count = 1, Clock::time_point now = Clock::now()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return CountLocked(count, now);
    }

    // The same for one kind of failure (its errno, say): a different kind is
    // reported at once and starts a new count.
    uint64_t Count(const std::string& kind, uint64_t count = 1, Clock::time_point now = Clock::now()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (kind != m_kind) {
            m_kind = kind;
            m_reported = false;
            m_pending = 0;
        }
        return CountLocked(count, now);
    }

    // Occurrences counted but not reported yet; they are reported by the caller now.
    uint64_t TakePending() {
        std::lock_guard<std::mutex> lock(m_mutex);
        const uint64_t pending = m_pending;
        m_pending = 0;
        return pending;
    }

    uint64_t Total() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_total;
    }

    // What a repeated report adds to its line: nothing for a single occurrence.
    static std::string Suffix(uint64_t due) {
        return due > 1 ? " (" + std::to_string(due) + " times since the last report)" : std::string();
    }

private:
    uint64_t CountLocked(uint64_t count, Clock::time_point now) {
        m_total += count;
        m_pending += count;
        if (m_pending == 0 || (m_reported && now < m_next)) return 0;
        m_reported = true;
        m_next = now + m_period;
        const uint64_t due = m_pending;
        m_pending = 0;
        return due;
    }

    const Clock::duration m_period;
    mutable std::mutex m_mutex;
    bool m_reported = false;
    Clock::time_point m_next{};
    uint64_t m_pending = 0;
    uint64_t m_total = 0;
    std::string m_kind;
};
