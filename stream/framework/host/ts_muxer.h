#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "status.h"

struct AVFormatContext;
struct AVIOContext;
struct AVStream;

// libavformat's MPEG-TS muxer writing into memory: one H.264 stream, and each
// frame's TS packets handed to the sink as soon as the frame is written.
class TsMuxer {
public:
    static constexpr size_t TS_PACKET_SIZE = 188;
    // The AVIO buffer holds whole TS packets, so every chunk the sink sees does too.
    static constexpr size_t IO_BUFFER_SIZE = TS_PACKET_SIZE * 7;

    using Sink = std::function<void(const uint8_t* data, size_t size)>;

    TsMuxer() = default;
    ~TsMuxer();
    TsMuxer(const TsMuxer&) = delete;
    TsMuxer& operator=(const TsMuxer&) = delete;

    Status Open(int width, int height, int fps, Sink sink);
    bool IsOpen() const { return m_format != nullptr; }
    // Writes the trailer (nothing for TS but flushed state) and frees everything.
    void Close();

    // One Annex B access unit, time stamps in 90 kHz ticks; flushed to the sink before returning.
    Status WriteFrame(const uint8_t* data, size_t size, int64_t pts, int64_t dts, bool key);

private:
    static int WritePacket(void* opaque, uint8_t* data, int size);
    void Free();

    Sink m_sink;
    AVFormatContext* m_format = nullptr;
    AVIOContext* m_io = nullptr;
    AVStream* m_stream = nullptr;
    bool m_header_written = false;
};
