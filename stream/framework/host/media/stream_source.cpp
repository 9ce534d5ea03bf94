#include "stream_source.h"

#include <algorithm>

Status StreamSource::AddSink(std::shared_ptr<StreamSink> sink) {
    if (!sink) return Status::FAILURE_NULL_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::find(m_sinks.begin(), m_sinks.end(), sink) != m_sinks.end()) return Status::FAILURE_INVALID;
    m_sinks.push_back(std::move(sink));
    return Status::SUCCESS;
}

Status StreamSource::RemoveSink(std::shared_ptr<StreamSink> sink) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = std::find(m_sinks.begin(), m_sinks.end(), sink);
    if (!sink || found == m_sinks.end()) return Status::FAILURE_INVALID;
    m_sinks.erase(found);
    return Status::SUCCESS;
}

size_t StreamSource::GetSinkCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sinks.size();
}

Status StreamSource::Deliver(const std::shared_ptr<Buffer>& buffer) {
    // A sink may detach itself (or another) while it is being called.
    std::vector<std::shared_ptr<StreamSink>> sinks;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sinks = m_sinks;
    }
    Status first = Status::SUCCESS;
    for (const auto& sink : sinks) {
        const Status status = sink->PushBuffer(buffer);
        if (first == Status::SUCCESS) first = status;
    }
    return first;
}
