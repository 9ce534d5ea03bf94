#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "color_space.h"
#include "h264_encoder.h"
#include "io_event_data.h"
#include "status.h"

// The stream's frame slots: slot n is due at start + n / fps.
class FrameSlots {
public:
    using Clock = std::chrono::steady_clock;

    FrameSlots(Clock::time_point start, int fps) : m_start(start), m_fps(fps) {}

    Clock::time_point Time(int64_t slot) const {
        return m_start + std::chrono::nanoseconds(slot * 1000000000 / m_fps);
    }
    // The last slot due at `when` (0 before the start).
    int64_t At(Clock::time_point when) const;
    Clock::duration Period() const { return std::chrono::nanoseconds(1000000000 / m_fps); }
    int Fps() const { return m_fps; }

private:
    Clock::time_point m_start;
    int m_fps;
};

// One picture for the encoder, at the stream's size; valid during the call
// that hands it over.
struct SourcePicture {
    Nv12Picture picture;
    int64_t slot = -1;  // the frame slot it fills; -1: none, it came when its writer sent it
    std::chrono::steady_clock::time_point made;  // when it was captured or drawn
    ColorSpace color_space = CS_UNKNOWN;
};

// Where the encoder's pictures come from. A source is served by the select
// loop like a component and hands each picture to the encoder's callback; the
// encoder never learns what kind of source it has.
class FrameSource {
public:
    using Deliver = std::function<void(const SourcePicture&)>;

    virtual ~FrameSource() = default;

    // What the encoder's start line says it encodes: "the test pattern", ...
    virtual std::string Describe() const = 0;
    // The first picture may be due at the first slot.
    virtual void Start(const FrameSlots& slots) = 0;
    virtual void Setup(IOEventData& data) = 0;
    // After select: also called when only another component's descriptor was
    // ready, so a source does its time-driven work here too.
    virtual void Handle(IOEventData& data) = 0;
    // Frame slots that passed without a picture because the loop ran late.
    virtual uint64_t MissedSlots() const = 0;
    // What the source counted, logged when the encoder stops.
    virtual void LogSummary() const {}
};

struct SourceSettings {
    std::string name;  // the encoder's, for the log
    int width = 0;     // the stream's picture
    int height = 0;
    int fps = 0;
    std::string input;  // empty: the test pattern
    int input_index = -1;
    // Raw EDID blocks for a capture input with DV timings, read from edid_path;
    // empty: the built-in EDID where the input's own is empty.
    std::vector<uint8_t> edid;
    std::string edid_path;
};

// The source that `input` names: empty for the test pattern; a V4L2 capture
// device; a FIFO; a file of raw NV12 frames. A source that cannot be used
// gives its failure with one logged line naming the path and why.
Status MakeFrameSource(const SourceSettings& settings, FrameSource::Deliver deliver,
                       std::unique_ptr<FrameSource>& source);
