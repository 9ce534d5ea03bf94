#include "v4l2_device.h"

#include <cerrno>
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr uint32_t BUFFER_COUNT = 4;
constexpr uint32_t MAX_INPUTS = 64;

int Ioctl(int fd, unsigned long request, void* arg) {
    int result;
    do {
        result = ioctl(fd, request, arg);
    } while (result < 0 && errno == EINTR);
    return result;
}

std::string Text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Text(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

bool SameTimings(const v4l2_bt_timings& a, const v4l2_bt_timings& b) {
    return a.width == b.width && a.height == b.height && a.interlaced == b.interlaced &&
           a.pixelclock == b.pixelclock && a.hfrontporch == b.hfrontporch && a.hsync == b.hsync &&
           a.hbackporch == b.hbackporch && a.vfrontporch == b.vfrontporch && a.vsync == b.vsync &&
           a.vbackporch == b.vbackporch;
}

// One of the mapped capture buffers, as the buffer calls take it.
v4l2_buffer CaptureBuffer(uint32_t index) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    return buffer;
}

double FrameRate(const v4l2_bt_timings& bt) {
    const double total =
        static_cast<double>(V4L2_DV_BT_FRAME_WIDTH(&bt)) * V4L2_DV_BT_FRAME_HEIGHT(&bt);
    return total > 0 ? static_cast<double>(bt.pixelclock) / total : 0;
}

}  // namespace

V4l2Device::~V4l2Device() { Close(); }

Status V4l2Device::Fail(const char* step, int error) {
    m_error = Text("%s: (%d) %s", step, error, strerror(error));
    m_gone = error == ENODEV;
    return Status::FAILURE_SYSCALL;
}

Status V4l2Device::Refuse(const std::string& why) {
    m_error = why;
    m_gone = false;
    return Status::FAILURE_INVALID;
}

Status V4l2Device::Open(const std::string& path, int input) {
    Close();
    m_path = path;
    m_fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) return Fail("cannot open it", errno);
    v4l2_capability capability{};
    if (Ioctl(m_fd, VIDIOC_QUERYCAP, &capability) < 0) {
        const int error = errno;
        Close();
        // ENOSYS: an emulator that does not know the request.
        if (error == ENOTTY || error == ENOSYS)
            return Refuse(
                Text("not a V4L2 device (VIDIOC_QUERYCAP: (%d) %s)", error, strerror(error)));
        return Fail("VIDIOC_QUERYCAP", error);
    }
    m_driver = reinterpret_cast<const char*>(capability.driver);
    const uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                              ? capability.device_caps
                              : capability.capabilities;
    Status status = Status::SUCCESS;
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0)
        status = Refuse(
            (caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE) != 0
                ? "offers only the multi-planar capture interface, which the encoder does not take"
                : Text("not a video capture device (capabilities 0x%08x: an output or "
                       "another kind of node)",
                       caps));
    else if ((caps & V4L2_CAP_STREAMING) == 0)
        status = Refuse("cannot stream through mapped buffers");
    if (status == Status::SUCCESS) status = ChooseInput(input);
    if (status == Status::SUCCESS) status = ChooseFormat();
    if (status != Status::SUCCESS) {
        Close();
        return status;
    }
    // Events are per input: an id of another input hears nothing from this one.
    v4l2_event_subscription subscription{};
    subscription.type = V4L2_EVENT_SOURCE_CHANGE;
    subscription.id = m_input;
    m_events = Ioctl(m_fd, VIDIOC_SUBSCRIBE_EVENT, &subscription) == 0;
    return Status::SUCCESS;
}

Status V4l2Device::ChooseInput(int wanted) {
    std::vector<v4l2_input> inputs;
    for (uint32_t index = 0; index < MAX_INPUTS; ++index) {
        v4l2_input entry{};
        entry.index = index;
        if (Ioctl(m_fd, VIDIOC_ENUMINPUT, &entry) < 0) {
            if (errno == EINVAL) break;
            return Fail("VIDIOC_ENUMINPUT", errno);
        }
        inputs.push_back(entry);
    }
    if (inputs.empty()) return Refuse("has no input");
    size_t chosen = 0;
    if (wanted >= 0) {
        if (static_cast<size_t>(wanted) >= inputs.size())
            return Refuse(
                Text("has no input %d (its inputs are 0 to %zu)", wanted, inputs.size() - 1));
        chosen = static_cast<size_t>(wanted);
    } else {
        int current = 0;
        chosen = Ioctl(m_fd, VIDIOC_G_INPUT, &current) == 0 &&
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
    if (Ioctl(m_fd, VIDIOC_S_INPUT, &index) < 0 && !(errno == ENOTTY && inputs.size() == 1))
        return Fail("VIDIOC_S_INPUT", errno);
    m_input = inputs[chosen].index;
    m_input_name = reinterpret_cast<const char*>(inputs[chosen].name);
    m_dv_timings = (inputs[chosen].capabilities & V4L2_IN_CAP_DV_TIMINGS) != 0;
    return Status::SUCCESS;
}

Status V4l2Device::ChooseFormat() {
    std::vector<uint32_t> offered;
    for (uint32_t index = 0; index < 256; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Ioctl(m_fd, VIDIOC_ENUM_FMT, &description) < 0) {
            if (errno == EINVAL) break;
            return Fail("VIDIOC_ENUM_FMT", errno);
        }
        offered.push_back(description.pixelformat);
    }
    for (uint32_t fourcc : capture_format::Preferred())
        for (uint32_t candidate : offered)
            if (candidate == fourcc) {
                m_fourcc = fourcc;
                return Status::SUCCESS;
            }
    return Refuse("offers none of the pixel formats the encoder takes (" +
                  capture_format::Names(capture_format::Preferred()) + "); it offers " +
                  capture_format::Names(offered));
}

