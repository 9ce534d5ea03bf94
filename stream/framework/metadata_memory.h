#pragma once

#include "imemory.h"

namespace morwick {

// Maps the memory named by a buffer's descriptor (Buffer::GetData) into this
// process. The mapping lives while the view or any IMemory reference from
// GetMemory does. A buffer of this process held by a shared_ptr is not mapped
// again: its own mapping is used, and the buffer is kept alive meanwhile. A descriptor that is null or not a buffer's is logged and
// gives an empty memory (null pointer, size 0).
class MetadataMemory {
public:
    explicit MetadataMemory(void* data);
    ~MetadataMemory();
    MetadataMemory(const MetadataMemory&) = delete;
    MetadataMemory& operator=(const MetadataMemory&) = delete;

    android::sp<android::IMemory> GetMemory() const { return m_memory; }

private:
    android::sp<android::IMemory> m_memory;
};

}  // namespace morwick
