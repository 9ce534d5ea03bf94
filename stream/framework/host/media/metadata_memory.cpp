#include "metadata_memory.h"

#include <cerrno>
#include <sys/mman.h>

#include "buffer.h"
#include "log.h"

namespace {

// A shared mapping of a buffer's memfd, unmapped with the last reference.
class MappedMemory : public android::IMemory {
public:
    MappedMemory(void* address, size_t size) : m_address(address), m_size(size) {}
    void* pointer() const override { return m_address; }
    size_t size() const override { return m_size; }

protected:
    ~MappedMemory() override {
        if (m_address) munmap(m_address, m_size);
    }

private:
    void* m_address;
    size_t m_size;
};

// A buffer of this process seen through its own mapping; the buffer stays
// alive (and out of its pool) while the memory is referenced.
class BufferMemory : public android::IMemory {
public:
    explicit BufferMemory(std::shared_ptr<Buffer> buffer) : m_buffer(std::move(buffer)) {}
    void* pointer() const override { return m_buffer->GetAddress(); }
    size_t size() const override { return m_buffer->GetSize(); }

protected:
    ~BufferMemory() override = default;

private:
    const std::shared_ptr<Buffer> m_buffer;
};

android::sp<android::IMemory> Map(void* data) {
    const Log& log = Log::Instance();
    const auto* handle = static_cast<const BufferHandle*>(data);
    if (!handle) {
        log.Errorf("MetadataMemory: no buffer descriptor");
        return nullptr;
    }
    if (handle->magic != BufferHandle::MAGIC || handle->fd < 0 || handle->size == 0) {
        log.Errorf("MetadataMemory: %p is not a buffer descriptor", data);
        return nullptr;
    }
    // Mapping it a second time would cost a second set of page faults.
    if (std::shared_ptr<Buffer> buffer = Buffer::FromData(data)) return new BufferMemory(std::move(buffer));
    errno = 0;
    void* address = mmap(nullptr, handle->size, PROT_READ | PROT_WRITE, MAP_SHARED, handle->fd, 0);
    if (address == MAP_FAILED) {
        log.Errorf("MetadataMemory: mmap(fd %d, %u): (%d) %m", handle->fd, handle->size, errno);
        return nullptr;
    }
    return new MappedMemory(address, handle->size);
}

}  // namespace

namespace morwick {

MetadataMemory::MetadataMemory(void* data) : m_memory(Map(data)) {
    // Callers use the memory without a test: an empty view, never a null one.
    if (!m_memory) m_memory = new MappedMemory(nullptr, 0);
}

MetadataMemory::~MetadataMemory() = default;

}  // namespace morwick