std::string V4l2Device::Describe() const {
    return Text("driver %s, input %u \"%s\"%s, %s", m_driver.c_str(), m_input, m_input_name.c_str(),
                m_dv_timings ? " (DV timings)" : "", capture_format::Name(m_fourcc).c_str());
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
    if (Ioctl(m_fd, VIDIOC_ENUMINPUT, &entry) < 0) {
        // A status that cannot be read is no loss of signal: the frames tell.
        Fail("VIDIOC_ENUMINPUT", errno);
        return m_gone ? Signal::GONE : Signal::PRESENT;
    }
    return FromStatus(entry.status);
}

V4l2Device::Signal V4l2Device::QuerySignal() {
    if (!m_dv_timings) return InputStatus();
    v4l2_dv_timings timings{};
    if (Ioctl(m_fd, VIDIOC_QUERY_DV_TIMINGS, &timings) == 0) {
        m_queried = timings;
        m_have_queried = true;
        return Signal::PRESENT;
    }
    const int error = errno;
    Fail("VIDIOC_QUERY_DV_TIMINGS", error);
    switch (error) {
    case ENOLINK: return Signal::NO_SIGNAL;
    case ENOLCK: return Signal::NO_LOCK;
    case ERANGE: return Signal::OUT_OF_RANGE;
    case ENODEV: return Signal::GONE;
    default: break;
    }
    // A receiver that cannot measure: capture with the timings it is set to.
    if (Ioctl(m_fd, VIDIOC_G_DV_TIMINGS, &timings) == 0) {
        m_queried = timings;
        m_have_queried = true;
    }
    return InputStatus();
}

bool V4l2Device::TimingsChanged() const {
    return m_dv_timings && m_have_queried && m_streaming &&
           !SameTimings(m_queried.bt, m_current.bt);
}

Status V4l2Device::Start(int width, int height) {
    Stop();
    m_error.clear();
    double fps = 0;
    if (m_dv_timings && m_have_queried) {
        v4l2_dv_timings timings = m_queried;
        if (Ioctl(m_fd, VIDIOC_S_DV_TIMINGS, &timings) < 0)
            return Fail("VIDIOC_S_DV_TIMINGS", errno);
        m_current = m_queried;
        width = static_cast<int>(m_current.bt.width);
        height = static_cast<int>(m_current.bt.height);
        fps = FrameRate(m_current.bt);
    }
    Status status = SetFormat(width, height);
    if (status == Status::SUCCESS && fps == 0) {
        v4l2_streamparm parameters{};
        parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        const v4l2_fract& period = parameters.parm.capture.timeperframe;
        if (Ioctl(m_fd, VIDIOC_G_PARM, &parameters) == 0 &&
            (parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) != 0 &&
            period.numerator > 0)
            fps = static_cast<double>(period.denominator) / period.numerator;
    }
    m_format.fps = fps;
    if (status == Status::SUCCESS) status = MapBuffers();
    if (status == Status::SUCCESS) {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Ioctl(m_fd, VIDIOC_STREAMON, &type) < 0) status = Fail("VIDIOC_STREAMON", errno);
    }
    if (status != Status::SUCCESS) {
        const std::string error = m_error;
        const bool gone = m_gone;
        Stop();
        m_error = error;
        m_gone = gone;
        return status;
    }
    m_streaming = true;
    return Status::SUCCESS;
}

Status V4l2Device::SetFormat(int width, int height) {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = static_cast<uint32_t>(width);
    format.fmt.pix.height = static_cast<uint32_t>(height);
    format.fmt.pix.pixelformat = m_fourcc;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (Ioctl(m_fd, VIDIOC_S_FMT, &format) < 0) return Fail("VIDIOC_S_FMT", errno);
    const v4l2_pix_format& pix = format.fmt.pix;
    if (!capture_format::IsTaken(pix.pixelformat))
        return Refuse("the driver gives " + capture_format::Name(pix.pixelformat) + " instead of " +
                      capture_format::Name(m_fourcc));
    capture_format::Layout layout{pix.pixelformat, static_cast<int>(pix.width),
                                  static_cast<int>(pix.height), pix.bytesperline};
    if (layout.bytes_per_line == 0)  // some drivers leave it to the application
        layout.bytes_per_line =
            pix.pixelformat == V4L2_PIX_FMT_YUYV || pix.pixelformat == V4L2_PIX_FMT_UYVY
                ? 2 * pix.width
                : pix.width;
    m_format.layout = layout;
    m_format.frame_bytes = capture_format::FrameBytes(layout);
    if (m_format.frame_bytes == 0)
        return Refuse(Text("cannot take %ux%u %s frames with %u bytes per line", pix.width,
                           pix.height, capture_format::Name(pix.pixelformat).c_str(),
                           layout.bytes_per_line));
    // The fields after priv are valid only when the core says so.
    const bool extended = pix.priv == V4L2_PIX_FMT_PRIV_MAGIC;
    m_format.color_space = capture_format::FromV4l2(pix.colorspace, extended ? pix.ycbcr_enc : 0,
                                                    extended ? pix.quantization : 0);
    return Status::SUCCESS;
}

