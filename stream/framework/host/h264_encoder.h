#pragma once

#include <cstddef>
#include <cstdint>

#include "status.h"

struct x264_t;

// One NV12 picture: a luma plane and an interleaved chroma plane, each with its stride.
struct Nv12Picture {
    const uint8_t* y;
    int y_stride;
    const uint8_t* uv;
    int uv_stride;
};

// One encoded access unit in Annex B form. The bytes belong to the encoder and
// stay valid until its next Encode call.
struct EncodedAccessUnit {
    const uint8_t* data = nullptr;
    size_t size = 0;
    int64_t pts = 0;
    int64_t dts = 0;
    bool key = false;
};

struct H264Settings {
    int width = 1280;
    int height = 720;
    int fps = 30;
    int bitrate_kbps = 4000;
};

// libx264 tuned for live streaming: no frame delay, a key frame with its
// SPS/PPS every second so a late receiver can start, and a one-frame VBV so
// every frame stays near the mean size (the sender paces at the stream rate).
class H264Encoder {
public:
    static constexpr int MAX_SIDE = 8192;

    H264Encoder() = default;
    ~H264Encoder();
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    // FAILURE_INVALID for settings x264 cannot take, with the reason logged.
    Status Open(const H264Settings& settings);
    bool IsOpen() const { return m_encoder != nullptr; }
    void Close();

    // pts in 90 kHz ticks. An empty unit means x264 held the picture back.
    Status Encode(const Nv12Picture& picture, int64_t pts, EncodedAccessUnit& unit);

private:
    x264_t* m_encoder = nullptr;
    H264Settings m_settings;
};
