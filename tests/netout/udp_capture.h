#pragma once

// A loopback UDP receiver on an ephemeral port that keeps every datagram it
// gets, with its arrival time, on a thread of its own until stopped.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

class UdpCapture {
public:
    using Clock = std::chrono::steady_clock;
    struct Datagram {
        Clock::time_point arrival;
        std::vector<uint8_t> bytes;
    };

    // "127.0.0.1" or "::1".
    explicit UdpCapture(const std::string& address = "127.0.0.1") {
        const bool v6 = address.find(':') != std::string::npos;
        m_fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0) {
            ADD_FAILURE() << "socket: " << strerror(errno);
            return;
        }
        const int buffer = 8 << 20;  // no loss while the test thread is busy
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (v6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
            in6->sin6_family = AF_INET6;
            inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr);
            length = sizeof(*in6);
        } else {
            auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
            in4->sin_family = AF_INET;
            inet_pton(AF_INET, address.c_str(), &in4->sin_addr);
            length = sizeof(*in4);
        }
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
            ADD_FAILURE() << "cannot bind a UDP socket to " << address << ": " << strerror(errno)
                          << " (the loopback rig is missing)";
            return;
        }
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&storage), &length);
        m_port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                          : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
        m_thread = std::thread([this] { Receive(); });
    }
    ~UdpCapture() {
        Stop();
        if (m_fd >= 0) close(m_fd);
    }
    UdpCapture(const UdpCapture&) = delete;
    UdpCapture& operator=(const UdpCapture&) = delete;

    int Port() const { return m_port; }
    std::string PortText() const { return std::to_string(m_port); }

    // Waits for what is still in flight, then stops receiving.
    void Stop() {
        if (!m_thread.joinable()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_stop = true;
        m_thread.join();
    }
    std::vector<Datagram> Datagrams() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_datagrams;
    }

private:
    void Receive() {
        std::vector<uint8_t> buffer(65536);
        while (!m_stop) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) continue;
            const ssize_t got = recv(m_fd, buffer.data(), buffer.size(), 0);
            if (got < 0) continue;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_datagrams.push_back({Clock::now(), {buffer.begin(), buffer.begin() + got}});
        }
    }

    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<Datagram> m_datagrams;
};

// Every datagram a whole number of TS packets, at most max_size bytes, a sync
// byte at every packet, and no continuity counter gap on any PID.
inline void ExpectWellFormedTs(const std::vector<UdpCapture::Datagram>& datagrams, size_t max_size) {
    int last_cc[8192];
    std::fill(std::begin(last_cc), std::end(last_cc), -1);
    size_t index = 0;
    for (const auto& datagram : datagrams) {
        const auto& bytes = datagram.bytes;
        ASSERT_LE(bytes.size(), max_size) << "datagram " << index;
        ASSERT_EQ(bytes.size() % 188, 0u) << "datagram " << index;
        ASSERT_FALSE(bytes.empty()) << "datagram " << index;
        for (size_t at = 0; at < bytes.size(); at += 188) {
            ASSERT_EQ(bytes[at], 0x47) << "datagram " << index << " packet " << at / 188;
            const int pid = ((bytes[at + 1] & 0x1F) << 8) | bytes[at + 2];
            const bool payload = (bytes[at + 3] & 0x10) != 0;
            const int cc = bytes[at + 3] & 0x0F;
            if (pid == 0x1FFF) continue;  // null packets carry no counter
            if (last_cc[pid] >= 0) {
                const int expected = payload ? (last_cc[pid] + 1) & 0x0F : last_cc[pid];
                ASSERT_EQ(cc, expected) << "continuity gap on PID " << pid << " in datagram " << index;
            }
            last_cc[pid] = cc;
        }
        ++index;
    }
}

inline std::vector<uint8_t> Concatenate(const std::vector<UdpCapture::Datagram>& datagrams,
                                        size_t from = 0) {
    std::vector<uint8_t> bytes;
    for (size_t i = from; i < datagrams.size(); ++i)
        bytes.insert(bytes.end(), datagrams[i].bytes.begin(), datagrams[i].bytes.end());
    return bytes;
}
