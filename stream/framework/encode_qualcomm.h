#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "av_component.h"

// The video encoder. Its output "high_res" carries an MPEG-TS stream with one
// H.264 video stream, one MediaChunk of whole TS packets per frame.
//
// The pictures are encoded by the board's hardware encoder where it has one (a
// V4L2 memory-to-memory device that codes H.264 from NV12, served by the same
// select loop and drained at disable), else by libx264; either way SPS and
// PPS come before every key frame, so a receiver that joins late can start.
//
// On the host the picture comes from the HDMI input, a V4L2 capture device
// (the input with DV timings; NV12, NV21, YUYV, UYVY, YU12 or YV12, converted
// and scaled to the stream's size), from a built-in moving test pattern with a
// frame counter, or from raw NV12 frames (no padding) read from a file
// (looped) or a FIFO. The stream keeps its size and rate whatever a capture
// device does: a faster source's frames are dropped, a slower one's repeated,
// and without a signal (or the device gone) the frames say so in a picture of
// their own. Frames are paced by the select loop: a deadline per frame for the
// pattern and for a file, the driver's frames and their time stamps for a
// device, the writer's delivery for a FIFO. Presentation time stamps are the
// wall clock of each frame's slot, so a receiver can tell how late a frame
// arrives; a device's colours (BT.601 or Rec.709, limited or full range) are
// in the stream's headers.
//
// Settings, read from the option store at enable ("<name>.<setting>"):
//   width, height   frame size (default 1280x720; even)
//   fps             frames per second (default 30)
//   bitrate         bits per second (default 4000000)
//   input           a capture device (/dev/video0), a file or FIFO of raw NV12
//                   frames; empty for the test pattern
//   input_index     the capture device's input (default: the first with DV
//                   timings, else the current one)
//   encoder         auto (default: the first V4L2 H.264 encoder, else
//                   libx264), x264, or the encoder device's path
class EncodeQualcomm : public AVComponent {
public:
    static constexpr const char* OUTPUT_NAME = "high_res";

    struct Counters {
        uint64_t frames = 0;   // frames encoded and published
        uint64_t skipped = 0;  // frame slots missed because the loop ran late
    };

    explicit EncodeQualcomm(const std::string& name);
    ~EncodeQualcomm() override;

    // Disables, disconnects and logs the frame counters of the whole run.
    Status Shutdown() override;
    Status SetupIOEvents(IOEventData& data) override;
    Status HandleIOEvents(IOEventData& data) override;

    Counters GetCounters() const;

protected:
    Status OnEnable() override;
    Status OnDisable() override;

private:
    class Pipeline;

    std::shared_ptr<ComponentOutput> m_high_res;
    std::unique_ptr<Pipeline> m_pipeline;  // exists while enabled
    Counters m_totals;                     // of earlier enabled periods
};
