#pragma once

// A fake TS source, a loopback UDP receiver and the select loop of the
// network-out program, for driving the stream components in tests.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "av_component.h"

namespace stream_rig {

using Clock = std::chrono::steady_clock;
constexpr size_t PACKET = 188;

// Publishes frames of numbered TS packets on "high_res": packet k of the
// whole stream carries k in bytes 4..7, so a receiver sees loss and order.
class FakeSource : public AVComponent {
public:
    explicit FakeSource(int64_t bit_rate = 2000000,
                        std::chrono::microseconds interval = std::chrono::microseconds(33333))
        : AVComponent("src0"), m_bit_rate(bit_rate), m_interval(interval) {
        m_output = AddOutput("high_res");
    }

    void Emit(size_t packets) {
        auto bytes = std::make_shared<std::vector<uint8_t>>(packets * PACKET, 0xff);
        for (size_t i = 0; i < packets; ++i) {
            uint8_t* packet = bytes->data() + i * PACKET;
            packet[0] = 0x47;
            packet[1] = 0x01;
            packet[3] = static_cast<uint8_t>(0x10 | (m_next_packet & 0x0f));
            const uint32_t number = htonl(static_cast<uint32_t>(m_next_packet++));
            memcpy(packet + 4, &number, sizeof number);
        }
        MediaChunk chunk;
        chunk.bytes = std::move(bytes);
        chunk.created = Clock::now();
        chunk.frame_number = m_frames++;
        chunk.frame_interval = m_interval;
        chunk.bit_rate = m_bit_rate;
        m_output->Publish(chunk);
    }

    // Publishes raw bytes as one chunk of a frame of its own.
    void EmitRaw(std::vector<uint8_t> raw) {
        MediaChunk chunk;
        chunk.bytes = std::make_shared<std::vector<uint8_t>>(std::move(raw));
        chunk.created = Clock::now();
        chunk.frame_number = m_frames++;
        chunk.frame_interval = m_interval;
        chunk.bit_rate = m_bit_rate;
        m_output->Publish(chunk);
    }

    uint64_t PacketsEmitted() const { return m_next_packet; }
    uint64_t FramesEmitted() const { return m_frames; }

private:
    std::shared_ptr<ComponentOutput> m_output;
    int64_t m_bit_rate;
    std::chrono::microseconds m_interval;
    uint64_t m_next_packet = 0;
    uint64_t m_frames = 0;
};

// A UDP socket on the loopback address with an ephemeral port.
class Receiver {
public:
    explicit Receiver(int family = AF_INET) {
        m_fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_fd < 0) {
            ADD_FAILURE() << "socket: " << strerror(errno);
            return;
        }
        const int size = 8 << 20;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        sockaddr_storage address{};
        socklen_t length;
        if (family == AF_INET6) {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
            v6->sin6_family = AF_INET6;
            v6->sin6_addr = in6addr_loopback;
            length = sizeof *v6;
        } else {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
            v4->sin_family = AF_INET;
            v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *v4;
        }
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) < 0) {
            ADD_FAILURE() << "bind to loopback (" << (family == AF_INET6 ? "::1" : "127.0.0.1")
                          << "): " << strerror(errno) << " - the test needs a loopback interface";
            return;
        }
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    ~Receiver() { Close(); }
    void Close() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

    int Port() const { return m_port; }
    int Fd() const { return m_fd; }

    // Reads everything waiting.
    void Drain() {
        std::vector<uint8_t> buffer(70000);
        for (;;) {
            const ssize_t got = recv(m_fd, buffer.data(), buffer.size(), 0);
            if (got < 0) return;
            datagrams.emplace_back(buffer.begin(), buffer.begin() + got);
        }
    }

    // The numbers the fake source wrote into the received packets, in arrival order.
    std::vector<uint32_t> PacketNumbers() const {
        std::vector<uint32_t> numbers;
        for (const auto& datagram : datagrams)
            for (size_t at = 0; at + PACKET <= datagram.size(); at += PACKET) {
                uint32_t number;
                memcpy(&number, datagram.data() + at + 4, sizeof number);
                numbers.push_back(ntohl(number));
            }
        return numbers;
    }

    std::vector<std::vector<uint8_t>> datagrams;

private:
    int m_fd = -1;
    int m_port = 0;
};

// The network-out program's cycle: setup, select, then either HandleTimeout
// or every component's HandleIOEvents. Runs until `done` or the time is up;
// the receiver is drained after every cycle.
template <typename Done>
void RunLoop(const std::vector<std::shared_ptr<AVComponent>>& components, Receiver* receiver,
             Clock::duration limit, Done done) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end && !done()) {
        IOEventData data;
        for (const auto& component : components) component->SetupIOEvents(data);
        // The receiver's descriptor wakes the loop as the program's would not; a
        // short cap on the wait keeps the test's own drain going instead.
        timeval cap{0, 2000};
        timeval timeout = data.HasTimeout() ? data.GetTimeout() : cap;
        if (timercmp(&timeout, &cap, >)) timeout = cap;
        const int ready = select(data.GetFdMax() + 1, data.GetFdsRead(), data.GetFdsWrite(),
                                 data.GetFdsError(), &timeout);
        ASSERT_GE(ready, 0) << "select: " << strerror(errno);
        if (ready == 0)
            data.HandleTimeout();
        else
            for (const auto& component : components) component->HandleIOEvents(data);
        if (receiver) receiver->Drain();
    }
    if (receiver) receiver->Drain();
}

}  // namespace stream_rig
