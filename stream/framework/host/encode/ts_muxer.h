#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "status.h"

// An MPEG-TS muxer writing into memory: one H.264 stream, and each frame's TS
// packets handed to the sink as soon as the frame is written. Made by
// CreateTsMuxer (codec_module.h); the implementation lives in the codec module.
class TsMuxer {
public:
    static constexpr size_t TS_PACKET_SIZE = 188;
    // Output is handed on in whole TS packets, at most this many bytes at a time.
    static constexpr size_t IO_BUFFER_SIZE = TS_PACKET_SIZE * 7;

    using Sink = std::function<void(const uint8_t* data, size_t size)>;

    virtual ~TsMuxer() = default;

    virtual Status Open(int width, int height, int fps, Sink sink) = 0;
    virtual bool IsOpen() const = 0;
    // Writes the trailer (nothing for TS but flushed state) and frees everything.
    virtual void Close() = 0;

    // One Annex B access unit, time stamps in 90 kHz ticks; flushed to the sink before returning.
    virtual Status WriteFrame(const uint8_t* data, size_t size, int64_t pts, int64_t dts, bool key) = 0;
};
