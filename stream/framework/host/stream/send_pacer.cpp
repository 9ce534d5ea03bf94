#include "send_pacer.h"

#include <algorithm>
#include <limits>

namespace {
constexpr double HALVE_AFTER_SECONDS = 8.0;
constexpr double MEAN_SPAN_SECONDS = 0.010;  // the allowance is counted in means per 10 ms
// The measured mean may exceed what the source announces (container
// overhead), but not by much: a burst of big frames must not inflate it.
constexpr double NOMINAL_HEADROOM = 1.1;
}  // namespace

SendPacer::SendPacer(const Settings& settings) : m_settings(settings) {}

void SendPacer::NoteInput(const MediaChunk& chunk, Clock::time_point now) {
    const double interval = std::chrono::duration<double>(chunk.frame_interval).count();
    const size_t bytes = chunk.bytes ? chunk.bytes->size() : 0;
    const bool new_frame = m_frames == 0 || chunk.frame_number != m_last_frame;
    if (new_frame) ++m_frames;
    if (chunk.bit_rate > 0) m_nominal = chunk.bit_rate / 8.0;
    if (m_frames == 1) {
        // A stream starts with a key frame, well above the mean: it only
        // stands in until the next frame.
        m_first_bytes += bytes;
        m_first_interval = interval;
    } else {
        m_bytes += bytes;
        // Stream time advances a frame interval per frame; without one, by
        // the wall time between chunks.
        if (interval > 0) {
            if (new_frame) m_seconds += interval;
        } else {
            m_seconds += std::chrono::duration<double>(now - m_last_input).count();
        }
    }
    m_last_frame = chunk.frame_number;
    m_last_input = now;
    if (m_seconds > HALVE_AFTER_SECONDS) {
        m_bytes /= 2;
        m_seconds /= 2;
    }
}

double SendPacer::GetMeanRate() const {
    if (m_seconds > 0) {
        const double mean = m_bytes / m_seconds;
        return m_nominal > 0 ? std::min(mean, m_nominal * NOMINAL_HEADROOM) : mean;
    }
    if (m_first_interval > 0) {
        const double first = m_first_bytes / m_first_interval;
        return m_nominal > 0 ? std::min(first, m_nominal) : first;
    }
    return m_nominal;
}

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

size_t SendPacer::WindowAllowance() const {
    const size_t allowance = GetAllowance();
    if (allowance == 0 || m_settings.max_bytes_per_second > 0) return allowance;
    // Datagrams carry whole packets: rounded down, the allowance of a small
    // stream lost up to a packet a window (1.9 means of a 230 kbit/s stream
    // carried 1.25), and a loop busy for part of each frame then sent less
    // than the stream, its queue growing for as long as it ran. A cap stays
    // as it is.
    return (allowance + PACKET - 1) / PACKET * PACKET;
}

size_t SendPacer::Budget(size_t window_bytes, size_t queued) const {
    const size_t allowance = WindowAllowance();
    // A frame that needs two windows goes as two even halves: no later, but
    // no burst bigger than needed. A longer backlog drains at the full rate.
    const size_t total = window_bytes + queued;
    const size_t windows = std::max<size_t>(1, (total + allowance - 1) / allowance);
    if (windows > 2) return allowance;
    const size_t half = (total + windows - 1) / windows;
    return std::min(allowance, (half + PACKET - 1) / PACKET * PACKET);
}

size_t SendPacer::Room(size_t window_bytes, size_t queued) const {
    const size_t budget = Budget(window_bytes, queued);
    const size_t room = budget > window_bytes ? budget - window_bytes : 0;
    // An allowance below one packet must not stall the stream.
    return window_bytes == 0 ? std::max(room, PACKET) : room;
}

size_t SendPacer::GetRoom(size_t queued, Clock::time_point now) {
    if (GetAllowance() == 0) return std::numeric_limits<size_t>::max();
    Expire(now);
    return Room(m_window_bytes, queued);
}

SendPacer::Clock::time_point SendPacer::WhenRoom(size_t bytes, size_t queued, Clock::time_point now) {
    if (GetRoom(queued, now) >= bytes) return now;
    size_t remaining = m_window_bytes;
    for (const auto& sent : m_sent) {
        remaining -= sent.bytes;
        if (Room(remaining, queued) >= bytes) return sent.when + m_settings.window;
    }
    return now;  // not reached for bytes <= PACKET: an empty window has room for one
}

void SendPacer::NoteSent(size_t bytes, Clock::time_point now) {
    if (!m_settings.paced) return;
    Expire(now);
    m_sent.push_back({now, bytes});
    m_window_bytes += bytes;
}

SendPacer::Clock::duration SendPacer::DrainTime(size_t queued, Clock::time_point now) {
    const size_t allowance = WindowAllowance();
    if (allowance == 0 || queued == 0) return Clock::duration::zero();
    Expire(now);
    const size_t windows = (m_window_bytes + queued + allowance - 1) / allowance;
    return m_settings.window * static_cast<int64_t>(windows);
}
