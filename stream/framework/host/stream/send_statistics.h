#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "repeat_counter.h"
#include "socket_network_datagram_out.h"

// The datagram sender's counters, frame latencies and log lines: a counters
// line every report period, and warnings about refusals, failures and drops
// at most once per period each, so a dead receiver cannot flood the log.
class SendStatistics {
public:
    using Clock = std::chrono::steady_clock;
    using Counters = SocketNetworkDatagramOut::Counters;

    struct Latency {
        size_t frames = 0;
        double p50_ms = 0;
        double p99_ms = 0;
    };

    SendStatistics(std::string name, Clock::duration report_period);

    void Sent(size_t bytes, Clock::time_point now);
    void FrameSent(uint64_t frame_number, Clock::duration latency);
    void Refused(uint64_t count, const std::string& destination, Clock::time_point now);
    void Failed(int error, const std::string& destination, Clock::time_point now, uint64_t count = 1);
    // Packets lost to a full queue (warned about) or discarded at disable (not).
    void Dropped(uint64_t packets, Clock::time_point now);
    // Packets of frames that waited too long in the queue (warned about).
    void Aged(uint64_t packets, Clock::time_point now);
    void Discarded(uint64_t packets);

    // Logs the counters line when a report period has passed.
    void MaybeReport(Clock::time_point now, size_t queued_bytes, double mean_rate);
    void Report(const char* when, size_t queued_bytes, double mean_rate) const;

    // Latency percentiles over the most recent frames.
    Latency GetLatency() const;
    // earlier + what this period counted.
    Counters Totals(const Counters& earlier) const;

    static void LogCounters(const std::string& name, const char* when, const Counters& counters);

private:
    std::string m_name;
    Clock::duration m_period;
    Counters m_counters;
    Clock::time_point m_next_report;
    // At most one line per period each; what happens in between is summed into it.
    RepeatCounter m_refused;
    RepeatCounter m_failed;
    RepeatCounter m_dropped;
    RepeatCounter m_aged;
    std::vector<float> m_latencies_ms;  // ring of the last frames
    size_t m_latency_next = 0;
};
