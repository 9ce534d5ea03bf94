#include "v4l2_device.h"

#include <cerrno>
#include <cstring>

#include "edid.h"
#include "frame_sizes.h"
#include "interlace.h"

namespace {

constexpr uint32_t BUFFER_COUNT = 4;
constexpr uint32_t MAX_INPUTS = 64;

// A receiver that measures the pixel clock (the ADV76xx do) reports values
// that differ a little from one query to the next: within this they are one
// mode, as the kernel's own receivers match them.
constexpr uint64_t PIXEL_CLOCK_TOLERANCE = 250000;

bool SameTimings(const v4l2_bt_timings& a, const v4l2_bt_timings& b) {
    const uint64_t clock_apart =
        a.pixelclock > b.pixelclock ? a.pixelclock - b.pixelclock : b.pixelclock - a.pixelclock;
    return a.width == b.width && a.height == b.height && a.interlaced == b.interlaced &&
           a.polarities == b.polarities && clock_apart <= PIXEL_CLOCK_TOLERANCE &&
           a.hfrontporch == b.hfrontporch && a.hsync == b.hsync && a.hbackporch == b.hbackporch &&
           a.vfrontporch == b.vfrontporch && a.vsync == b.vsync && a.vbackporch == b.vbackporch &&
           (a.flags & V4L2_DV_FL_REDUCED_FPS) == (b.flags & V4L2_DV_FL_REDUCED_FPS) &&
           (!a.interlaced ||
            (a.il_vfrontporch == b.il_vfrontporch && a.il_vsync == b.il_vsync &&
             a.il_vbackporch == b.il_vbackporch));
}

double FrameRate(const v4l2_bt_timings& bt) {
    const double total =
        static_cast<double>(V4L2_DV_BT_FRAME_WIDTH(&bt)) * V4L2_DV_BT_FRAME_HEIGHT(&bt);
    if (total <= 0) return 0;
    // 59.94 Hz and its kin: the CEA rate slowed by 1000/1001.
    const double slowed = (bt.flags & V4L2_DV_FL_REDUCED_FPS) != 0 ? 1000.0 / 1001.0 : 1.0;
    return static_cast<double>(bt.pixelclock) / total * slowed;
}

// A failed call that says the device will not take what was asked.
bool Refused(int error) { return error == EINVAL || error == ERANGE; }

}  // namespace

V4l2Device::~V4l2Device() { Close(); }

Status V4l2Device::Open(const std::string& path, int input, const std::vector<uint8_t>& edid) {
    Close();
    m_edid = Edid::NONE;
    Status status = m_node.Open(path);
    if (status != Status::SUCCESS) return status;
    const uint32_t caps = m_node.Caps();
    if ((caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) == 0)
        status = m_node.Refuse(
            V4l2Text("not a video capture device (capabilities 0x%08x: an output or "
                     "another kind of node)",
                     caps));
    else if ((caps & V4L2_CAP_STREAMING) == 0)
        status = m_node.Refuse("cannot stream through mapped buffers");
    else
        m_queue.emplace(m_node, V4l2Queue::Direction::CAPTURE,
                        (caps & V4L2_CAP_VIDEO_CAPTURE) == 0);
    if (status == Status::SUCCESS) status = ChooseInput(input);
    m_edid = status == Status::SUCCESS && m_dv_timings ? WriteEdid(edid) : Edid::NONE;
    // The EDID asked for must be the one the source reads.
    if (m_edid == Edid::FAILED && !edid.empty()) status = Status::FAILURE_SYSCALL;
    if (status == Status::SUCCESS) status = ChooseFormat();
    if (status != Status::SUCCESS) {
        Close();  // the reason stays on the node
        return status;
    }
    // Events are per input: an id of another input hears nothing from this one.
    v4l2_event_subscription subscription{};
    subscription.type = V4L2_EVENT_SOURCE_CHANGE;
    subscription.id = m_input;
    m_events = m_node.CallQuietly(VIDIOC_SUBSCRIBE_EVENT, &subscription);
    return Status::SUCCESS;
}

