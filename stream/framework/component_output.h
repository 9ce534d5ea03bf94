#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One piece of a component's output stream: whole 188-byte MPEG-TS packets
// and the timing a consumer needs to pace and measure them.
struct MediaChunk {
    // Shared, never modified after publishing: consumers keep the pointer.
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    // When the frame these bytes belong to was made (captured or generated).
    std::chrono::steady_clock::time_point created;
    // Counts frames from 0; every chunk of one frame carries the same number.
    uint64_t frame_number = 0;
    // This chunk ends its frame (the frame's last byte is in it).
    bool last_of_frame = true;
    // Nominal time between frames; zero when unknown.
    std::chrono::microseconds frame_interval{0};
    // Nominal stream rate in bits per second; zero when unknown.
    int64_t bit_rate = 0;
};

// A named output of a component. Publish hands each chunk, synchronously and
// in subscription order, to every consumer subscribed at that moment.
class ComponentOutput {
public:
    using Consumer = std::function<void(const MediaChunk& chunk)>;

    explicit ComponentOutput(std::string name);
    ComponentOutput(const ComponentOutput&) = delete;
    ComponentOutput& operator=(const ComponentOutput&) = delete;

    const std::string& GetName() const;

    // Returns an id for Unsubscribe (never 0).
    uint64_t Subscribe(Consumer consumer);
    void Unsubscribe(uint64_t id);
    size_t GetConsumerCount() const;

    // A consumer may unsubscribe itself or others while being called.
    void Publish(const MediaChunk& chunk);
    uint64_t GetPublishedBytes() const;

private:
    struct Subscription {
        uint64_t id;
        Consumer consumer;
    };
    std::string m_name;
    uint64_t m_next_id = 1;
    uint64_t m_published_bytes = 0;
    std::vector<Subscription> m_consumers;
};
