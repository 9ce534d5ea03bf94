#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <linux/videodev2.h>

#include "capture_format.h"
#include "status.h"
#include "v4l2_node.h"
#include "v4l2_queue.h"

// One V4L2 video capture device, in the order a capture client takes it:
// open, query the capabilities, pick the input, query and set the timings,
// set the format, request and map the buffers, queue them, stream on. The
// caller's select loop waits on Descriptor(): frames in the read set while
// streaming, source-change events in the exception set.
//
// Nothing here logs: a failed step returns a status and leaves its reason,
// naming the step, in Error(), so that the caller can say it once with the
// device's path and count what recurs.
class V4l2Device {
public:
    using Clock = std::chrono::steady_clock;

    // What the input says of its source.
    enum class Signal { PRESENT, NO_SIGNAL, NO_LOCK, OUT_OF_RANGE, GONE };

    // The format being captured, once streaming.
    struct Format {
        capture_format::Layout layout;  // of one buffer: a field for ALTERNATE
        uint32_t field = V4L2_FIELD_NONE;
        int frame_height = 0;  // the height of a whole frame
        size_t frame_bytes = 0;
        ColorSpace color_space = CS_UNKNOWN;
        double fps = 0;  // the source's frame rate; 0 when the device does not say
    };

    struct Frame {
        capture_format::Frame data;
        Clock::time_point time;    // the driver's time stamp, or the dequeue time
        bool driver_time = false;  // the driver gave a monotonic time stamp
        bool error = false;        // the driver flagged the buffer as bad
        uint32_t index = 0;
        uint32_t field = V4L2_FIELD_NONE;  // TOP or BOTTOM for ALTERNATE
        uint32_t sequence = 0;
    };

    enum class Dequeued { FRAME, NONE, GONE, FAILED };
    enum class Events { NONE, SOURCE_CHANGED, GONE };

    explicit V4l2Device(V4l2Io& io = V4l2Io::Kernel()) : m_node(io) {}
    ~V4l2Device();
    V4l2Device(const V4l2Device&) = delete;
    V4l2Device& operator=(const V4l2Device&) = delete;

    // What became of the input's EDID at the open.
    enum class Edid {
        NONE,     // the input has no DV timings or keeps no EDID
        KEPT,     // it had one, left as it was
        WRITTEN,  // the one given, or the built-in one for an empty EDID
        FAILED,   // it could not be read or written: the reason in Error()
    };

    // Opens a video capture device and picks its input (`input` < 0: the first
    // with DV timings, else the current one) and a pixel format the encoder
    // takes. An input with DV timings is given `edid` when it is not empty,
    // else the built-in EDID when its own is empty.
    Status Open(const std::string& path, int input, const std::vector<uint8_t>& edid = {});
    void Close();
    bool IsOpen() const { return m_node.IsOpen(); }
    int Descriptor() const { return m_node.Descriptor(); }
    // "driver vivid, input 3 "HDMI 0" (DV timings), NV12"
    std::string Describe() const;
    bool HasDvTimings() const { return m_dv_timings; }
    bool HasEvents() const { return m_events; }
    // Kept after a failed open too.
    Edid EdidState() const { return m_edid; }
    const std::vector<uint8_t>& EdidWritten() const { return m_edid_written; }

    // The source as the timings query (an input with DV timings) or the input's
    // status (any other input) gives it.
    Signal QuerySignal();
    // The input's status bits only: cheap enough for every frame.
    Signal InputStatus();

    // Sets the timings just queried (an input with DV timings; otherwise the
    // size the device lists nearest width x height, the format that gives it
    // at `fps`, and that rate), the format, and streams with mmap buffers.
    Status Start(int width, int height, int fps);
    // The last Start failed because the device would not take the mode or
    // gave a format the encoder cannot take: the source is out of its range.
    bool OutOfRange() const { return m_out_of_range; }
    void Stop();
    bool IsStreaming() const { return m_queue && m_queue->IsStreaming(); }
    const Format& GetFormat() const { return m_format; }
    size_t BufferCount() const { return m_queue ? m_queue->Count() : 0; }
    // The timings were queried and differ from those being captured.
    bool TimingsChanged() const;

    // Never blocks. A FRAME must be handed back with Requeue; `now` times a
    // frame whose driver gives no time stamp.
    Dequeued Dequeue(Frame& frame, Clock::time_point now);
    Status Requeue(const Frame& frame);
    Events TakeEvents();

    // The reason of the last failure: "VIDIOC_S_FMT: (16) Device or resource busy".
    const std::string& Error() const { return m_node.Error(); }
    // The last failure was ENODEV: the device is gone.
    bool Gone() const { return m_node.Gone(); }

private:
    Status ChooseInput(int wanted);
    Status ChooseFormat();
    Edid WriteEdid(const std::vector<uint8_t>& given);
    Status SetFormat(int width, int height, bool interlaced);
    // An input without DV timings: the format and size to ask for.
    void ChooseMode(int& width, int& height, int fps);
    // Asks for `fps` (0: only reads it); the rate the device takes, 0 when it does not say.
    double SetRate(int fps);
    Status QueueBuffers();
    Signal FromStatus(uint32_t status) const;

    V4l2Node m_node;
    // Single-planar, or multi-planar where the device offers only that.
    std::optional<V4l2Queue> m_queue;
    uint32_t m_input = 0;
    std::string m_input_name;
    bool m_dv_timings = false;
    bool m_events = false;
    Edid m_edid = Edid::NONE;
    std::vector<uint8_t> m_edid_written;
    uint32_t m_fourcc = 0;
    uint32_t m_raw = 0;         // the uncompressed format offered first in the encoder's order
    uint32_t m_compressed = 0;  // MJPG or JPEG, when offered
    v4l2_dv_timings m_queried{};
    bool m_have_queried = false;
    bool m_out_of_range = false;
    v4l2_dv_timings m_current{};
    Format m_format;
};