Status V4l2Device::ChooseInput(int wanted) {
    std::vector<v4l2_input> inputs;
    for (uint32_t index = 0; index < MAX_INPUTS; ++index) {
        v4l2_input entry{};
        entry.index = index;
        if (!m_node.Call(VIDIOC_ENUMINPUT, &entry, "VIDIOC_ENUMINPUT")) {
            if (m_node.LastErrno() == EINVAL) break;
            return Status::FAILURE_SYSCALL;
        }
        inputs.push_back(entry);
    }
    if (inputs.empty()) return m_node.Refuse("has no input");
    size_t chosen = 0;
    if (wanted >= 0) {
        if (static_cast<size_t>(wanted) >= inputs.size())
            return m_node.Refuse(
                V4l2Text("has no input %d (its inputs are 0 to %zu)", wanted, inputs.size() - 1));
        chosen = static_cast<size_t>(wanted);
    } else {
        int current = 0;
        chosen = m_node.CallQuietly(VIDIOC_G_INPUT, &current) &&
                         static_cast<size_t>(current) < inputs.size()
                     ? static_cast<size_t>(current)
                     : 0;
        for (size_t i = 0; i < inputs.size(); ++i)
            if ((inputs[i].capabilities & V4L2_IN_CAP_DV_TIMINGS) != 0) {
                chosen = i;
                break;
            }
    }
    int index = static_cast<int>(inputs[chosen].index);
    if (!m_node.Call(VIDIOC_S_INPUT, &index, "VIDIOC_S_INPUT") &&
        !(m_node.LastErrno() == ENOTTY && inputs.size() == 1))
        return Status::FAILURE_SYSCALL;
    m_node.ClearError();
    m_input = inputs[chosen].index;
    m_input_name = reinterpret_cast<const char*>(inputs[chosen].name);
    m_dv_timings = (inputs[chosen].capabilities & V4L2_IN_CAP_DV_TIMINGS) != 0;
    return Status::SUCCESS;
}

Status V4l2Device::ChooseFormat() {
    std::vector<uint32_t> offered;
    const Status status = m_queue->EnumFormats(offered);
    if (status != Status::SUCCESS) return status;
    // A format of two planes comes only through the multi-planar interface.
    m_raw = m_compressed = 0;
    for (uint32_t fourcc : capture_format::Preferred())
        for (uint32_t candidate : offered)
            if (m_raw == 0 && candidate == fourcc &&
                (m_queue->MultiPlanar() || capture_format::PlanesOf(fourcc) == 1))
                m_raw = fourcc;
    for (uint32_t candidate : offered)
        if (m_compressed == 0 && capture_format::IsCompressed(candidate)) m_compressed = candidate;
    m_fourcc = m_raw != 0 ? m_raw : m_compressed;
    if (m_fourcc != 0) return Status::SUCCESS;
    return m_node.Refuse("offers none of the pixel formats the encoder takes (" +
                         FourccNames(capture_format::Preferred()) + ", MJPG); it offers " +
                         FourccNames(offered));
}

V4l2Device::Edid V4l2Device::WriteEdid(const std::vector<uint8_t>& given) {
    m_edid_written.clear();
    v4l2_edid current{};
    current.pad = m_input;  // on a video node, the input
    if (!m_node.CallQuietly(VIDIOC_G_EDID, &current)) {
        const int error = errno;
        // ENOTTY: the receiver keeps no EDID; EINVAL: not for this input.
        if (error == ENOTTY || error == EINVAL) return Edid::NONE;
        if (error != ENODATA && given.empty()) {
            m_node.Fail("VIDIOC_G_EDID", error);
            return Edid::FAILED;
        }
        current.blocks = 0;
    }
    if (given.empty() && current.blocks > 0) return Edid::KEPT;
    std::vector<uint8_t> bytes = given.empty() ? edid::BuiltIn() : given;
    v4l2_edid written{};
    written.pad = m_input;
    written.blocks = static_cast<uint32_t>(bytes.size() / edid::BLOCK);
    written.edid = bytes.data();
    if (!m_node.Call(VIDIOC_S_EDID, &written, "VIDIOC_S_EDID")) {
        if (m_node.LastErrno() == E2BIG)
            m_node.Refuse(V4l2Text("the receiver keeps at most %u EDID blocks, not %zu",
                                   written.blocks, bytes.size() / edid::BLOCK));
        return Edid::FAILED;
    }
    m_edid_written = std::move(bytes);
    return Edid::WRITTEN;
}

