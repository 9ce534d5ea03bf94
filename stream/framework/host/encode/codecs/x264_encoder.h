#pragma once

#include "h264_encoder.h"
#include "repeat_counter.h"

struct x264_t;

// libx264 tuned for live streaming: no frame delay, a key frame with its
// SPS/PPS every second so a late receiver can start, and a one-frame VBV so
// every frame stays near the mean size.
class X264Encoder final : public H264Encoder {
public:
    X264Encoder() = default;
    ~X264Encoder() override;
    X264Encoder(const X264Encoder&) = delete;
    X264Encoder& operator=(const X264Encoder&) = delete;

    Status Open(const H264Settings& settings) override;
    bool IsOpen() const override { return m_encoder != nullptr; }
    void Close() override;
    Status Encode(const Nv12Picture& picture, int64_t pts, EncodedAccessUnit& unit) override;

private:
    x264_t* m_encoder = nullptr;
    H264Settings m_settings;
    RepeatCounter m_encode_failures{std::chrono::seconds(5)};
};
