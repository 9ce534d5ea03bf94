#include "buffer_pool.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "log.h"

namespace morwick {

// What the pool's buffers need to find their way back: it outlives the pool
// object for as long as a buffer that might return holds a weak reference.
class BufferPoolState {
public:
    BufferPoolState(const std::string& name, const AndroidMetadataBufferPool::Configuration& configuration)
        : m_name(name), m_configuration(configuration) {}

    std::string m_name;
    AndroidMetadataBufferPool::Configuration m_configuration;
    std::mutex m_mutex;
    std::condition_variable m_returned;
    std::vector<std::unique_ptr<Buffer>> m_free;
    uint32_t m_outstanding = 0;
    uint32_t m_allocated = 0;  // those being made included
    uint32_t m_preparing = 0;  // being made on the pool's own thread

    size_t BufferSize() const {
        size_t granule = m_configuration.alignment ? m_configuration.alignment : 1;
        return (m_configuration.size + granule - 1) / granule * granule;
    }

    // Makes `count` buffers, counted as allocated and preparing beforehand.
    void Prepare(uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            auto buffer = Buffer::Allocate(BufferSize(), m_name, true);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                --m_preparing;
                if (buffer)
                    m_free.push_back(std::move(buffer));
                else
                    --m_allocated;  // logged; made on demand instead
            }
            m_returned.notify_all();
        }
    }

    void Return(std::unique_ptr<Buffer> buffer) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            buffer->SetMetadata(BufferMetadata());
            buffer->SetFlags(0);
            m_free.push_back(std::move(buffer));
            --m_outstanding;
        }
        m_returned.notify_one();
    }
};

namespace {

bool ValidAlignment(uint32_t alignment) { return (alignment & (alignment - 1)) == 0; }

}  // namespace

AndroidMetadataBufferPool::AndroidMetadataBufferPool(const std::string& name,
                                                     const Configuration& configuration)
    : m_state(std::make_shared<BufferPoolState>(name, configuration)) {
    const Log& log = Log::Instance();
    if (configuration.count == 0 || configuration.size == 0 || !ValidAlignment(configuration.alignment)) {
        log.Errorf("Buffer pool %s: cannot hold %u buffers of %u bytes aligned to %u", name.c_str(),
                   configuration.count, configuration.size, configuration.alignment);
        return;
    }
    const uint32_t preallocate = std::min(configuration.preallocate, configuration.count);
    if (preallocate == 0) return;
    m_state->m_allocated = m_state->m_preparing = preallocate;
    // Detached, and holding the state: a process that exits without
    // destroying the pool has nothing to join, and nothing freed under it.
    try {
        std::thread([state = m_state, preallocate] { state->Prepare(preallocate); }).detach();
    } catch (const std::system_error& error) {
        log.Warnf("Buffer pool %s: no thread to prepare buffers (%s); making them now", name.c_str(), error.what());
        m_state->Prepare(preallocate);
    }
}

AndroidMetadataBufferPool::~AndroidMetadataBufferPool() {
    // Buffers still being made are freed with the pool, not some time after.
    std::unique_lock<std::mutex> lock(m_state->m_mutex);
    m_state->m_returned.wait(lock, [this] { return m_state->m_preparing == 0; });
}

Status AndroidMetadataBufferPool::GetBuffer(std::shared_ptr<Buffer>& buffer, int wait_ms) {
    const Configuration& configuration = m_state->m_configuration;
    if (configuration.count == 0 || configuration.size == 0 || !ValidAlignment(configuration.alignment))
        return Status::FAILURE_INVALID;

    std::unique_lock<std::mutex> lock(m_state->m_mutex);
    // A buffer being made comes sooner than a new one would, whatever the wait.
    m_state->m_returned.wait(lock, [this] { return !m_state->m_free.empty() || m_state->m_preparing == 0; });
    const auto available = [this] {
        return !m_state->m_free.empty() || m_state->m_allocated < m_state->m_configuration.count;
    };
    if (!m_state->m_returned.wait_for(lock, std::chrono::milliseconds(wait_ms > 0 ? wait_ms : 0), available))
        return Status::FAILURE_TRY_AGAIN;

    std::unique_ptr<Buffer> taken;
    if (!m_state->m_free.empty()) {
        taken = std::move(m_state->m_free.back());
        m_state->m_free.pop_back();
    } else {
        // Made with every page in place: one call maps them all, which costs
        // far less than a fault a page when the frame is first written. Made
        // outside the lock, and counted first so no other caller goes past the count.
        ++m_state->m_allocated;
        lock.unlock();
        taken = Buffer::Allocate(m_state->BufferSize(), m_state->m_name, true);
        lock.lock();
        if (!taken) {
            --m_state->m_allocated;
            m_state->m_returned.notify_all();
            return Status::FAILURE_ALLOCATION;
        }
    }
    ++m_state->m_outstanding;

    std::weak_ptr<BufferPoolState> home = m_state;
    buffer = std::shared_ptr<Buffer>(taken.release(), [home](Buffer* raw) {
        std::unique_ptr<Buffer> returned(raw);
        if (auto state = home.lock()) state->Return(std::move(returned));
        // Otherwise the pool is gone and the buffer is freed here.
    });
    return Status::SUCCESS;
}

const std::string& AndroidMetadataBufferPool::GetName() const { return m_state->m_name; }

const AndroidMetadataBufferPool::Configuration& AndroidMetadataBufferPool::GetConfiguration() const {
    return m_state->m_configuration;
}

uint32_t AndroidMetadataBufferPool::GetOutstanding() const {
    std::lock_guard<std::mutex> lock(m_state->m_mutex);
    return m_state->m_outstanding;
}

}  // namespace morwick
