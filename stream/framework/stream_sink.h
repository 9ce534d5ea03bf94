#pragma once

#include <memory>

#include "buffer.h"
#include "status.h"

// Receives frames from a StreamSource, one call at a time.
class StreamSink {
public:
    virtual ~StreamSink() = default;
    virtual Status PushBuffer(const std::shared_ptr<Buffer>& buffer) = 0;
};
