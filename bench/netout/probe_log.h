#pragma once

// netout_probe's log: reading it, watching it as it grows, and the figures
// the probe writes at the end of a run.

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>

inline std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The last `lines` lines.
inline std::string Tail(const std::string& text, int lines) {
    size_t at = text.size();
    for (int n = 0; n <= lines && at != std::string::npos && at > 0; ++n) at = text.rfind('\n', at - 1);
    return at == std::string::npos || at == 0 ? text : text.substr(at + 1);
}

// Watches a growing log for a text, reading only what was added since the last look.
class LogWatch {
public:
    LogWatch(std::string path, std::string text) : m_path(std::move(path)), m_text(std::move(text)) {}
    ~LogWatch() {
        if (m_fd >= 0) close(m_fd);
    }
    LogWatch(const LogWatch&) = delete;
    LogWatch& operator=(const LogWatch&) = delete;

    bool Seen() {
        if (m_seen) return true;
        if (m_fd < 0) m_fd = open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        char buffer[4096];
        for (ssize_t got; m_fd >= 0 && (got = read(m_fd, buffer, sizeof(buffer))) > 0;) {
            m_tail.append(buffer, size_t(got));
            if (m_tail.find(m_text) != std::string::npos) return m_seen = true;
            // Enough to find the text split across two reads.
            if (m_tail.size() > m_text.size()) m_tail.erase(0, m_tail.size() - m_text.size());
        }
        return false;
    }

private:
    std::string m_path;
    std::string m_text;
    std::string m_tail;
    int m_fd = -1;
    bool m_seen = false;
};

struct SenderLatency {
    double p50_ms = 0;
    double p99_ms = 0;
    unsigned long long frames = 0;
};

struct CaptureCounts {
    unsigned long long captured = 0;
    unsigned long long dropped = 0;
    unsigned long long repeated = 0;
    unsigned long long bad = 0;
    unsigned long long no_signal = 0;
    unsigned long long losses = 0;
};

// The sender's last "frame latency p50 X ms p99 Y ms over N frames" (its
// final report, at disable or shutdown). False when there is none.
inline bool FindSenderLatency(const std::string& log, SenderLatency& out) {
    const size_t at = log.rfind("frame latency p50 ");
    return at != std::string::npos &&
           std::sscanf(log.c_str() + at, "frame latency p50 %lf ms p99 %lf ms over %llu frames", &out.p50_ms,
                       &out.p99_ms, &out.frames) == 3;
}

// The capture source's counts at the stop: "N frames captured (N dropped to
// keep F fps, N slots repeated), N bad buffers dropped, N no-signal pictures
// in N losses of the picture". False when there are none.
inline bool FindCaptureCounts(const std::string& log, CaptureCounts& out) {
    const size_t words = log.rfind(" frames captured (");
    if (words == std::string::npos || words == 0) return false;
    const size_t number = log.find_last_not_of("0123456789", words - 1);
    if (number == std::string::npos || number + 1 == words) return false;
    int fps = 0;
    return std::sscanf(log.c_str() + number + 1,
                       "%llu frames captured (%llu dropped to keep %d fps, %llu slots repeated), %llu bad "
                       "buffers dropped, %llu no-signal pictures in %llu losses of the picture",
                       &out.captured, &out.dropped, &fps, &out.repeated, &out.bad, &out.no_signal,
                       &out.losses) == 7;
}
