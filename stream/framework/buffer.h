#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "buffer_metadata.h"

// The descriptor GetData hands out: it names the buffer's memory so that a
// view (morwick::MetadataMemory) can map it on its own, as another process would.
struct BufferHandle {
    static constexpr uint32_t MAGIC = 0x4C4D4248;  // "HBML"
    uint32_t magic = MAGIC;
    int32_t fd = -1;      // memfd of the block
    uint32_t size = 0;    // bytes of the block
};

// One block of shared memory (memfd, page aligned, mapped in this process)
// with the metadata of what it holds. Buffers come from a pool, which takes
// them back when the last shared_ptr goes.
class Buffer : public std::enable_shared_from_this<Buffer> {
public:
    // A new block of at least `size` bytes, rounded up to whole pages.
    // Null, with the failed call logged, when memory cannot be had.
    // `populate` has every page allocated and mapped now, so that the first
    // writes cost no page faults (worth it where the caller has time to spare).
    static std::unique_ptr<Buffer> Allocate(size_t size, const std::string& name, bool populate = false);

    // A buffer over `size` bytes at `address`: memory the caller mapped and
    // keeps mapped while the buffer lives; nothing is allocated or unmapped.
    // It has no descriptor, so a view through GetData (morwick::MetadataMemory)
    // cannot map it. For memory laid out by hand, such as a frame that ends
    // right before an inaccessible page. Null, with the reason logged, for no
    // memory or more than 32 bits of size.
    static std::unique_ptr<Buffer> Borrow(uint8_t* address, size_t size);

    // The buffer whose descriptor (GetData) is `data`, when it lives in this
    // process and is held by a shared_ptr; empty otherwise.
    static std::shared_ptr<Buffer> FromData(const void* data);

    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    BufferMetadata GetMetadata() const { return m_metadata; }
    void SetMetadata(const BufferMetadata& metadata) { m_metadata = metadata; }

    // The buffer's descriptor (a BufferHandle), for morwick::MetadataMemory.
    void* GetData() { return &m_handle; }

    // Free-form flags of the holder; the framework keeps them and never reads them.
    uint32_t GetFlags() const { return m_flags; }
    void SetFlags(uint32_t flags) { m_flags = flags; }

    // The block as mapped in this process, and its size in bytes.
    uint8_t* GetAddress() const { return m_address; }
    size_t GetSize() const { return m_size; }

private:
    Buffer(int fd, uint8_t* address, size_t size);

    int m_fd;  // -1 for borrowed memory
    uint8_t* m_address;
    size_t m_size;
    BufferHandle m_handle;
    BufferMetadata m_metadata;
    uint32_t m_flags = 0;
};
