#include "send_statistics.h"

#include <algorithm>
#include <cstring>

#include "log.h"

namespace {
constexpr size_t LATENCY_FRAMES = 4096;

unsigned long long U(uint64_t value) { return static_cast<unsigned long long>(value); }
}  // namespace

SendStatistics::SendStatistics(std::string name, Clock::duration report_period)
    : m_name(std::move(name)), m_period(report_period), m_next_report(Clock::now() + report_period),
      m_refused(report_period), m_failed(report_period), m_dropped(report_period),
      m_aged(report_period) {
    m_latencies_ms.reserve(LATENCY_FRAMES);
}

void SendStatistics::Sent(size_t bytes, Clock::time_point) {
    ++m_counters.datagrams;
    m_counters.bytes += bytes;
}

void SendStatistics::FrameSent(uint64_t frame_number, Clock::duration latency) {
    ++m_counters.frames;
    const float ms = std::chrono::duration<float, std::milli>(latency).count();
    if (m_latencies_ms.size() < LATENCY_FRAMES)
        m_latencies_ms.push_back(ms);
    else
        m_latencies_ms[m_latency_next] = ms;
    m_latency_next = (m_latency_next + 1) % LATENCY_FRAMES;
    Log::Instance().Debugf("%s: frame %llu sent %.3f ms after it was made", m_name.c_str(),
                           U(frame_number), static_cast<double>(ms));
}

void SendStatistics::Refused(uint64_t count, const std::string& destination, Clock::time_point now) {
    m_counters.refused += count;
    if (const uint64_t due = m_refused.Count(count, now))
        Log::Instance().Warnf("%s: %llu datagrams to %s refused: nobody is listening there",
                              m_name.c_str(), U(due), destination.c_str());
}

void SendStatistics::Failed(int error, const std::string& destination, Clock::time_point now,
                            uint64_t count) {
    m_counters.failed += count;
    if (const uint64_t due = m_failed.Count(count, now))
        Log::Instance().Warnf("%s: %llu datagrams to %s failed, the last with (%d) %s", m_name.c_str(),
                              U(due), destination.c_str(), error, strerror(error));
}

void SendStatistics::Dropped(uint64_t packets, Clock::time_point now) {
    m_counters.dropped_packets += packets;
    if (const uint64_t due = m_dropped.Count(packets, now))
        Log::Instance().Warnf("%s: send queue full, dropped %llu oldest packets: the network does not "
                              "keep up with the stream", m_name.c_str(), U(due));
}

void SendStatistics::Aged(uint64_t packets, Clock::time_point now) {
    if (packets == 0) return;
    m_counters.dropped_packets += packets;
    if (const uint64_t due = m_aged.Count(packets, now))
        Log::Instance().Warnf("%s: dropped %llu packets of frames queued over half a second: the "
                              "network does not keep up with the stream", m_name.c_str(), U(due));
}

void SendStatistics::Discarded(uint64_t packets) { m_counters.dropped_packets += packets; }

void SendStatistics::MaybeReport(Clock::time_point now, size_t queued_bytes, double mean_rate) {
    if (now < m_next_report) return;
    m_next_report = now + m_period;
    Report("so far", queued_bytes, mean_rate);
}

void SendStatistics::Report(const char* when, size_t queued_bytes, double mean_rate) const {
    LogCounters(m_name, when, m_counters);
    const Latency latency = GetLatency();
    Log::Instance().Infof("%s: %s: queue %zu bytes, stream %.0f kbit/s, frame latency p50 %.2f ms "
                          "p99 %.2f ms over %zu frames",
                          m_name.c_str(), when, queued_bytes, mean_rate * 8 / 1000, latency.p50_ms,
                          latency.p99_ms, latency.frames);
}

SendStatistics::Latency SendStatistics::GetLatency() const {
    Latency latency;
    latency.frames = m_latencies_ms.size();
    if (latency.frames == 0) return latency;
    std::vector<float> sorted = m_latencies_ms;
    std::sort(sorted.begin(), sorted.end());
    const auto at = [&sorted](double q) {
        return static_cast<double>(sorted[static_cast<size_t>(q * (sorted.size() - 1) + 0.5)]);
    };
    latency.p50_ms = at(0.50);
    latency.p99_ms = at(0.99);
    return latency;
}

SendStatistics::Counters SendStatistics::Totals(const Counters& earlier) const {
    Counters total = earlier;
    total.datagrams += m_counters.datagrams;
    total.bytes += m_counters.bytes;
    total.refused += m_counters.refused;
    total.failed += m_counters.failed;
    total.dropped_packets += m_counters.dropped_packets;
    total.frames += m_counters.frames;
    return total;
}

void SendStatistics::LogCounters(const std::string& name, const char* when, const Counters& counters) {
    Log::Instance().Infof("%s: %s: %llu datagrams, %llu bytes, %llu frames, %llu refused, "
                          "%llu failed, %llu packets dropped",
                          name.c_str(), when, U(counters.datagrams), U(counters.bytes),
                          U(counters.frames), U(counters.refused), U(counters.failed),
                          U(counters.dropped_packets));
}
