#pragma once

#include <cstddef>
#include <cstdint>

#include "color_space.h"
#include "status.h"

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
    // What the stream says of its colours; CS_UNKNOWN says nothing.
    ColorSpace color_space = CS_UNKNOWN;
};

// An H.264 encoder for live streaming: no frame delay, a key frame with its
// SPS/PPS every second so a late receiver can start, and every frame near the
// mean size (the sender paces at the stream rate). Made by CreateH264Encoder
// (codec_module.h); the implementation lives in the codec module.
class H264Encoder {
public:
    static constexpr int MAX_SIDE = 8192;

    virtual ~H264Encoder() = default;

    // FAILURE_INVALID for settings the encoder cannot take, with the reason logged.
    virtual Status Open(const H264Settings& settings) = 0;
    virtual bool IsOpen() const = 0;
    virtual void Close() = 0;

    // pts in 90 kHz ticks. An empty unit means the encoder held the picture back.
    virtual Status Encode(const Nv12Picture& picture, int64_t pts, EncodedAccessUnit& unit) = 0;
};
