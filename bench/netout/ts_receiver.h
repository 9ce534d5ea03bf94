#pragma once

// A loopback UDP receiver for measurements: keeps every datagram with the
// kernel's receive time stamp (SO_TIMESTAMPNS, CLOCK_REALTIME), then reads the
// MPEG-TS back into frames (by the video PES starts and their time stamps).
// The kernel stamps a loopback datagram inside the sender's sendmsg, so the
// stamps do not depend on when this process's thread gets the CPU.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

// A UDP socket on a free loopback port with a 32 MiB receive buffer (root, or
// CAP_NET_ADMIN), so that no datagram is lost while the reading thread waits
// for the CPU. Returns the descriptor; throws when any step fails.
inline int OpenLoopbackReceiver(int& port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(std::string("socket: ") + strerror(errno));
    const int buffer = 32 << 20;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        close(fd);
        throw std::runtime_error(std::string("loopback receiver: ") + strerror(error));
    }
    port = ntohs(address.sin_port);
    return fd;
}

class TsReceiver {
public:
    struct Datagram {
        int64_t arrival_ns;  // CLOCK_REALTIME, from the kernel
        std::vector<uint8_t> bytes;
    };
    // One video frame as the receiver saw it.
    struct Frame {
        int64_t pts;              // 90 kHz, 33 bits
        int64_t last_arrival_ns;  // arrival of the datagram with its last packet
    };

    TsReceiver() {
        m_fd = OpenLoopbackReceiver(m_port);
        const int on = 1;
        if (setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) != 0) {
            close(m_fd);
            throw std::runtime_error(std::string("receiver setsockopt: ") + strerror(errno));
        }
        m_thread = std::thread([this] { Receive(); });
    }
    ~TsReceiver() {
        Stop();
        close(m_fd);
    }
    TsReceiver(const TsReceiver&) = delete;
    TsReceiver& operator=(const TsReceiver&) = delete;

    int Port() const { return m_port; }
    // Takes what is still in the socket, then stops.
    void Stop() {
        if (!m_thread.joinable()) return;
        m_stop = true;
        m_thread.join();
    }
    // Datagrams dropped from the record because the kernel gave no time stamp.
    uint64_t Unstamped() const { return m_unstamped; }
    // Datagrams taken so far; may be read while receiving.
    uint64_t Received() const { return m_received; }
    const std::vector<Datagram>& Datagrams() const { return m_datagrams; }

    uint64_t Bytes() const {
        uint64_t total = 0;
        for (const auto& d : m_datagrams) total += d.bytes.size();
        return total;
    }

    // Frames in order of arrival. The video PID is the one whose PES packets carry video (0xE0).
    std::vector<Frame> Frames() const {
        std::vector<Frame> frames;
        int video_pid = -1;
        for (const auto& datagram : m_datagrams) {
            const auto& b = datagram.bytes;
            for (size_t at = 0; at + 188 <= b.size(); at += 188) {
                const uint8_t* p = &b[at];
                if (p[0] != 0x47 || !(p[3] & 0x10)) continue;
                const int pid = ((p[1] & 0x1F) << 8) | p[2];
                size_t offset = 4;
                if (p[3] & 0x20) offset += 1 + p[4];
                if (offset + 14 > 188) {
                    if (pid == video_pid && !frames.empty())
                        frames.back().last_arrival_ns = datagram.arrival_ns;
                    continue;
                }
                const uint8_t* pes = p + offset;
                const bool start = (p[1] & 0x40) && pes[0] == 0 && pes[1] == 0 && pes[2] == 1;
                if (start && pes[3] == 0xE0 && (pes[7] & 0x80)) {
                    const int64_t pts = (int64_t(pes[9] >> 1) & 7) << 30 | int64_t(pes[10]) << 22 |
                                        int64_t(pes[11] >> 1) << 15 | int64_t(pes[12]) << 7 |
                                        int64_t(pes[13] >> 1);
                    frames.push_back({pts, datagram.arrival_ns});
                    video_pid = pid;
                } else if (pid == video_pid && !frames.empty()) {
                    frames.back().last_arrival_ns = datagram.arrival_ns;
                }
            }
        }
        return frames;
    }

    // The most bytes that arrived in any window of the given length, over the
    // mean bytes per window of the whole capture.
    double BurstRatio(int64_t window_ns) const {
        if (m_datagrams.size() < 2) return 0;
        const int64_t span = m_datagrams.back().arrival_ns - m_datagrams.front().arrival_ns;
        if (span <= 0) return 0;
        const double mean = double(Bytes()) * double(window_ns) / double(span);
        uint64_t most = 0;
        uint64_t in_window = 0;
        size_t end = 0;
        for (size_t start = 0; start < m_datagrams.size(); ++start) {
            while (end < m_datagrams.size() &&
                   m_datagrams[end].arrival_ns < m_datagrams[start].arrival_ns + window_ns)
                in_window += m_datagrams[end++].bytes.size();
            most = std::max<uint64_t>(most, in_window);
            in_window -= m_datagrams[start].bytes.size();
        }
        return double(most) / mean;
    }

private:
    void Receive() {
        std::vector<uint8_t> buffer(65536);
        for (;;) {
            const bool last_pass = m_stop;
            // After the stop request, drain without waiting.
            pollfd pfd{m_fd, POLLIN, 0};
            if (poll(&pfd, 1, last_pass ? 0 : 20) <= 0) {
                if (last_pass) return;
                continue;
            }
            while (ReceiveOne(buffer)) {
            }
        }
    }

    bool ReceiveOne(std::vector<uint8_t>& buffer) {
        char control[256];
        iovec piece{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_iov = &piece;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        const ssize_t got = recvmsg(m_fd, &message, MSG_DONTWAIT);
        if (got <= 0) return false;
        ++m_received;
        int64_t stamp_ns = -1;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp;
                memcpy(&stamp, CMSG_DATA(header), sizeof(stamp));
                stamp_ns = int64_t(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
            }
        }
        if (stamp_ns < 0) {
            ++m_unstamped;
            return true;
        }
        m_datagrams.push_back({stamp_ns, {buffer.begin(), buffer.begin() + got}});
        return true;
    }

    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::vector<Datagram> m_datagrams;  // read only after Stop
    std::atomic<uint64_t> m_received{0};
    uint64_t m_unstamped = 0;
};