std::string V4l2Device::Describe() const {
    // An input without DV timings takes MJPG where its raw format falls short
    // at the start: both may be said.
    const std::string formats =
        m_raw != 0 && m_compressed != 0 && !m_dv_timings
            ? FourccName(m_raw) + ", or " + FourccName(m_compressed) + " decoded with libyuv"
        : capture_format::IsCompressed(m_fourcc) ? FourccName(m_fourcc) + " decoded with libyuv"
                                                 : FourccName(m_fourcc);
    return V4l2Text("driver %s, input %u \"%s\"%s, %s%s", m_node.Driver().c_str(), m_input,
                    m_input_name.c_str(), m_dv_timings ? " (DV timings)" : "", formats.c_str(),
                    m_queue && m_queue->MultiPlanar() ? " (multi-planar)" : "");
}

V4l2Device::Signal V4l2Device::FromStatus(uint32_t status) const {
    if ((status & (V4L2_IN_ST_NO_POWER | V4L2_IN_ST_NO_SIGNAL)) != 0) return Signal::NO_SIGNAL;
    if ((status & (V4L2_IN_ST_NO_H_LOCK | V4L2_IN_ST_NO_V_LOCK | V4L2_IN_ST_NO_SYNC |
                   V4L2_IN_ST_NO_EQU | V4L2_IN_ST_NO_CARRIER)) != 0)
        return Signal::NO_LOCK;
    return Signal::PRESENT;
}

V4l2Device::Signal V4l2Device::InputStatus() {
    v4l2_input entry{};
    entry.index = m_input;
    // A status that cannot be read is no loss of signal: the frames tell.
    if (!m_node.Call(VIDIOC_ENUMINPUT, &entry, "VIDIOC_ENUMINPUT"))
        return m_node.Gone() ? Signal::GONE : Signal::PRESENT;
    return FromStatus(entry.status);
}

V4l2Device::Signal V4l2Device::QuerySignal() {
    if (!m_dv_timings) return InputStatus();
    v4l2_dv_timings timings{};
    if (m_node.Call(VIDIOC_QUERY_DV_TIMINGS, &timings, "VIDIOC_QUERY_DV_TIMINGS")) {
        m_queried = timings;
        m_have_queried = true;
        return Signal::PRESENT;
    }
    switch (m_node.LastErrno()) {
    case ENOLINK: return Signal::NO_SIGNAL;
    case ENOLCK: return Signal::NO_LOCK;
    case ERANGE: return Signal::OUT_OF_RANGE;
    case ENODEV: return Signal::GONE;
    default: break;
    }
    // A receiver that cannot measure: capture with the timings it is set to.
    if (m_node.CallQuietly(VIDIOC_G_DV_TIMINGS, &timings)) {
        m_queried = timings;
        m_have_queried = true;
    }
    return InputStatus();
}

bool V4l2Device::TimingsChanged() const {
    return m_dv_timings && m_have_queried && IsStreaming() &&
           !SameTimings(m_queried.bt, m_current.bt);
}

