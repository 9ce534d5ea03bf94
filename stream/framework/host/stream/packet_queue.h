#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>
#include <sys/uio.h>

#include "component_output.h"

// The sender's bounded queue of TS bytes, kept as the published chunks
// themselves (no copy). Datagrams are cut from the front in whole packets.
// It is bounded in bytes, and by age: a stall of the network must not leave
// the receiver seconds behind for long after it.
class PacketQueue {
public:
    static constexpr size_t PACKET = 188;

    struct FrameDone {
        uint64_t frame_number;
        std::chrono::steady_clock::time_point created;
    };

    explicit PacketQueue(size_t limit_bytes);

    // Appends the chunk, queued at `now`; when the queue then holds more than
    // its limit, the oldest whole packets go. Returns how many packets were dropped.
    uint64_t Push(const MediaChunk& chunk, std::chrono::steady_clock::time_point now);
    // Drops the frames at the front queued before `cutoff`, each to its last
    // chunk queued; returns how many packets went.
    uint64_t DropQueuedBefore(std::chrono::steady_clock::time_point cutoff);

    size_t GetBytes() const { return m_bytes; }
    size_t GetWholePacketBytes() const { return m_bytes - m_bytes % PACKET; }
    size_t GetLimit() const { return m_limit; }

    // Points iov at the first `bytes` queued bytes (bytes <= GetBytes()).
    void Gather(size_t bytes, std::vector<iovec>& iov) const;
    // Removes the first `bytes`; frames whose last byte went are appended to done.
    void Consume(size_t bytes, std::vector<FrameDone>& done);
    // Empties the queue; returns the whole packets it held.
    uint64_t Clear();

private:
    struct Entry {
        MediaChunk chunk;
        size_t offset;  // bytes of the chunk already consumed
        std::chrono::steady_clock::time_point queued;
    };
    // Removes bytes from the front, reporting completed frames when done is set.
    void Advance(size_t bytes, std::vector<FrameDone>* done);

    size_t m_limit;
    size_t m_bytes = 0;
    std::deque<Entry> m_entries;
};
