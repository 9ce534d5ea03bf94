#pragma once

// A loopback UDP receiver on an ephemeral port (or a given one) that keeps every
// datagram it gets, with its arrival time and hop limit, on a thread of its own
// until stopped or closed; it may join multicast groups.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

class UdpCapture {
public:
    using Clock = std::chrono::steady_clock;
    struct Datagram {
        Clock::time_point arrival;
        std::vector<uint8_t> bytes;
        int hops = -1;  // the TTL or hop limit it arrived with
    };

    // "127.0.0.1" or "::1" (or "0.0.0.0", "::" to join groups); port 0 takes a free one.
    explicit UdpCapture(const std::string& address = "127.0.0.1", int port = 0) {
        const bool v6 = address.find(':') != std::string::npos;
        m_fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0) {
            ADD_FAILURE() << "socket: " << strerror(errno);
            return;
        }
        const int buffer = 8 << 20;  // no loss while the test thread is busy
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
        const int on = 1;
        // Receivers of a group share its port.
        if (address == "0.0.0.0" || address == "::") setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (setsockopt(m_fd, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_RECVHOPLIMIT : IP_RECVTTL, &on, sizeof on) != 0)
            ADD_FAILURE() << "cannot ask for hop limits: " << strerror(errno);
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (v6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr);
            length = sizeof(*in6);
        } else {
            auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
            in4->sin_family = AF_INET;
            in4->sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, address.c_str(), &in4->sin_addr);
            length = sizeof(*in4);
        }
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
            ADD_FAILURE() << "cannot bind a UDP socket to " << address << ": " << strerror(errno)
                          << " (the loopback rig is missing)";
            return;
        }
        m_v6 = v6;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&storage), &length);
        m_port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                          : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
        m_thread = std::thread([this] { Receive(); });
    }
    ~UdpCapture() { Close(); }
    UdpCapture(const UdpCapture&) = delete;
    UdpCapture& operator=(const UdpCapture&) = delete;

    int Port() const { return m_port; }
    std::string PortText() const { return std::to_string(m_port); }

    // Joins `group` on the interface of that index.
    void Join(const std::string& group, unsigned interface) {
        int result = 0;
        if (m_v6) {
            ipv6_mreq request{};
            inet_pton(AF_INET6, group.c_str(), &request.ipv6mr_multiaddr);
            request.ipv6mr_interface = interface;
            result = setsockopt(m_fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request);
        } else {
            ip_mreqn request{};
            inet_pton(AF_INET, group.c_str(), &request.imr_multiaddr);
            request.imr_ifindex = static_cast<int>(interface);
            result = setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
        }
        if (result != 0) ADD_FAILURE() << "cannot join " << group << ": " << strerror(errno);
    }
    // Takes only the groups this socket joined: by default Linux gives a socket
    // those that any socket of its namespace joined on its port.
    void TakeOnlyJoinedGroups() {
        const int off = 0;
        if (setsockopt(m_fd, m_v6 ? IPPROTO_IPV6 : IPPROTO_IP, m_v6 ? IPV6_MULTICAST_ALL : IP_MULTICAST_ALL, &off,
                       sizeof off) != 0)
            ADD_FAILURE() << "cannot take only the joined groups: " << strerror(errno);
    }

    // Waits for what is still in flight, then stops receiving.
    void Stop() {
        if (!m_thread.joinable()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_stop = true;
        m_thread.join();
    }
    // Stops, keeps what is still in the socket, and closes it: from now on nobody
    // listens on the port.
    void Close() {
        Stop();
        if (m_fd < 0) return;
        std::vector<uint8_t> buffer(65536);
        while (ReadOne(buffer, MSG_DONTWAIT)) {
        }
        close(m_fd);
        m_fd = -1;
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
            if (poll(&pfd, 1, 20) > 0) ReadOne(buffer, 0);
        }
    }

    bool ReadOne(std::vector<uint8_t>& buffer, int flags) {
        iovec piece{buffer.data(), buffer.size()};
        alignas(cmsghdr) char control[64];
        msghdr message{};
        message.msg_iov = &piece;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(m_fd, &message, flags);
        if (got < 0) return false;
        int hops = -1;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header))
            if ((header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_TTL) ||
                (header->cmsg_level == IPPROTO_IPV6 && header->cmsg_type == IPV6_HOPLIMIT))
                memcpy(&hops, CMSG_DATA(header), sizeof hops);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_datagrams.push_back({Clock::now(), {buffer.begin(), buffer.begin() + got}, hops});
        return true;
    }

    int m_fd = -1;
    bool m_v6 = false;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<Datagram> m_datagrams;
};

// A loopback receiver too slow to keep up: the smallest receive buffer, and
// nothing read until the run is over, so its kernel drops what does not fit.
class StalledReceiver {
public:
    StalledReceiver() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int smallest = 1;  // the kernel rounds it up to its minimum
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (m_fd < 0 || setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof(smallest)) != 0 ||
            bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot set up a loopback receiver: " << strerror(errno);
            return;
        }
        m_port = ntohs(address.sin_port);
    }
    ~StalledReceiver() {
        if (m_fd >= 0) close(m_fd);
    }
    StalledReceiver(const StalledReceiver&) = delete;
    StalledReceiver& operator=(const StalledReceiver&) = delete;

    int Port() const { return m_port; }
    // What the buffer holds now.
    std::vector<UdpCapture::Datagram> Drain() {
        std::vector<UdpCapture::Datagram> datagrams;
        std::vector<uint8_t> buffer(65536);
        for (;;) {
            const ssize_t got = recv(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got < 0) return datagrams;
            datagrams.push_back({UdpCapture::Clock::now(), {buffer.begin(), buffer.begin() + got}});
        }
    }
    // Datagrams the kernel dropped for want of room: the drops column of this
    // socket's row in /proc/net/udp (found by inode). SO_MEMINFO would say the
    // same, but qemu-user copies only its first word.
    uint64_t Drops() const {
        struct stat st {};
        if (fstat(m_fd, &st) != 0) ADD_FAILURE() << "fstat: " << strerror(errno);
        std::ifstream table("/proc/net/udp");
        std::string line;
        std::getline(table, line);  // the heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::vector<std::string> words;
            for (std::string word; fields >> word;) words.push_back(word);
            if (words.size() >= 13 && words[9] == std::to_string(st.st_ino)) return std::stoull(words[12]);
        }
        ADD_FAILURE() << "no row in /proc/net/udp for the socket of port " << m_port;
        return 0;
    }

private:
    int m_fd = -1;
    int m_port = 0;
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