void V4l2Device::ChooseMode(int& width, int& height, int fps) {
    const frame_sizes::Size wanted{static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
    const auto takes = [&](uint32_t fourcc, frame_sizes::Size& size) {
        size = frame_sizes::Choose(m_node, fourcc, wanted);
        const double fastest = frame_sizes::FastestRate(m_node, fourcc, size);
        return size == wanted && (fastest == 0 || fastest >= fps - 0.01);
    };
    m_fourcc = m_raw != 0 ? m_raw : m_compressed;
    frame_sizes::Size size;
    // A grabber may give its raw pictures only small or slow, its MJPG at
    // the size and rate asked for.
    frame_sizes::Size compressed;
    if (!takes(m_fourcc, size) && m_raw != 0 && m_compressed != 0 &&
        takes(m_compressed, compressed)) {
        m_fourcc = m_compressed;
        size = compressed;
    }
    width = static_cast<int>(size.width);
    height = static_cast<int>(size.height);
}

double V4l2Device::SetRate(int fps) {
    v4l2_streamparm parameters{};
    parameters.type = m_queue->Type();
    const v4l2_fract& period = parameters.parm.capture.timeperframe;
    if (m_node.CallQuietly(VIDIOC_G_PARM, &parameters) &&
        (parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) != 0 && fps > 0) {
        // The stream's rate asked for; the device answers the one it takes.
        parameters.parm.capture.timeperframe = {1, static_cast<uint32_t>(fps)};
        if (!m_node.CallQuietly(VIDIOC_S_PARM, &parameters))
            m_node.CallQuietly(VIDIOC_G_PARM, &parameters);
    }
    if ((parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) == 0 ||
        period.numerator == 0)
        return 0;
    return static_cast<double>(period.denominator) / period.numerator;
}

Status V4l2Device::Start(int width, int height, int fps) {
    Stop();
    m_node.ClearError();
    m_out_of_range = false;
    Status status = Status::SUCCESS;
    bool interlaced = false;
    if (m_dv_timings && m_have_queried) {
        v4l2_dv_timings timings = m_queried;
        if (!m_node.Call(VIDIOC_S_DV_TIMINGS, &timings, "VIDIOC_S_DV_TIMINGS")) {
            m_out_of_range = Refused(m_node.LastErrno());
            return Status::FAILURE_SYSCALL;
        }
        m_current = m_queried;
        width = static_cast<int>(m_current.bt.width);
        height = static_cast<int>(m_current.bt.height);
        interlaced = m_current.bt.interlaced != 0;
    } else if (!m_dv_timings) {
        ChooseMode(width, height, fps);
    }
    status = SetFormat(width, height, interlaced);
    double rate = m_dv_timings && m_have_queried ? FrameRate(m_current.bt) : 0;
    if (status == Status::SUCCESS && rate == 0) rate = SetRate(m_dv_timings ? 0 : fps);
    m_format.fps = rate;
    if (status == Status::SUCCESS) status = QueueBuffers();
    if (status == Status::SUCCESS) status = m_queue->StreamOn();
    if (status != Status::SUCCESS) Stop();  // the reason stays on the node
    return status;
}

Status V4l2Device::SetFormat(int width, int height, bool interlaced) {
    V4l2Queue::Format format;
    format.fourcc = m_fourcc;
    format.width = static_cast<uint32_t>(width);
    format.height = static_cast<uint32_t>(height);
    // Interlaced timings: the order of the fields is the driver's to say.
    format.field = interlaced ? V4L2_FIELD_ANY : V4L2_FIELD_NONE;
    bool set = m_queue->SetFormat(format) == Status::SUCCESS;
    // Fields in buffers of their own: the height asked is a field's, or a
    // driver that scales gives each field a whole frame's lines.
    if (set && interlaced && format.field == V4L2_FIELD_ALTERNATE &&
        format.height != static_cast<uint32_t>(height) / 2) {
        format.fourcc = m_fourcc;
        format.width = static_cast<uint32_t>(width);
        format.height = static_cast<uint32_t>(height) / 2;
        set = m_queue->SetFormat(format) == Status::SUCCESS;
    }
    if (!set) {
        m_out_of_range = Refused(m_node.LastErrno());
        return Status::FAILURE_SYSCALL;
    }
    // What follows is a mode the encoder cannot take from this device.
    m_out_of_range = true;
    if (!capture_format::IsTaken(format.fourcc))
        return m_node.Refuse("the driver gives " + FourccName(format.fourcc) + " instead of " +
                             FourccName(m_fourcc));
    if (format.field == V4L2_FIELD_ANY) format.field = V4L2_FIELD_NONE;  // an older driver's answer
    if (!interlace::IsTaken(format.field))
        return m_node.Refuse(V4l2Text("gives the fields in the order %s, of which no whole "
                                      "frames can be made",
                                      interlace::FieldName(format.field)));
    const int frame_height = static_cast<int>(format.height) *
                             (format.field == V4L2_FIELD_ALTERNATE ? 2 : 1);
    if (format.field != V4L2_FIELD_NONE && frame_height % 4 != 0)
        return m_node.Refuse(V4l2Text("gives interlaced frames of %d lines, which have fields of "
                                      "an odd number of lines",
                                      frame_height));
    const uint32_t planes = capture_format::PlanesOf(format.fourcc);
    if (m_queue->MultiPlanar() && format.planes != planes)
        return m_node.Refuse(V4l2Text("the driver gives %s in %u planes, not %u",
                                      FourccName(format.fourcc).c_str(), format.planes, planes));
    capture_format::Layout layout{format.fourcc, static_cast<int>(format.width),
                                  static_cast<int>(format.height), format.plane[0].bytes_per_line,
                                  planes > 1 ? format.plane[1].bytes_per_line : 0};
    if (layout.bytes_per_line == 0)  // some drivers leave it to the application
        layout.bytes_per_line =
            format.fourcc == V4L2_PIX_FMT_YUYV || format.fourcc == V4L2_PIX_FMT_UYVY
                ? 2 * format.width
                : format.width;
    if (planes > 1 && layout.chroma_bytes_per_line == 0)
        layout.chroma_bytes_per_line = layout.bytes_per_line;
    m_format.layout = layout;
    m_format.frame_bytes = capture_format::FrameBytes(layout);
    if (m_format.frame_bytes == 0)
        return m_node.Refuse(V4l2Text("cannot take %ux%u %s frames with %u bytes per line",
                                      format.width, format.height,
                                      FourccName(format.fourcc).c_str(), layout.bytes_per_line));
    m_format.field = format.field;
    m_format.frame_height = frame_height;
    m_format.color_space =
        capture_format::FromV4l2(format.colorspace, format.ycbcr_enc, format.quantization);
    m_out_of_range = false;
    return Status::SUCCESS;
}

Status V4l2Device::QueueBuffers() {
    Status status = m_queue->Allocate(BUFFER_COUNT, 2);
    const capture_format::PlaneBytes needed = capture_format::BytesOf(m_format.layout);
    if (status == Status::SUCCESS && m_queue->PlaneCount() != capture_format::PlanesOf(m_format.layout.fourcc))
        return m_node.Refuse(V4l2Text("its buffers have %u planes, not %u", m_queue->PlaneCount(),
                                      capture_format::PlanesOf(m_format.layout.fourcc)));
    for (uint32_t index = 0; status == Status::SUCCESS && index < m_queue->Count(); ++index) {
        for (uint32_t plane = 0; plane < m_queue->PlaneCount(); ++plane) {
            const size_t length = m_queue->Map(index, plane).length;
            if (length < needed.plane[plane])
                return m_node.Refuse(V4l2Text("buffer %u holds %zu bytes in plane %u, less than "
                                              "a frame's %zu",
                                              index, length, plane, needed.plane[plane]));
        }
        status = m_queue->Queue(index);
    }
    return status;
}

void V4l2Device::Stop() {
    if (m_queue) m_queue->Release();
}

void V4l2Device::Close() {
    m_queue.reset();
    m_node.Close();
    m_events = false;
    m_have_queried = false;
}

V4l2Device::Dequeued V4l2Device::Dequeue(Frame& frame, Clock::time_point now) {
    V4l2Queue::Buffer buffer;
    switch (m_queue->Dequeue(buffer)) {
    case V4l2Queue::Dequeued::BUFFER: break;
    case V4l2Queue::Dequeued::NONE: return Dequeued::NONE;
    case V4l2Queue::Dequeued::LAST:
        m_node.Fail("VIDIOC_DQBUF", EPIPE);
        return Dequeued::FAILED;
    case V4l2Queue::Dequeued::FAILED: return m_node.Gone() ? Dequeued::GONE : Dequeued::FAILED;
    }
    frame.index = buffer.index;
    frame.data = capture_format::Frame{};
    for (uint32_t plane = 0; plane < m_queue->PlaneCount() && plane < 2; ++plane) {
        frame.data.plane[plane] = m_queue->Map(buffer.index, plane).data;
        frame.data.size[plane] = buffer.used[plane];
    }
    frame.error = (buffer.flags & V4L2_BUF_FLAG_ERROR) != 0;
    frame.field = buffer.field;
    frame.sequence = buffer.sequence;
    frame.driver_time =
        (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    frame.time = frame.driver_time
                     ? Clock::time_point(std::chrono::seconds(buffer.timestamp.tv_sec) +
                                         std::chrono::microseconds(buffer.timestamp.tv_usec))
                     : now;
    return Dequeued::FRAME;
}

Status V4l2Device::Requeue(const Frame& frame) { return m_queue->Queue(frame.index); }

V4l2Device::Events V4l2Device::TakeEvents() {
    Events result = Events::NONE;
    for (;;) {
        v4l2_event event{};
        if (!m_node.CallQuietly(VIDIOC_DQEVENT, &event)) {
            const int error = errno;
            if (error == ENOENT) return result;
            m_node.Fail("VIDIOC_DQEVENT", error);
            return error == ENODEV ? Events::GONE : result;
        }
        if (event.type == V4L2_EVENT_SOURCE_CHANGE) result = Events::SOURCE_CHANGED;
        if (event.pending == 0) return result;
    }
}
