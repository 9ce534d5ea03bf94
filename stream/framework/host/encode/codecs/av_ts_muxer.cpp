#include "av_ts_muxer.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include "library_log.h"
#include "log.h"

namespace {

const char* AvError(int code, char (&text)[AV_ERROR_MAX_STRING_SIZE]) {
    av_strerror(code, text, sizeof(text));
    return text;
}

}  // namespace

AvTsMuxer::~AvTsMuxer() { Close(); }

int AvTsMuxer::WritePacket(void* opaque, uint8_t* data, int size) {
    auto* self = static_cast<AvTsMuxer*>(opaque);
    if (size > 0 && self->m_sink) self->m_sink(data, static_cast<size_t>(size));
    return size;
}

Status AvTsMuxer::Open(int width, int height, int fps, Sink sink) {
    Close();
    RouteLibavLog();
    const Log& log = Log::Instance();
    char text[AV_ERROR_MAX_STRING_SIZE];
    m_sink = std::move(sink);

    int result = avformat_alloc_output_context2(&m_format, nullptr, "mpegts", nullptr);
    if (result < 0 || m_format == nullptr) {
        log.Errorf("TS muxer: no MPEG-TS muxer in libavformat: %s", AvError(result, text));
        Free();
        return Status::FAILURE_UNSUPPORTED;
    }
    auto* buffer = static_cast<unsigned char*>(av_malloc(IO_BUFFER_SIZE));
    if (buffer == nullptr) {
        log.Errorf("TS muxer: cannot allocate the %zu-byte output buffer", IO_BUFFER_SIZE);
        Free();
        return Status::FAILURE_ALLOCATION;
    }
    m_io = avio_alloc_context(buffer, static_cast<int>(IO_BUFFER_SIZE), 1, this, nullptr,
                              &AvTsMuxer::WritePacket, nullptr);
    if (m_io == nullptr) {
        av_free(buffer);
        log.Errorf("TS muxer: cannot allocate the output context");
        Free();
        return Status::FAILURE_ALLOCATION;
    }
    m_format->pb = m_io;
    m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The PCR leads the time stamps by this much: room for a receiver's decoder, no more.
    m_format->max_delay = 100000;

    m_stream = avformat_new_stream(m_format, nullptr);
    if (m_stream == nullptr) {
        log.Errorf("TS muxer: cannot add the video stream");
        Free();
        return Status::FAILURE_ALLOCATION;
    }
    m_stream->time_base = AVRational{1, 90000};
    m_stream->avg_frame_rate = AVRational{fps, 1};
    AVCodecParameters* codec = m_stream->codecpar;
    codec->codec_type = AVMEDIA_TYPE_VIDEO;
    codec->codec_id = AV_CODEC_ID_H264;
    codec->width = width;
    codec->height = height;
    codec->format = AV_PIX_FMT_YUV420P;

    result = avformat_write_header(m_format, nullptr);
    if (result < 0) {
        log.Errorf("TS muxer: writing the stream header failed: %s", AvError(result, text));
        Free();
        return Status::FAILURE;
    }
    m_header_written = true;
    avio_flush(m_io);
    return Status::SUCCESS;
}

Status AvTsMuxer::WriteFrame(const uint8_t* data, size_t size, int64_t pts, int64_t dts, bool key) {
    if (m_format == nullptr) {
        Log::Instance().Errorf("TS muxer: frame written before Open");
        return Status::FAILURE_INVALID_STATE;
    }
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) {
        Log::Instance().Errorf("TS muxer: cannot allocate a packet");
        return Status::FAILURE_ALLOCATION;
    }
    // Not reference counted: av_write_frame reads the bytes before returning.
    packet->data = const_cast<uint8_t*>(data);
    packet->size = static_cast<int>(size);
    packet->pts = pts;
    packet->dts = dts;
    packet->stream_index = m_stream->index;
    if (key) packet->flags |= AV_PKT_FLAG_KEY;
    const int result = av_write_frame(m_format, packet);
    av_packet_free(&packet);
    if (result < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE];
        AvError(result, text);
        if (const uint64_t due = m_write_failures.Count(text))
            Log::Instance().Errorf("TS muxer: writing a frame failed: %s%s", text,
                                   RepeatCounter::Suffix(due).c_str());
        return Status::FAILURE;
    }
    avio_flush(m_io);
    return Status::SUCCESS;
}

void AvTsMuxer::Close() {
    if (m_format != nullptr && m_header_written) {
        const int result = av_write_trailer(m_format);
        if (result < 0) {
            char text[AV_ERROR_MAX_STRING_SIZE];
            Log::Instance().Errorf("TS muxer: writing the trailer failed: %s", AvError(result, text));
        }
        avio_flush(m_io);
    }
    Free();
}

void AvTsMuxer::Free() {
    if (m_io != nullptr) {
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
    if (m_format != nullptr) {
        m_format->pb = nullptr;
        avformat_free_context(m_format);
        m_format = nullptr;
    }
    m_stream = nullptr;
    m_header_written = false;
}
