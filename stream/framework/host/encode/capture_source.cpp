#include "capture_source.h"

#include <algorithm>
#include <cmath>

#include <libyuv/scale.h>

#include "edid.h"
#include "log.h"

namespace {

using namespace std::chrono_literals;

// No frame for this long is no signal, whatever the input says.
constexpr auto STALL = 1s;
// How often the input's signal is checked while streaming, and while waiting for it.
constexpr auto CHECK_LIVE = 1s;
constexpr auto CHECK_LOST = 500ms;
// A driver time stamp further than this from the clock is not believed.
constexpr auto STAMP_AHEAD = 100ms;
constexpr auto STAMP_BEHIND = 2s;

unsigned long long U(uint64_t value) { return static_cast<unsigned long long>(value); }

double Seconds(FrameSlots::Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

PictureLoss LossOf(V4l2Device::Signal signal) {
    switch (signal) {
    case V4l2Device::Signal::NO_LOCK: return PictureLoss::NO_LOCK;
    case V4l2Device::Signal::OUT_OF_RANGE: return PictureLoss::OUT_OF_RANGE;
    case V4l2Device::Signal::GONE: return PictureLoss::DEVICE_GONE;
    default: return PictureLoss::NO_SIGNAL;
    }
}

const char* Reason(PictureLoss why) {
    switch (why) {
    case PictureLoss::NO_SIGNAL: return "no signal";
    case PictureLoss::NO_LOCK: return "no lock";
    case PictureLoss::OUT_OF_RANGE: return "out of range";
    case PictureLoss::DEVICE_GONE: return "device gone";
    }
    return "no signal";
}

bool FullRange(ColorSpace space) { return space == CS_YCBCR601_FULL || space == CS_YCBCR709_FULL; }

}  // namespace

CaptureSource::CaptureSource(const SourceSettings& settings, Deliver deliver, V4l2Io& io, Now now)
    : m_settings(settings),
      m_deliver(std::move(deliver)),
      m_now(std::move(now)),
      m_device(io),
      m_picture(static_cast<size_t>(settings.width) * settings.height * 3 / 2),
      m_no_signal(m_picture.size()) {}

std::string CaptureSource::Where() const { return m_settings.name + ": " + m_settings.input; }

Status CaptureSource::Open() {
    const Log& log = Log::Instance();
    const Status status = m_device.Open(m_settings.input, m_settings.input_index, m_settings.edid);
    if (status != Status::SUCCESS) {
        if (m_device.EdidState() == V4l2Device::Edid::FAILED)
            log.Errorf("%s: cannot give the input the EDID of %s: %s", Where().c_str(),
                       m_settings.edid_path.c_str(), m_device.Error().c_str());
        else
            log.Errorf("%s: %s", Where().c_str(), m_device.Error().c_str());
        return status;
    }
    const std::string whose = m_settings.edid.empty() ? "the built-in one" : m_settings.edid_path;
    switch (m_device.EdidState()) {
    case V4l2Device::Edid::WRITTEN:
        log.Infof("%s: wrote the input's EDID: %s (%s)", Where().c_str(), whose.c_str(),
                  edid::Describe(m_device.EdidWritten()).c_str());
        break;
    case V4l2Device::Edid::FAILED:
        log.Warnf("%s: cannot give the input an EDID (%s); a source may send it nothing",
                  Where().c_str(), m_device.Error().c_str());
        break;
    case V4l2Device::Edid::NONE:
        if (!m_settings.edid.empty())
            log.Warnf("%s: the input keeps no EDID; %s is not written", Where().c_str(),
                      m_settings.edid_path.c_str());
        break;
    case V4l2Device::Edid::KEPT: break;
    }
    return status;
}

std::string CaptureSource::Describe() const {
    return m_settings.input + " (V4L2 capture: " + m_device.Describe() + ")";
}

void CaptureSource::Start(const FrameSlots& slots) {
    m_slots = slots;
    m_anchor = slots.Time(0);
    m_anchor_slot = 0;
    m_next = 0;
    Connect(m_now());
}

void CaptureSource::Connect(Clock::time_point now) {
    m_device.Stop();
    m_next_check = now + CHECK_LOST;
    const V4l2Device::Signal signal = m_device.QuerySignal();
    if (signal == V4l2Device::Signal::GONE) return Gone(now);
    if (signal != V4l2Device::Signal::PRESENT)
        return Lose(LossOf(signal), "the input says so (" + m_device.Error() + ")", now);
    if (m_device.Start(m_settings.width, m_settings.height, m_settings.fps) != Status::SUCCESS) {
        if (m_device.Gone()) return Gone(now);
        if (m_device.OutOfRange())
            return Lose(PictureLoss::OUT_OF_RANGE,
                        "the receiver cannot capture the source's mode: " + m_device.Error(), now);
        return Lose(PictureLoss::NO_SIGNAL, "cannot capture: " + m_device.Error(), now);
    }
    // The picture comes back with the first frame; until then the slots keep
    // what they showed.
    m_anchored = false;
    m_streamed = false;
    m_last_frame = now;
    m_next_check = now + CHECK_LIVE;
    const V4l2Device::Format& format = m_device.GetFormat();
    m_frames.Reset(format.field, format.layout.width, format.frame_height);
    const char* fields = "";
    switch (format.field) {
    case V4L2_FIELD_NONE: break;
    case V4L2_FIELD_ALTERNATE: fields = ", interlaced: each frame's two fields woven"; break;
    case V4L2_FIELD_SEQ_TB:
    case V4L2_FIELD_SEQ_BT: fields = ", interlaced: the fields of each buffer woven"; break;
    default: fields = ", interlaced: deinterlaced by blending each line with the next"; break;
    }
    const char* decoded =
        capture_format::IsCompressed(format.layout.fourcc) ? ", each frame decoded with libyuv" : "";
    char text[240];
    snprintf(text, sizeof(text), "%dx%d %s at %.2f fps, %s%s%s", format.layout.width,
             format.frame_height, FourccName(format.layout.fourcc).c_str(), format.fps,
             capture_format::Describe(format.color_space), fields, decoded);
    if (const uint64_t due = m_start_log.Count(text, 1, now))
        Log::Instance().Infof("%s: capturing %s%s", Where().c_str(), text,
                              RepeatCounter::Suffix(due).c_str());
}

void CaptureSource::Lose(PictureLoss why, const std::string& detail, Clock::time_point now,
                         bool stop) {
    if (stop) m_device.Stop();
    const bool changed = !m_lost || why != m_loss;
    if (!m_lost) {
        m_lost = true;
        m_lost_since = now;
        ++m_counts.losses;
    }
    if (!changed) return;
    m_loss = why;
    DrawNoSignalPicture(
        why, FullRange(m_color_space), m_no_signal.data(), m_settings.width,
        m_no_signal.data() + static_cast<size_t>(m_settings.width) * m_settings.height,
        m_settings.width, m_settings.width, m_settings.height);
    if (const uint64_t due = m_loss_log.Count(Reason(why), 1, now)) {
        Log::Instance().Warnf(
            "%s: no picture: %s: %s; the stream goes on with a picture that says \"%s\"%s",
            Where().c_str(), Reason(why), detail.c_str(), PictureLossText(why),
            RepeatCounter::Suffix(due).c_str());
        m_loss_logged = true;
    }
}

void CaptureSource::Gone(Clock::time_point now) {
    const std::string detail = "the device has gone away (" + m_device.Error() + ")";
    m_device.Close();
    m_gone = true;
    Lose(PictureLoss::DEVICE_GONE, detail, now);
}

void CaptureSource::Setup(IOEventData& data) {
    if (m_device.IsOpen()) {
        const int fd = m_device.Descriptor();
        if ((m_device.HasEvents() && data.AddErrorFd(fd) != Status::SUCCESS) ||
            (m_device.IsStreaming() && data.AddReadFd(fd) != Status::SUCCESS)) {
            Log::Instance().Errorf("%s: select cannot wait for the device; it is given up",
                                   Where().c_str());
            m_device.Close();
            m_gone = true;
            Lose(PictureLoss::DEVICE_GONE, "select cannot wait for it", m_now());
        }
    }
    data.AddTimeout(NextDeadline(), [this] { RunDue(m_now()); });
}

void CaptureSource::Handle(IOEventData& data) {
    const Clock::time_point now = m_now();
    // Events first: a frame that came after a loss of signal is the driver's noise.
    if (m_device.IsOpen() && data.IsErrorReady(m_device.Descriptor())) ReadEvents(now);
    if (m_device.IsStreaming() && data.IsReadReady(m_device.Descriptor())) ReadFrames();
    RunDue(m_now());
}

void CaptureSource::ReadEvents(Clock::time_point now) {
    switch (m_device.TakeEvents()) {
    case V4l2Device::Events::GONE: Gone(now); break;
    case V4l2Device::Events::SOURCE_CHANGED: Connect(now); break;
    case V4l2Device::Events::NONE: break;
    }
}

void CaptureSource::ReadFrames() {
    // What the driver has ready now, at most one of each buffer: a loop that
    // kept taking the frames of a source faster than it can encode would never
    // get back to select, and the sender and the run's clock would wait.
    std::vector<V4l2Device::Frame>& ready = m_ready;
    ready.clear();
    Clock::time_point now = m_now();
    while (ready.size() < m_device.BufferCount()) {
        V4l2Device::Frame frame;
        now = m_now();
        const V4l2Device::Dequeued dequeued = m_device.Dequeue(frame, now);
        if (dequeued == V4l2Device::Dequeued::NONE) break;
        if (dequeued == V4l2Device::Dequeued::GONE) return Gone(now);
        if (dequeued == V4l2Device::Dequeued::FAILED)
            return Lose(PictureLoss::NO_SIGNAL, "capture failed: " + m_device.Error(), now);
        if (!frame.error) {
            ready.push_back(frame);
            continue;
        }
        DropBad(now);
        if (!GiveBack(frame, now)) return;
    }
    if (ready.empty()) return;
    // A receiver may hand out noise or stale frames without a link: the
    // input's status says whether these are a picture.
    if (m_device.InputStatus() != V4l2Device::Signal::PRESENT) {
        const V4l2Device::Signal signal = m_device.QuerySignal();
        if (signal == V4l2Device::Signal::GONE) return Gone(now);
        return Lose(signal == V4l2Device::Signal::PRESENT ? PictureLoss::NO_LOCK : LossOf(signal),
                    "the input says so", now);
    }
    if (m_device.GetFormat().field == V4L2_FIELD_ALTERNATE) return TakeFields(ready, now);
    // Only the newest is encoded, in its own slot: the others are older
    // pictures of the same or earlier slots, which it takes the place of.
    for (size_t i = 0; i + 1 < ready.size(); ++i) {
        ++m_counts.captured;
        ++m_counts.dropped;
        if (!GiveBack(ready[i], now)) return;
    }
    TakeFrame(ready.back(), now);
    GiveBack(ready.back(), now);
}

void CaptureSource::TakeFields(std::vector<V4l2Device::Frame>& ready, Clock::time_point now) {
    const capture_format::Layout& layout = m_device.GetFormat().layout;
    m_converted.resize(static_cast<size_t>(layout.width) * layout.height * 3 / 2);
    uint8_t* y = m_converted.data();
    const capture_format::Nv12Target field{y, layout.width, y + layout.width * layout.height,
                                           layout.width};
    V4l2Device::Frame newest;
    uint64_t whole = 0;
    for (const V4l2Device::Frame& buffer : ready) {
        // A field is copied out before its buffer goes back.
        if (!capture_format::ToNv12(layout, buffer.data, field))
            DropUnreadable(buffer, now);
        else if (m_frames.Take(y, buffer.field, buffer.sequence, Stamp(buffer, now)))
            newest = buffer, ++whole;
        if (!GiveBack(buffer, now)) return;
    }
    if (whole == 0) return;
    m_counts.captured += whole - 1;
    m_counts.dropped += whole - 1;
    TakeFrame(newest, now, true);
}

void CaptureSource::DropBad(Clock::time_point now) {
    ++m_counts.bad;
    if (const uint64_t due = m_bad_log.Count(1, now))
        Log::Instance().Warnf("%s: dropped %llu buffers the driver flagged as bad", Where().c_str(),
                              U(due));
}

void CaptureSource::DropShort(const V4l2Device::Frame& frame, Clock::time_point now) {
    ++m_counts.short_frames;
    if (const uint64_t due = m_short_log.Count(1, now))
        Log::Instance().Warnf("%s: dropped %llu frames too short to convert (%zu bytes of %zu)",
                              Where().c_str(), U(due), frame.data.Size(),
                              m_device.GetFormat().frame_bytes);
}

void CaptureSource::DropUnreadable(const V4l2Device::Frame& frame, Clock::time_point now) {
    if (!capture_format::IsCompressed(m_device.GetFormat().layout.fourcc))
        return DropShort(frame, now);
    // Counted with the buffers the driver flags: both are the source's bad frames.
    ++m_counts.bad;
    if (const uint64_t due = m_undecodable_log.Count(1, now))
        Log::Instance().Warnf("%s: dropped %llu %s frames that do not decode (the last %zu bytes)",
                              Where().c_str(), U(due),
                              FourccName(m_device.GetFormat().layout.fourcc).c_str(),
                              frame.data.Size());
}

bool CaptureSource::GiveBack(const V4l2Device::Frame& frame, Clock::time_point now) {
    if (m_device.Requeue(frame) == Status::SUCCESS) return true;
    if (m_device.Gone())
        Gone(now);
    else
        Lose(PictureLoss::NO_SIGNAL, "capture failed: " + m_device.Error(), now);
    return false;
}

FrameSlots::Clock::time_point CaptureSource::Stamp(const V4l2Device::Frame& frame,
                                                   Clock::time_point now) {
    const Clock::time_point stamp = frame.time;
    if (frame.driver_time && stamp <= now + STAMP_AHEAD && stamp >= now - STAMP_BEHIND)
        return stamp;
    if (frame.driver_time && !m_clock_warned) {
        m_clock_warned = true;
        Log::Instance().Warnf(
            "%s: the driver's time stamps are %.3f s off the clock; frames are "
            "timed as they are taken",
            Where().c_str(), Seconds(stamp - now));
    }
    return now;
}

int64_t CaptureSource::SlotOf(Clock::time_point stamp) const {
    // Until the first frame after a start anchors the grid, a frame takes the next slot.
    if (!m_anchored || m_lost) return m_next;
    return m_anchor_slot +
           std::llround(std::chrono::duration<double>(stamp - m_anchor) / m_slots.Period());
}

void CaptureSource::TakeFrame(const V4l2Device::Frame& frame, Clock::time_point now,
                              bool woven) {
    ++m_counts.captured;
    // A frame too short to convert is no picture: the stall check sees it so.
    if (!woven && !capture_format::Holds(m_device.GetFormat().layout, frame.data))
        return DropShort(frame, now);
    m_last_frame = now;
    // Woven fields: the frame's time is its first field's.
    const Clock::time_point stamp = woven ? m_frames.Time() : Stamp(frame, now);
    bool anchored = m_anchored && !m_lost;
    int64_t slot = SlotOf(stamp);
    if (anchored) {
        if (slot < m_next) {
            ++m_counts.dropped;
            return;
        }
        // A late loop fills only the latest slot that is due, with this frame
        // if it is older than that slot. A source that skipped: the slot
        // before this one repeats the last frame, as the timeout would have,
        // and those before it were missed. A long gap starts the grid again.
        const int64_t due = DueSlot(now, m_slots.Period());
        if (slot - m_next > m_slots.Fps()) {
            slot = m_next;
            anchored = false;
        } else if (due >= slot) {
            m_counts.missed += static_cast<uint64_t>(due - m_next);
            slot = m_next = due;
        } else if (slot - m_next > 1) {
            m_counts.missed += static_cast<uint64_t>(slot - 1 - m_next);
            m_next = slot - 1;
        }
        if (m_have_picture && m_next < slot) {
            ++m_counts.repeated;
            Emit(m_picture, m_next, m_picture_made);
        }
    }
    if (!Fit(frame, woven)) return DropUnreadable(frame, now);
    m_streamed = true;
    if (m_lost) {
        m_lost = false;
        if (m_loss_logged)
            Log::Instance().Infof("%s: picture back after %.1f s", Where().c_str(),
                                  Seconds(now - m_lost_since));
        m_loss_logged = false;
    }
    if (!anchored) {
        m_anchor = stamp;
        m_anchor_slot = slot;
        m_anchored = true;
    }
    m_have_picture = true;
    m_picture_made = stamp;
    m_color_space = m_device.GetFormat().color_space;
    Emit(m_picture, slot, stamp);
}

bool CaptureSource::Fit(const V4l2Device::Frame& frame, bool woven) {
    const V4l2Device::Format& format = m_device.GetFormat();
    const capture_format::Layout& layout = format.layout;
    if (woven) return Scale(m_frames.Frame().data(), layout.width, format.frame_height);
    const int width = m_settings.width;
    const int height = m_settings.height;
    uint8_t* y = m_picture.data();
    if (m_frames.Progressive() && layout.width == width && layout.height == height)
        return capture_format::ToNv12(layout, frame.data,
                                      {y, width, y + static_cast<size_t>(width) * height, width});
    m_converted.resize(static_cast<size_t>(layout.width) * layout.height * 3 / 2);
    uint8_t* cy = m_converted.data();
    uint8_t* cuv = cy + static_cast<size_t>(layout.width) * layout.height;
    if (!capture_format::ToNv12(layout, frame.data, {cy, layout.width, cuv, layout.width}))
        return false;
    if (m_frames.Progressive()) return Scale(cy, layout.width, layout.height);
    m_frames.Take(cy, frame.field, frame.sequence, frame.time);
    return Scale(m_frames.Frame().data(), layout.width, format.frame_height);
}

bool CaptureSource::Scale(const uint8_t* nv12, int from_width, int from_height) {
    const int width = m_settings.width;
    const int height = m_settings.height;
    uint8_t* y = m_picture.data();
    uint8_t* uv = y + static_cast<size_t>(width) * height;
    const uint8_t* from_uv = nv12 + static_cast<size_t>(from_width) * from_height;
    return libyuv::NV12Scale(nv12, from_width, from_uv, from_width, from_width, from_height, y,
                             width, uv, width, width, height, libyuv::kFilterBox) == 0;
}

void CaptureSource::Emit(const std::vector<uint8_t>& picture, int64_t slot,
                         Clock::time_point made) {
    SourcePicture out;
    const size_t luma = static_cast<size_t>(m_settings.width) * m_settings.height;
    out.picture = {picture.data(), m_settings.width, picture.data() + luma, m_settings.width};
    out.slot = slot;
    out.made = made;
    out.color_space = m_color_space;
    m_next = slot + 1;
    m_deliver(out);
}

FrameSlots::Clock::time_point CaptureSource::SlotTime(int64_t slot) const {
    return m_anchor + (slot - m_anchor_slot) * m_slots.Period();
}

int64_t CaptureSource::DueSlot(Clock::time_point now, Clock::duration wait) const {
    if (now < SlotTime(m_next) + wait) return -1;
    return m_next + (now - SlotTime(m_next) - wait) / m_slots.Period();
}

FrameSlots::Clock::time_point CaptureSource::NextDeadline() const {
    Clock::time_point deadline = Clock::time_point::max();
    if (!m_gone) deadline = m_next_check;
    if (m_device.IsStreaming() && !m_lost) deadline = std::min(deadline, m_last_frame + STALL);
    // A slot waits a period more for its frame before it repeats the last one.
    if (m_lost)
        deadline = std::min(deadline, SlotTime(m_next));
    else if (m_have_picture)
        deadline = std::min(deadline, SlotTime(m_next) + m_slots.Period());
    return deadline;
}

void CaptureSource::CheckSignal(Clock::time_point now) {
    if (!m_device.IsStreaming()) return Connect(now);
    m_next_check = now + (m_lost ? CHECK_LOST : CHECK_LIVE);
    const V4l2Device::Signal signal = m_device.QuerySignal();
    if (signal == V4l2Device::Signal::GONE) return Gone(now);
    if (signal != V4l2Device::Signal::PRESENT)
        return Lose(LossOf(signal), "the input says so (" + m_device.Error() + ")", now);
    // New timings without an event, or a stream that stalled after it gave
    // frames: start again.
    if (m_device.TimingsChanged() || (m_lost && m_streamed)) Connect(now);
}

void CaptureSource::RunDue(Clock::time_point now) {
    if (!m_gone && now >= m_next_check) CheckSignal(now);
    if (m_device.IsStreaming() && !m_lost && now - m_last_frame >= STALL) {
        char detail[64];
        snprintf(detail, sizeof(detail), "no frame from the device for %.1f s",
                 Seconds(now - m_last_frame));
        // A device that has given no frame since it started may be slow to
        // give its first (USB grabbers, webcams): it goes on streaming.
        Lose(PictureLoss::NO_SIGNAL, detail, now, m_streamed);
    }
    if (!m_lost && !m_have_picture) return;
    // A late loop fills the latest slot that is due, not every one it missed.
    const int64_t due = DueSlot(now, m_lost ? Clock::duration::zero() : m_slots.Period());
    if (due < 0) return;
    m_counts.missed += static_cast<uint64_t>(due - m_next);
    if (m_lost) {
        ++m_counts.no_signal;
        Emit(m_no_signal, due, now);
    } else {
        ++m_counts.repeated;
        Emit(m_picture, due, m_picture_made);
    }
}

void CaptureSource::LogSummary() const {
    Log::Instance().Infof(
        "%s: %llu frames captured (%llu dropped to keep %d fps, %llu slots repeated), "
        "%llu bad buffers dropped, %llu frames too short, %llu no-signal pictures in %llu "
        "losses of the picture",
        Where().c_str(), U(m_counts.captured), U(m_counts.dropped), m_settings.fps,
        U(m_counts.repeated), U(m_counts.bad), U(m_counts.short_frames), U(m_counts.no_signal),
        U(m_counts.losses));
}
