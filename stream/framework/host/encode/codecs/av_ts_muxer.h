#pragma once

#include "repeat_counter.h"
#include "ts_muxer.h"

struct AVFormatContext;
struct AVIOContext;
struct AVStream;

// libavformat's MPEG-TS muxer writing into memory through a custom AVIO
// context whose buffer holds whole TS packets.
class AvTsMuxer final : public TsMuxer {
public:
    AvTsMuxer() = default;
    ~AvTsMuxer() override;
    AvTsMuxer(const AvTsMuxer&) = delete;
    AvTsMuxer& operator=(const AvTsMuxer&) = delete;

    Status Open(int width, int height, int fps, Sink sink) override;
    bool IsOpen() const override { return m_format != nullptr; }
    void Close() override;
    Status WriteFrame(const uint8_t* data, size_t size, int64_t pts, int64_t dts, bool key) override;

private:
    static int WritePacket(void* opaque, uint8_t* data, int size);
    void Free();

    Sink m_sink;
    AVFormatContext* m_format = nullptr;
    AVIOContext* m_io = nullptr;
    AVStream* m_stream = nullptr;
    bool m_header_written = false;
    RepeatCounter m_write_failures{std::chrono::seconds(5)};
};
