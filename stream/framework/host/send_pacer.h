#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "component_output.h"

// Decides when the sender may send. It estimates the stream's mean rate from
// what the source publishes and allows at most `factor` times the mean bytes
// per 10 ms within any `window`. The window's bytes come back to the
// allowance as they age out of it, so after a quiet spell a frame can leave
// at once up to the allowance and the rest follows a window later: the
// lowest delay the bound permits. Driven entirely by the times passed in.
class SendPacer {
public:
    using Clock = std::chrono::steady_clock;

    struct Settings {
        double factor = 1.8;
        Clock::duration window = std::chrono::milliseconds(12);
        int64_t max_bytes_per_second = 0;  // 0 = no cap
        bool paced = true;
    };

    explicit SendPacer(const Settings& settings);

    // Accounts a published chunk in the estimate of the mean rate.
    void NoteInput(const MediaChunk& chunk, Clock::time_point now);
    // Bytes per second; 0 while nothing is known about the stream.
    double GetMeanRate() const;
    // Bytes the window allows (0 = not limited: unpaced or rate unknown).
    size_t GetAllowance() const;

    // Whether a datagram of `bytes` may go now. One datagram always may when
    // the window is empty, so an allowance below a datagram cannot stall.
    bool MaySend(size_t bytes, Clock::time_point now);
    // Earliest time MaySend(bytes) becomes true (now when it already is).
    Clock::time_point WhenMaySend(size_t bytes, Clock::time_point now);
    void NoteSent(size_t bytes, Clock::time_point now);

private:
    struct Sent {
        Clock::time_point when;
        size_t bytes;
    };
    void Expire(Clock::time_point now);

    Settings m_settings;
    // The mean is bytes over stream time, seeded with one second at the nominal
    // rate and halved now and then so that it follows a changing stream.
    double m_bytes = 0;
    double m_seconds = 0;
    bool m_have_frame = false;
    uint64_t m_last_frame = 0;
    Clock::time_point m_last_input;
    std::deque<Sent> m_sent;
    size_t m_window_bytes = 0;
};
