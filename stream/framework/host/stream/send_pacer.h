#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "component_output.h"

// Decides when the sender may send. It estimates the stream's mean rate from
// what the source publishes and allows at most `factor` times the mean bytes
// per 10 ms within any `window` (a sliding window over the send times). The
// window's bytes come back to the allowance as they age out of it, so after
// a quiet spell a frame leaves at once, or as two halves one window apart:
// the lowest delay the bound permits. A token bucket that keeps the same
// bound would hold a mean-sized frame back about twice as long. Driven
// entirely by the times passed in.
class SendPacer {
public:
    using Clock = std::chrono::steady_clock;

    struct Settings {
        double factor = 1.9;
        Clock::duration window = std::chrono::microseconds(10500);
        int64_t max_bytes_per_second = 0;  // 0 = no cap
        bool paced = true;
    };
    static constexpr size_t PACKET = 188;

    explicit SendPacer(const Settings& settings);

    // Accounts a published chunk in the estimate of the mean rate.
    void NoteInput(const MediaChunk& chunk, Clock::time_point now);
    // Bytes per second; 0 while nothing is known about the stream.
    double GetMeanRate() const;
    // Bytes the window allows (0 = not limited: unpaced or rate unknown).
    size_t GetAllowance() const;

    // Bytes that may go now with `queued` bytes waiting (SIZE_MAX when not
    // limited). What needs two windows is split into even halves; an empty
    // window always takes one packet, so a tiny allowance cannot stall.
    size_t GetRoom(size_t queued, Clock::time_point now);
    // Earliest time GetRoom reaches `bytes` (at most one packet's worth is
    // always reached); now when it already has.
    Clock::time_point WhenRoom(size_t bytes, size_t queued, Clock::time_point now);
    void NoteSent(size_t bytes, Clock::time_point now);
    // About how long the pacing needs to let `queued` bytes go; zero when not limited.
    Clock::duration DrainTime(size_t queued, Clock::time_point now);

private:
    struct Sent {
        Clock::time_point when;
        size_t bytes;
    };
    void Expire(Clock::time_point now);
    // The allowance in the whole packets datagrams carry (a cap as it is).
    size_t WindowAllowance() const;
    // Bytes the current window may hold, given what is queued behind it.
    size_t Budget(size_t window_bytes, size_t queued) const;
    size_t Room(size_t window_bytes, size_t queued) const;

    Settings m_settings;
    // The mean is bytes over stream time from the second frame on, halved now
    // and then so that it follows a changing stream. Before that the first
    // frame, and before that the nominal rate, stand in.
    double m_bytes = 0;
    double m_seconds = 0;
    double m_first_bytes = 0;
    double m_first_interval = 0;
    double m_nominal = 0;  // bytes per second the source announces; 0 = unknown
    uint64_t m_frames = 0;
    uint64_t m_last_frame = 0;
    Clock::time_point m_last_input;
    std::deque<Sent> m_sent;
    size_t m_window_bytes = 0;
};
