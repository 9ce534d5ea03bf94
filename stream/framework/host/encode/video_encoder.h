#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "h264_encoder.h"
#include "io_event_data.h"
#include "status.h"

// An H.264 encoder as the encoder component drives it: pictures in, access
// units out through the callback whenever the encoder has them. libx264
// answers within Encode; a hardware encoder answers later, from the select
// loop, which it joins through Setup and Handle.
class VideoEncoder {
public:
    using Clock = std::chrono::steady_clock;

    struct Unit {
        const uint8_t* data = nullptr;  // Annex B, valid during the call
        size_t size = 0;
        int64_t pts = 0;  // 90 kHz, the picture's
        int64_t dts = 0;
        bool key = false;
        Clock::time_point made;  // when the picture was captured or drawn
    };
    using Output = std::function<void(const Unit&)>;

    virtual ~VideoEncoder() = default;

    // What the start line says encodes: "libx264", "/dev/video4 (V4L2 encoder: ...)".
    virtual std::string Describe() const = 0;
    // Opens (again, for new colours) with the reason logged when it cannot.
    virtual Status Open(const H264Settings& settings) = 0;
    virtual void Encode(const Nv12Picture& picture, int64_t pts, Clock::time_point made) = 0;
    virtual void Setup(IOEventData&) {}
    virtual void Handle(IOEventData&) {}
    // Every picture handed over comes out before this returns, or is counted
    // as lost when the encoder cannot give it in time.
    virtual void Drain() {}
    // What it counted, logged when the encoder stops.
    virtual void LogSummary() const {}
};

struct EncoderChoice {
    std::string name;    // the component's, for the log
    std::string choice;  // "auto", "x264" or a device path
};

// The encoder `choice` names: "auto" (the default) is the first of the
// machine's memory-to-memory H.264 encoders that takes NV12, else libx264;
// "x264"; or a device path, which says why it is no H.264 encoder when it
// opens. One logged line says why a choice cannot be used.
Status MakeVideoEncoder(const EncoderChoice& choice, VideoEncoder::Output output,
                        std::unique_ptr<VideoEncoder>& encoder);
