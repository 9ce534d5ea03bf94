#include "send_pacer.h"

#include <algorithm>

namespace {
constexpr double SEED_SECONDS = 1.0;
constexpr double HALVE_AFTER_SECONDS = 8.0;
constexpr double MEAN_SPAN_SECONDS = 0.010;  // the allowance is counted in means per 10 ms
}  // namespace

SendPacer::SendPacer(const Settings& settings) : m_settings(settings) {}

void SendPacer::NoteInput(const MediaChunk& chunk, Clock::time_point now) {
    const double interval = std::chrono::duration<double>(chunk.frame_interval).count();
    const bool first = !m_have_frame;
    const bool new_frame = first || chunk.frame_number != m_last_frame;
    if (first && chunk.bit_rate > 0) {
        m_bytes = chunk.bit_rate / 8.0 * SEED_SECONDS;
        m_seconds = SEED_SECONDS;
    }
    if (chunk.bytes) m_bytes += chunk.bytes->size();
    // Stream time advances a frame interval per frame; without one, by the
    // wall time between chunks.
    if (interval > 0) {
        if (new_frame) m_seconds += interval;
    } else if (!first) {
        m_seconds += std::chrono::duration<double>(now - m_last_input).count();
    }
    m_have_frame = true;
    m_last_frame = chunk.frame_number;
    m_last_input = now;
    if (m_seconds > HALVE_AFTER_SECONDS) {
        m_bytes /= 2;
        m_seconds /= 2;
    }
}

double SendPacer::GetMeanRate() const { return m_seconds > 0 ? m_bytes / m_seconds : 0; }

size_t SendPacer::GetAllowance() const {
    if (!m_settings.paced) return 0;
    double per_window = m_settings.factor * GetMeanRate() * MEAN_SPAN_SECONDS;
    if (m_settings.max_bytes_per_second > 0) {
        const double window = std::chrono::duration<double>(m_settings.window).count();
        const double cap = m_settings.max_bytes_per_second * window;
        per_window = per_window > 0 ? std::min(per_window, cap) : cap;
    }
    // At least one byte once limited, so that 0 keeps meaning "unlimited".
    return per_window > 0 ? std::max<size_t>(1, static_cast<size_t>(per_window)) : 0;
}

void SendPacer::Expire(Clock::time_point now) {
    while (!m_sent.empty() && m_sent.front().when + m_settings.window <= now) {
        m_window_bytes -= m_sent.front().bytes;
        m_sent.pop_front();
    }
}

bool SendPacer::MaySend(size_t bytes, Clock::time_point now) {
    const size_t allowance = GetAllowance();
    if (allowance == 0) return true;
    Expire(now);
    return m_window_bytes == 0 || m_window_bytes + bytes <= allowance;
}

SendPacer::Clock::time_point SendPacer::WhenMaySend(size_t bytes, Clock::time_point now) {
    if (MaySend(bytes, now)) return now;
    const size_t allowance = GetAllowance();
    size_t remaining = m_window_bytes;
    for (const auto& sent : m_sent) {
        remaining -= sent.bytes;
        if (remaining == 0 || remaining + bytes <= allowance) return sent.when + m_settings.window;
    }
    return now;  // not reached: the last entry leaves the window empty
}

void SendPacer::NoteSent(size_t bytes, Clock::time_point now) {
    if (!m_settings.paced) return;
    Expire(now);
    m_sent.push_back({now, bytes});
    m_window_bytes += bytes;
}
