#pragma once

#include <deque>
#include <string>

#include "repeat_counter.h"
#include "v4l2_encoder.h"
#include "video_encoder.h"

// A board's H.264 encoder behind V4L2 (the stateful memory-to-memory
// interface): each picture goes into a free raw buffer with its time stamp,
// each coded frame comes out from the select loop with the time stamp and
// is matched to its picture. A frame that finds every raw buffer busy is
// dropped and counted; an encoder that fails or goes away is reported once
// and encodes nothing more, and the run goes on.
class HardwareEncoder final : public VideoEncoder {
public:
    // `coded`: H.264, or another format the driver codes (its tests use vicodec's FWHT).
    HardwareEncoder(std::string name, std::string path, Output output, uint32_t coded);

    std::string Describe() const override;
    Status Open(const H264Settings& settings) override;
    void Encode(const Nv12Picture& picture, int64_t pts, Clock::time_point made) override;
    void Setup(IOEventData& data) override;
    void Handle(IOEventData& data) override;
    void Drain() override;
    void LogSummary() const override;

private:
    struct Pending {
        uint64_t timestamp_us;
        int64_t pts;
        Clock::time_point made;
    };
    void TakeCoded();
    void Deliver(const V4l2Encoder::CodedFrame& frame);
    void Fail(const std::string& doing);
    std::string Where() const { return m_name + ": " + m_path; }

    std::string m_name;
    std::string m_path;
    Output m_output;
    uint32_t m_coded;
    V4l2Encoder m_device;
    bool m_failed = false;
    bool m_have_first = false;
    int64_t m_first_pts = 0;
    std::deque<Pending> m_pending;  // pictures in the encoder, oldest first

    RepeatCounter m_busy_log{std::chrono::seconds(5)};
    RepeatCounter m_bad_log{std::chrono::seconds(5)};
    struct Counts {
        uint64_t in = 0;      // pictures that went in
        uint64_t out = 0;     // coded frames that came out
        uint64_t busy = 0;    // pictures dropped: every raw buffer was with the encoder
        uint64_t bad = 0;     // coded frames the driver flagged as bad
        uint64_t lost = 0;    // pictures that never came out coded
    } m_counts;
};
