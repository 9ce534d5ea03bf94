#include "component_output.h"

#include <algorithm>

ComponentOutput::ComponentOutput(std::string name) : m_name(std::move(name)) {}

const std::string& ComponentOutput::GetName() const { return m_name; }

uint64_t ComponentOutput::Subscribe(Consumer consumer) {
    const uint64_t id = m_next_id++;
    m_consumers.push_back({id, std::move(consumer)});
    return id;
}

void ComponentOutput::Unsubscribe(uint64_t id) {
    m_consumers.erase(std::remove_if(m_consumers.begin(), m_consumers.end(),
                                     [id](const Subscription& s) { return s.id == id; }),
                      m_consumers.end());
}

size_t ComponentOutput::GetConsumerCount() const { return m_consumers.size(); }

void ComponentOutput::Publish(const MediaChunk& chunk) {
    if (chunk.bytes) m_published_bytes += chunk.bytes->size();
    // Ids taken first: a consumer that unsubscribes during the call must not be
    // called afterwards, and the list may change under us.
    std::vector<uint64_t> ids;
    ids.reserve(m_consumers.size());
    for (const auto& subscription : m_consumers) ids.push_back(subscription.id);
    for (const uint64_t id : ids) {
        const auto found = std::find_if(m_consumers.begin(), m_consumers.end(),
                                        [id](const Subscription& s) { return s.id == id; });
        if (found == m_consumers.end()) continue;
        const Consumer consumer = found->consumer;
        consumer(chunk);
    }
}

uint64_t ComponentOutput::GetPublishedBytes() const { return m_published_bytes; }
