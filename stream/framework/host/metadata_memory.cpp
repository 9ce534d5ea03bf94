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
