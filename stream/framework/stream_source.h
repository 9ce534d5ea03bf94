#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "buffer.h"
#include "status.h"
#include "stream_sink.h"

// Delivers a component's frames to the sinks attached to it.
class StreamSource {
public:
    StreamSource() = default;
    StreamSource(const StreamSource&) = delete;
    StreamSource& operator=(const StreamSource&) = delete;

    // FAILURE_NULL_POINTER for an empty sink, FAILURE_INVALID when already attached.
    Status AddSink(std::shared_ptr<StreamSink> sink);
    // FAILURE_INVALID when the sink is not attached.
    Status RemoveSink(std::shared_ptr<StreamSink> sink);
    size_t GetSinkCount() const;

    // Pushes the frame to every attached sink, in the order they were added,
    // and returns the first failure after all sinks had it.
    Status Deliver(const std::shared_ptr<Buffer>& buffer);

private:
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<StreamSink>> m_sinks;
};
