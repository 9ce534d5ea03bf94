#pragma once

#include <memory>
#include <string>

#include "video_encoder.h"

// libx264 from the codec module: each access unit comes out of Encode itself.
class SoftwareEncoder final : public VideoEncoder {
public:
    SoftwareEncoder(std::unique_ptr<H264Encoder> codec, Output output)
        : m_codec(std::move(codec)), m_output(std::move(output)) {}

    std::string Describe() const override { return "libx264"; }
    Status Open(const H264Settings& settings) override { return m_codec->Open(settings); }
    void Encode(const Nv12Picture& picture, int64_t pts, Clock::time_point made) override {
        EncodedAccessUnit unit;
        if (m_codec->Encode(picture, pts, unit) != Status::SUCCESS || unit.size == 0) return;
        m_output({unit.data, unit.size, unit.pts, unit.dts, unit.key, made});
    }

private:
    std::unique_ptr<H264Encoder> m_codec;
    Output m_output;
};