Status V4l2Device::MapBuffers() {
    v4l2_requestbuffers request{};
    request.count = BUFFER_COUNT;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (Ioctl(m_fd, VIDIOC_REQBUFS, &request) < 0) return Fail("VIDIOC_REQBUFS", errno);
    m_buffers.resize(request.count);  // freed by Stop, even when fewer than asked
    if (request.count < 2)
        return Refuse(Text("gives %u capture buffers, fewer than 2", request.count));
    for (uint32_t index = 0; index < request.count; ++index) {
        v4l2_buffer buffer = CaptureBuffer(index);
        if (Ioctl(m_fd, VIDIOC_QUERYBUF, &buffer) < 0) return Fail("VIDIOC_QUERYBUF", errno);
        if (buffer.length < m_format.frame_bytes)
            return Refuse(Text("buffer %u holds %u bytes, less than a frame's %zu", index,
                               buffer.length, m_format.frame_bytes));
        void* data = mmap(nullptr, buffer.length, PROT_READ, MAP_SHARED, m_fd, buffer.m.offset);
        if (data == MAP_FAILED) return Fail("mmap of a capture buffer", errno);
        m_buffers[index] = {data, buffer.length};
    }
    for (uint32_t index = 0; index < request.count; ++index) {
        v4l2_buffer buffer = CaptureBuffer(index);
        if (Ioctl(m_fd, VIDIOC_QBUF, &buffer) < 0) return Fail("VIDIOC_QBUF", errno);
    }
    return Status::SUCCESS;
}

void V4l2Device::Unmap() {
    for (const Mapping& mapping : m_buffers)
        if (mapping.data != nullptr) munmap(mapping.data, mapping.length);
    m_buffers.clear();
}

void V4l2Device::Stop() {
    if (m_fd < 0) return;
    if (m_streaming) {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        Ioctl(m_fd, VIDIOC_STREAMOFF, &type);
        m_streaming = false;
    }
    if (!m_buffers.empty()) {
        Unmap();
        v4l2_requestbuffers request{};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        Ioctl(m_fd, VIDIOC_REQBUFS, &request);  // count 0 frees them
    }
}

void V4l2Device::Close() {
    Stop();
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    m_events = false;
    m_have_queried = false;
}

V4l2Device::Dequeued V4l2Device::Dequeue(Frame& frame) {
    v4l2_buffer buffer = CaptureBuffer(0);
    if (Ioctl(m_fd, VIDIOC_DQBUF, &buffer) < 0) {
        if (errno == EAGAIN) return Dequeued::NONE;
        Fail("VIDIOC_DQBUF", errno);
        return m_gone ? Dequeued::GONE : Dequeued::FAILED;
    }
    if (buffer.index >= m_buffers.size()) {
        Refuse(Text("VIDIOC_DQBUF gave buffer %u of %zu", buffer.index, m_buffers.size()));
        return Dequeued::FAILED;
    }
    const Mapping& mapping = m_buffers[buffer.index];
    frame.index = buffer.index;
    frame.data = static_cast<const uint8_t*>(mapping.data);
    frame.size = std::min<size_t>(buffer.bytesused, mapping.length);
    frame.error = (buffer.flags & V4L2_BUF_FLAG_ERROR) != 0 || frame.size == 0;
    frame.driver_time =
        (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    frame.time = frame.driver_time
                     ? Clock::time_point(std::chrono::seconds(buffer.timestamp.tv_sec) +
                                         std::chrono::microseconds(buffer.timestamp.tv_usec))
                     : Clock::now();
    return Dequeued::FRAME;
}

Status V4l2Device::Requeue(const Frame& frame) {
    v4l2_buffer buffer = CaptureBuffer(frame.index);
    if (Ioctl(m_fd, VIDIOC_QBUF, &buffer) < 0) return Fail("VIDIOC_QBUF", errno);
    return Status::SUCCESS;
}

V4l2Device::Events V4l2Device::TakeEvents() {
    Events result = Events::NONE;
    for (;;) {
        v4l2_event event{};
        if (Ioctl(m_fd, VIDIOC_DQEVENT, &event) < 0) {
            const int error = errno;
            if (error == ENOENT) return result;
            Fail("VIDIOC_DQEVENT", error);
            return error == ENODEV ? Events::GONE : result;
        }
        if (event.type == V4L2_EVENT_SOURCE_CHANGE) result = Events::SOURCE_CHANGED;
        if (event.pending == 0) return result;
    }
}
