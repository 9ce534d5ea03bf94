#include "packet_queue.h"

#include <algorithm>

PacketQueue::PacketQueue(size_t limit_bytes) : m_limit(std::max(limit_bytes, PACKET)) {}

uint64_t PacketQueue::Push(const MediaChunk& chunk, std::chrono::steady_clock::time_point now) {
    if (!chunk.bytes || chunk.bytes->empty()) return 0;
    m_entries.push_back({chunk, 0, now});
    m_bytes += chunk.bytes->size();
    if (m_bytes <= m_limit) return 0;
    // Oldest first: for live video the newest data is the useful part.
    const size_t excess = m_bytes - m_limit;
    const size_t packets = (excess + PACKET - 1) / PACKET;
    const size_t drop = std::min(packets * PACKET, m_bytes - m_bytes % PACKET);
    Advance(drop, nullptr);
    return drop / PACKET;
}

uint64_t PacketQueue::DropQueuedBefore(std::chrono::steady_clock::time_point cutoff) {
    size_t dropped = 0;
    while (!m_entries.empty() && m_entries.front().queued < cutoff) {
        // Whole frames: the rest of the front one goes with it.
        bool last = false;
        while (!last && !m_entries.empty()) {
            const Entry& front = m_entries.front();
            last = front.chunk.last_of_frame;
            dropped += front.chunk.bytes->size() - front.offset;
            m_entries.pop_front();
        }
    }
    m_bytes -= dropped;
    return dropped / PACKET;
}

void PacketQueue::Gather(size_t bytes, std::vector<iovec>& iov) const {
    iov.clear();
    for (const auto& entry : m_entries) {
        if (bytes == 0) break;
        const size_t take = std::min(bytes, entry.chunk.bytes->size() - entry.offset);
        iov.push_back({const_cast<uint8_t*>(entry.chunk.bytes->data() + entry.offset), take});
        bytes -= take;
    }
}

void PacketQueue::Consume(size_t bytes, std::vector<FrameDone>& done) { Advance(bytes, &done); }

void PacketQueue::Advance(size_t bytes, std::vector<FrameDone>* done) {
    while (bytes > 0 && !m_entries.empty()) {
        Entry& front = m_entries.front();
        const size_t take = std::min(bytes, front.chunk.bytes->size() - front.offset);
        front.offset += take;
        m_bytes -= take;
        bytes -= take;
        if (front.offset == front.chunk.bytes->size()) {
            // Dropping the end of a frame does not count as sending it.
            if (done && front.chunk.last_of_frame)
                done->push_back({front.chunk.frame_number, front.chunk.created});
            m_entries.pop_front();
        }
    }
}

uint64_t PacketQueue::Clear() {
    const uint64_t packets = m_bytes / PACKET;
    m_entries.clear();
    m_bytes = 0;
    return packets;
}
