#pragma once

// A loopback UDP receiver for measurements: keeps every datagram with its
// arrival time, then reads the MPEG-TS back into frames (by the video PES
// starts and their time stamps).

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

class TsReceiver {
public:
    using Clock = std::chrono::steady_clock;
    struct Datagram {
        Clock::time_point arrival;
        std::vector<uint8_t> bytes;
    };
    // One video frame as the receiver saw it.
    struct Frame {
        int64_t pts;                     // 90 kHz, 33 bits
        Clock::time_point last_arrival;  // arrival of its last byte
    };

    TsReceiver() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0) throw std::runtime_error(std::string("socket: ") + strerror(errno));
        const int buffer = 16 << 20;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error(std::string("bind: ") + strerror(errno));
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Receive(); });
    }
    ~TsReceiver() {
        Stop();
        close(m_fd);
    }
    TsReceiver(const TsReceiver&) = delete;
    TsReceiver& operator=(const TsReceiver&) = delete;

    int Port() const { return m_port; }
    void Stop() {
        if (!m_thread.joinable()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        m_stop = true;
        m_thread.join();
    }
    const std::vector<Datagram>& Datagrams() const { return m_datagrams; }

    uint64_t Bytes() const {
        uint64_t total = 0;
        for (const auto& d : m_datagrams) total += d.bytes.size();
        return total;
    }

    // Frames in order of arrival. The video PID is the one whose PES packets carry video (0xE0).
    std::vector<Frame> Frames() const {
        std::vector<Frame> frames;
        bool open = false;
        for (const auto& datagram : m_datagrams) {
            const auto& b = datagram.bytes;
            for (size_t at = 0; at + 188 <= b.size(); at += 188) {
                const uint8_t* p = &b[at];
                if (p[0] != 0x47 || !(p[3] & 0x10)) continue;
                size_t offset = 4;
                if (p[3] & 0x20) offset += 1 + p[4];
                if (offset + 14 > 188) continue;
                const uint8_t* pes = p + offset;
                const bool start = (p[1] & 0x40) && pes[0] == 0 && pes[1] == 0 && pes[2] == 1;
                if (start && pes[3] == 0xE0) {
                    if (!(pes[7] & 0x80)) continue;
                    const int64_t pts = (int64_t(pes[9] >> 1) & 7) << 30 | int64_t(pes[10]) << 22 |
                                        int64_t(pes[11] >> 1) << 15 | int64_t(pes[12]) << 7 |
                                        int64_t(pes[13] >> 1);
                    frames.push_back({pts, datagram.arrival});
                    m_video_pid = ((p[1] & 0x1F) << 8) | p[2];
                    open = true;
                } else if (open && (((p[1] & 0x1F) << 8) | p[2]) == m_video_pid) {
                    frames.back().last_arrival = datagram.arrival;
                }
            }
        }
        return frames;
    }

    // The most bytes that arrived in any window of the given length, over the
    // mean bytes per window of the whole capture.
    double BurstRatio(std::chrono::milliseconds window) const {
        if (m_datagrams.size() < 2) return 0;
        const auto span = m_datagrams.back().arrival - m_datagrams.front().arrival;
        const double mean = double(Bytes()) * (double(window.count()) * 1e6) /
                            double(std::chrono::duration_cast<std::chrono::nanoseconds>(span).count());
        uint64_t most = 0;
        uint64_t in_window = 0;
        size_t end = 0;
        for (size_t start = 0; start < m_datagrams.size(); ++start) {
            while (end < m_datagrams.size() &&
                   m_datagrams[end].arrival < m_datagrams[start].arrival + window)
                in_window += m_datagrams[end++].bytes.size();
            most = std::max(most, in_window);
            in_window -= m_datagrams[start].bytes.size();
        }
        return double(most) / mean;
    }

private:
    void Receive() {
        std::vector<uint8_t> buffer(65536);
        while (!m_stop) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) continue;
            const ssize_t got = recv(m_fd, buffer.data(), buffer.size(), 0);
            if (got <= 0) continue;
            m_datagrams.push_back({Clock::now(), {buffer.begin(), buffer.begin() + got}});
        }
    }

    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::vector<Datagram> m_datagrams;  // read only after Stop
    mutable int m_video_pid = -1;
};
