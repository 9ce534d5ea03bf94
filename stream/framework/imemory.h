#pragma once

#include <cstddef>

#include <utils/RefBase.h>
#include <utils/StrongPointer.h>

namespace android {

// A block of memory shared by reference (android::sp).
class IMemory : public RefBase {
public:
    // Start of the block; null when there is no memory behind the view.
    virtual void* pointer() const = 0;
    // Bytes at pointer(); 0 when there is no memory.
    virtual size_t size() const = 0;

protected:
    ~IMemory() override = default;
};

}  // namespace android
