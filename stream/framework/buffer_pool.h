#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "buffer.h"
#include "status.h"

namespace morwick {

class BufferPoolState;

// Hands out at most `count` buffers of `size` bytes at a time. A buffer goes
// back when its last shared_ptr goes; one that outlives the pool is freed then.
// The `preallocate` buffers are made on a thread of their own, every page in
// place, while the holder goes on with other work; GetBuffer waits for one
// that is being made rather than make another.
class AndroidMetadataBufferPool {
public:
    struct Configuration {
        uint32_t count;          // buffers out at once
        uint32_t scanlines;      // BufferFormat::scanlines of the frames held
        uint32_t alignment;      // size granularity in bytes (0 or a power of two; at least a page)
        uint32_t usage;          // the holder's usage bits, kept for reports
        uint32_t preallocate;    // buffers made up front; the rest when first asked for
        uint32_t stride;         // BufferFormat::stride of the frames held
        uint32_t size;           // bytes per buffer (BufferFormat::size)
    };

    AndroidMetadataBufferPool(const std::string& name, const Configuration& configuration);
    ~AndroidMetadataBufferPool();
    AndroidMetadataBufferPool(const AndroidMetadataBufferPool&) = delete;
    AndroidMetadataBufferPool& operator=(const AndroidMetadataBufferPool&) = delete;

    // Waits up to wait_ms milliseconds (0: not at all) for a free buffer.
    // FAILURE_TRY_AGAIN when none came free, FAILURE_ALLOCATION when memory
    // could not be had, FAILURE_INVALID for a pool of no buffers or no size.
    Status GetBuffer(std::shared_ptr<Buffer>& buffer, int wait_ms);

    const std::string& GetName() const;
    const Configuration& GetConfiguration() const;
    // Buffers handed out and not yet returned.
    uint32_t GetOutstanding() const;

private:
    std::shared_ptr<BufferPoolState> m_state;
};

}  // namespace morwick
