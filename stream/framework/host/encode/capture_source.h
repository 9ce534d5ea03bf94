#pragma once

#include <functional>
#include <string>
#include <vector>

#include "frame_source.h"
#include "interlace.h"
#include "no_signal_picture.h"
#include "repeat_counter.h"
#include "v4l2_device.h"

// The pictures of a capture device (an HDMI receiver, a USB grabber, a
// webcam), as one steady stream at the stream's size and rate whatever the
// source does:
//   - each frame is converted to NV12 and scaled to the stream's size, and
//     fills the frame slot its driver time stamp falls in; a faster source's
//     extra frames are dropped, a slower one's repeated;
//   - without a picture (no signal, no lock, out of range, no frame for a
//     second, the device gone) the slots get a picture that says why;
//   - a source-change event, or the check of the input's signal every second,
//     makes it negotiate again.
// One line on the log when the picture goes, one when it comes back, repeats
// counted; buffers the driver flags as bad are dropped and counted.
class CaptureSource final : public FrameSource {
public:
    using Now = std::function<FrameSlots::Clock::time_point()>;

    // `io` and `now` are the kernel's and the steady clock but in tests. (The
    // clock by its address: UBSan takes a reference bound to a Thumb
    // function, whose address is odd, for a misaligned one.)
    CaptureSource(const SourceSettings& settings, Deliver deliver, V4l2Io& io = V4l2Io::Kernel(),
                  Now now = &FrameSlots::Clock::now);

    // Opens the device; a device it cannot use gives one error line naming
    // the path and why.
    Status Open();

    std::string Describe() const override;
    void Start(const FrameSlots& slots) override;
    void Setup(IOEventData& data) override;
    void Handle(IOEventData& data) override;
    uint64_t MissedSlots() const override { return m_counts.missed; }
    void LogSummary() const override;

private:
    using Clock = FrameSlots::Clock;

    // Queries the source and streams (the picture comes with the first frame),
    // or shows why not.
    void Connect(Clock::time_point now);
    // Shows the no-signal picture; `stop` stops the device too.
    void Lose(PictureLoss why, const std::string& detail, Clock::time_point now, bool stop = true);
    void Gone(Clock::time_point now);
    void ReadEvents(Clock::time_point now);
    void ReadFrames();
    // Counts a buffer the driver flagged, or a frame too short to convert, and
    // says so (repeats counted).
    void DropBad(Clock::time_point now);
    void DropShort(const V4l2Device::Frame& frame, Clock::time_point now);
    // A frame that does not convert: too short, or a JPEG that does not decode.
    void DropUnreadable(const V4l2Device::Frame& frame, Clock::time_point now);
    // Hands a buffer back to the driver; false, with the picture lost, when it fails.
    bool GiveBack(const V4l2Device::Frame& frame, Clock::time_point now);
    // The frame's driver time stamp, or `now` when the driver gives none or one far off.
    Clock::time_point Stamp(const V4l2Device::Frame& frame, Clock::time_point now);
    int64_t SlotOf(Clock::time_point stamp) const;
    // `woven`: the frame is the one the fields just made, not the buffer's.
    void TakeFrame(const V4l2Device::Frame& frame, Clock::time_point now, bool woven = false);
    bool Fit(const V4l2Device::Frame& frame, bool woven);
    // Scales an NV12 picture into the stream's.
    bool Scale(const uint8_t* nv12, int width, int height);
    // Each buffer of fields into the frames they make; the newest whole one taken.
    void TakeFields(std::vector<V4l2Device::Frame>& ready, Clock::time_point now);
    void CheckSignal(Clock::time_point now);
    void RunDue(Clock::time_point now);
    void Emit(const std::vector<uint8_t>& picture, int64_t slot, Clock::time_point made);
    Clock::time_point SlotTime(int64_t slot) const;
    // The latest slot whose picture, waiting `wait` past its time, is due at
    // `now`; -1 when none is.
    int64_t DueSlot(Clock::time_point now, Clock::duration wait) const;
    Clock::time_point NextDeadline() const;
    std::string Where() const;

    SourceSettings m_settings;
    Deliver m_deliver;
    Now m_now;
    V4l2Device m_device;
    FrameSlots m_slots{{}, 1};

    // The picture shown now: the last frame, or while m_lost the no-signal picture.
    std::vector<uint8_t> m_picture;
    Clock::time_point m_picture_made;
    bool m_have_picture = false;
    std::vector<uint8_t> m_converted;  // a buffer in NV12 at its own size, before scaling
    interlace::Frames m_frames;        // the frames of an interlaced source
    std::vector<uint8_t> m_no_signal;
    std::vector<V4l2Device::Frame> m_ready;  // a batch of frames taken together, kept for reuse
    ColorSpace m_color_space = CS_UNKNOWN;
    bool m_lost = false;
    bool m_gone = false;
    PictureLoss m_loss = PictureLoss::NO_SIGNAL;
    Clock::time_point m_lost_since;
    bool m_loss_logged = false;

    // Slot m_anchor_slot is the frame stamped m_anchor; the next frame after a
    // start anchors the grid again. m_next is the next slot to fill.
    Clock::time_point m_anchor;
    int64_t m_anchor_slot = 0;
    bool m_anchored = false;
    bool m_streamed = false;  // a frame came since the device last started
    int64_t m_next = 0;
    Clock::time_point m_last_frame;
    Clock::time_point m_next_check;
    bool m_clock_warned = false;

    RepeatCounter m_loss_log{std::chrono::seconds(5)};
    RepeatCounter m_bad_log{std::chrono::seconds(5)};
    RepeatCounter m_short_log{std::chrono::seconds(5)};
    RepeatCounter m_undecodable_log{std::chrono::seconds(5)};
    RepeatCounter m_start_log{std::chrono::seconds(5)};
    struct Counts {
        uint64_t captured = 0;   // frames taken from the device
        uint64_t dropped = 0;    // frames of a faster source left out
        uint64_t repeated = 0;   // slots filled again with the last frame
        uint64_t bad = 0;        // buffers flagged bad by the driver, JPEGs that do not decode
        uint64_t short_frames = 0;  // frames too short to convert
        uint64_t no_signal = 0;  // slots filled with the no-signal picture
        uint64_t losses = 0;
        uint64_t missed = 0;  // slots the loop was too late for
    } m_counts;
};
