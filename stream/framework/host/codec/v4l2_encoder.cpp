#include "v4l2_encoder.h"

#include <algorithm>
#include <cstring>
#include <poll.h>

#include <libyuv/planar_functions.h>

namespace {

// Raw buffers: one with the driver, one being filled, one spare. Coded
// buffers: as many, so a frame never waits for one.
constexpr uint32_t RAW_BUFFERS = 3;
constexpr uint32_t CODED_BUFFERS = 4;

std::string CodecName(uint32_t fourcc) {
    switch (fourcc) {
    case V4L2_PIX_FMT_H264: return "H.264";
    case V4L2_PIX_FMT_HEVC: return "HEVC";
    default: return FourccName(fourcc);
    }
}

bool Has(const std::vector<uint32_t>& list, uint32_t fourcc) {
    return std::find(list.begin(), list.end(), fourcc) != list.end();
}

// What the format says of the colours, in V4L2's terms.
void SetColours(ColorSpace space, V4l2Queue::Format& format) {
    const bool full = space == CS_YCBCR601_FULL || space == CS_YCBCR709_FULL;
    switch (space) {
    case CS_YCBCR601_LIMITED:
    case CS_YCBCR601_FULL:
        format.colorspace = V4L2_COLORSPACE_SMPTE170M;
        format.ycbcr_enc = V4L2_YCBCR_ENC_601;
        format.xfer_func = V4L2_XFER_FUNC_709;
        break;
    case CS_YCBCR709_LIMITED:
    case CS_YCBCR709_FULL:
        format.colorspace = V4L2_COLORSPACE_REC709;
        format.ycbcr_enc = V4L2_YCBCR_ENC_709;
        format.xfer_func = V4L2_XFER_FUNC_709;
        break;
    case CS_YCBCR2020_LIMITED:
        format.colorspace = V4L2_COLORSPACE_BT2020;
        format.ycbcr_enc = V4L2_YCBCR_ENC_BT2020;
        format.xfer_func = V4L2_XFER_FUNC_709;
        break;
    default: return;  // the driver's default
    }
    format.quantization = full ? V4L2_QUANTIZATION_FULL_RANGE : V4L2_QUANTIZATION_LIM_RANGE;
}

// The rows below the picture repeat its last one.
void PadRows(uint8_t* plane, uint32_t stride, int rows, int to_rows, int width) {
    for (int row = rows; row < to_rows; ++row)
        memcpy(plane + static_cast<size_t>(row) * stride, plane + static_cast<size_t>(rows - 1) * stride,
               static_cast<size_t>(width));
}

// The columns right of the picture repeat its last one (`unit` bytes a pixel).
void PadColumns(uint8_t* plane, uint32_t stride, int rows, int width, int to_width, int unit) {
    if (to_width <= width) return;
    for (int row = 0; row < rows; ++row) {
        uint8_t* line = plane + static_cast<size_t>(row) * stride;
        for (int x = width; x < to_width; x += unit) memcpy(line + x, line + width - unit, unit);
    }
}

}  // namespace

V4l2Encoder::~V4l2Encoder() { Close(); }

Status V4l2Encoder::Probe(const std::string& path, uint32_t coded, std::string& why) {
    V4l2Encoder encoder;
    Status status = encoder.m_node.Open(path);
    if (status == Status::SUCCESS) status = encoder.Check(coded);
    if (status == Status::SUCCESS) {
        encoder.m_settings.coded = coded;
        encoder.m_settings.width = 640;
        encoder.m_settings.height = 360;
        status = encoder.SetFormats();
    }
    why = status == Status::SUCCESS ? "" : encoder.Error();
    return status;
}

// A memory-to-memory node whose CAPTURE side codes `coded`, in one interface.
Status V4l2Encoder::Check(uint32_t coded) {
    const uint32_t caps = m_node.Caps();
    const bool single = (caps & V4L2_CAP_VIDEO_M2M) != 0 ||
                        (caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_OUTPUT)) ==
                            (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_OUTPUT);
    const bool multi = (caps & V4L2_CAP_VIDEO_M2M_MPLANE) != 0 ||
                       (caps & (V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_VIDEO_OUTPUT_MPLANE)) ==
                           (V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_VIDEO_OUTPUT_MPLANE);
    if (!single && !multi)
        return m_node.Refuse(V4l2Text("not a memory-to-memory video device (capabilities 0x%08x)", caps));
    if ((caps & V4L2_CAP_STREAMING) == 0) return m_node.Refuse("cannot stream through mapped buffers");
    const bool multi_planar = !single;
    m_output = std::make_unique<V4l2Queue>(m_node, V4l2Queue::Direction::OUTPUT, multi_planar);
    m_capture = std::make_unique<V4l2Queue>(m_node, V4l2Queue::Direction::CAPTURE, multi_planar);
    std::vector<uint32_t> offered;
    const Status status = m_capture->EnumFormats(offered);
    if (status != Status::SUCCESS) return status;
    if (!Has(offered, coded)) {
        std::string names;
        for (uint32_t fourcc : offered) names += (names.empty() ? "" : ", ") + CodecName(fourcc);
        return m_node.Refuse("codes " + (names.empty() ? std::string("nothing") : names) + ", not " +
                             CodecName(coded));
    }
    return Status::SUCCESS;
}

// The coded format first: it governs what the raw side takes.
Status V4l2Encoder::SetFormats() {
    m_coded = V4l2Queue::Format{};
    m_coded.fourcc = m_settings.coded;
    m_coded.width = static_cast<uint32_t>(m_settings.width);
    m_coded.height = static_cast<uint32_t>(m_settings.height);
    Status status = m_capture->SetFormat(m_coded);
    if (status != Status::SUCCESS) return status;
    if (m_coded.fourcc != m_settings.coded)
        return m_node.Refuse("codes " + CodecName(m_coded.fourcc) + " when asked for " +
                             CodecName(m_settings.coded));
    std::vector<uint32_t> offered;
    status = m_output->EnumFormats(offered);
    if (status != Status::SUCCESS) return status;
    uint32_t fourcc = 0;
    if (Has(offered, V4L2_PIX_FMT_NV12))
        fourcc = V4L2_PIX_FMT_NV12;
    else if (m_output->MultiPlanar() && Has(offered, V4L2_PIX_FMT_NV12M))
        fourcc = V4L2_PIX_FMT_NV12M;
    else
        return m_node.Refuse("takes no NV12 input (it takes " + FourccNames(offered) + ")");

    m_raw = V4l2Queue::Format{};
    m_raw.fourcc = fourcc;
    m_raw.width = static_cast<uint32_t>(m_settings.width);
    m_raw.height = static_cast<uint32_t>(m_settings.height);
    m_raw.planes = fourcc == V4L2_PIX_FMT_NV12M ? 2 : 1;
    SetColours(m_settings.color_space, m_raw);
    status = m_output->SetFormat(m_raw);
    if (status != Status::SUCCESS) return status;
    const uint32_t planes = m_raw.fourcc == V4L2_PIX_FMT_NV12M ? 2 : 1;
    if (m_raw.fourcc != fourcc || m_raw.planes != planes)
        return m_node.Refuse(V4l2Text("takes %s in %u planes when asked for %s",
                                      FourccName(m_raw.fourcc).c_str(), m_raw.planes,
                                      FourccName(fourcc).c_str()));
    if (m_raw.width < static_cast<uint32_t>(m_settings.width) ||
        m_raw.height < static_cast<uint32_t>(m_settings.height) || m_raw.width % 2 != 0 ||
        m_raw.height % 2 != 0)
        return m_node.Refuse(V4l2Text("takes %ux%u frames, which cannot hold %dx%d pictures",
                                      m_raw.width, m_raw.height, m_settings.width,
                                      m_settings.height));
    // Lines and planes as the driver laid them out; what it leaves open, packed.
    for (uint32_t p = 0; p < planes; ++p) {
        V4l2Queue::Plane& plane = m_raw.plane[p];
        if (plane.bytes_per_line == 0) plane.bytes_per_line = m_raw.width;
        if (plane.bytes_per_line < m_raw.width)
            return m_node.Refuse(V4l2Text("lays %u-pixel lines out in %u bytes", m_raw.width,
                                          plane.bytes_per_line));
    }
    if (planes == 2) m_raw.plane[1].bytes_per_line = std::max(m_raw.plane[1].bytes_per_line, m_raw.width);
    // The raw format may change the coded one (its size, its buffers').
    return m_capture->GetFormat(m_coded);
}

void V4l2Encoder::SetVisibleSize() {
    if (m_raw.width == static_cast<uint32_t>(m_settings.width) &&
        m_raw.height == static_cast<uint32_t>(m_settings.height))
        return;
    // The selection interface takes the single-planar types for both.
    v4l2_selection selection{};
    selection.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    selection.target = V4L2_SEL_TGT_CROP;
    selection.r.width = static_cast<uint32_t>(m_settings.width);
    selection.r.height = static_cast<uint32_t>(m_settings.height);
    if (!m_node.Call(VIDIOC_S_SELECTION, &selection, "VIDIOC_S_SELECTION")) {
        m_skipped.push_back("visible size: " + m_node.Error());
        m_node.ClearError();
        return;
    }
    if (selection.r.left != 0 || selection.r.top != 0 ||
        selection.r.width != static_cast<uint32_t>(m_settings.width) ||
        selection.r.height != static_cast<uint32_t>(m_settings.height))
        m_differences.push_back(V4l2Text("visible size %dx%d taken as %ux%u at %d,%d", m_settings.width,
                                         m_settings.height, selection.r.width, selection.r.height,
                                         selection.r.left, selection.r.top));
}

void V4l2Encoder::SetFrameRate() {
    v4l2_streamparm parameters{};
    parameters.type = m_output->Type();
    parameters.parm.output.timeperframe = {1, static_cast<uint32_t>(m_settings.fps)};
    m_rate.clear();
    if (!m_node.Call(VIDIOC_S_PARM, &parameters, "VIDIOC_S_PARM")) {
        m_skipped.push_back("frame rate: " + m_node.Error());
        m_node.ClearError();
        return;
    }
    const v4l2_fract taken = parameters.parm.output.timeperframe;
    if (taken.numerator == 0 || taken.denominator == 0) return;  // the driver says nothing back
    m_rate = V4l2Text("%g fps", static_cast<double>(taken.denominator) / taken.numerator);
    if (taken.numerator * static_cast<uint64_t>(m_settings.fps) != taken.denominator)
        m_differences.push_back(V4l2Text("frame rate %d fps taken as %s", m_settings.fps, m_rate.c_str()));
}

Status V4l2Encoder::Open(const std::string& path, const Settings& settings) {
    Close();
    m_settings = settings;
    m_differences.clear();
    m_skipped.clear();
    Status status = m_node.Open(path);
    if (status == Status::SUCCESS) status = Check(settings.coded);
    if (status == Status::SUCCESS) status = SetFormats();
    if (status == Status::SUCCESS) {
        SetVisibleSize();
        SetFrameRate();
        m_controls.Apply(m_node, {settings.coded, settings.width, settings.height, settings.fps,
                                  settings.bit_rate});
        status = m_output->Allocate(RAW_BUFFERS, 1);
    }
    for (uint32_t index = 0; status == Status::SUCCESS && index < m_output->Count(); ++index) {
        const uint32_t planes = m_raw.fourcc == V4L2_PIX_FMT_NV12M ? 2 : 1;
        if (m_output->PlaneCount() != planes)
            status = m_node.Refuse(V4l2Text("gives raw buffers of %u planes for %u", m_output->PlaneCount(), planes));
        const size_t luma = static_cast<size_t>(m_raw.plane[0].bytes_per_line) * m_raw.height;
        const size_t chroma = static_cast<size_t>(m_raw.plane[planes - 1].bytes_per_line) * m_raw.height / 2;
        const size_t first = planes == 2 ? luma : luma + chroma;
        if (status == Status::SUCCESS && (m_output->Map(index, 0).length < first ||
                                          (planes == 2 && m_output->Map(index, 1).length < chroma)))
            status = m_node.Refuse(V4l2Text("raw buffer %u is smaller than a %ux%u frame", index,
                                            m_raw.width, m_raw.height));
    }
    if (status == Status::SUCCESS) status = m_capture->Allocate(CODED_BUFFERS, 1);
    for (uint32_t index = 0; status == Status::SUCCESS && index < m_capture->Count(); ++index)
        status = m_capture->Queue(index);
    if (status == Status::SUCCESS) status = Stream();
    if (status != Status::SUCCESS) {
        Close();  // the reason stays on the node
        return status;
    }
    for (const std::string& text : m_controls.Differences()) m_differences.push_back(text);
    for (const std::string& text : m_controls.Skipped()) m_skipped.push_back(text);
    return Status::SUCCESS;
}

// Some drivers take each control and refuse their mix only when the stream
// starts: then it starts with the driver's own.
Status V4l2Encoder::Stream() {
    Status status = m_output->StreamOn();
    if (status == Status::SUCCESS) status = m_capture->StreamOn();
    if (status == Status::SUCCESS || m_node.Gone()) return status;
    const std::string refused = m_node.Error();
    m_output->StreamOff();
    m_capture->StreamOff();
    m_controls.Restore(m_node);
    for (uint32_t index = 0; index < m_capture->Count(); ++index) {
        status = m_capture->Queue(index);
        if (status != Status::SUCCESS) return status;
    }
    status = m_output->StreamOn();
    if (status == Status::SUCCESS) status = m_capture->StreamOn();
    if (status == Status::SUCCESS)
        m_differences.push_back("the driver would not stream with these controls (" + refused +
                                "): it streams with its own");
    return status;
}

void V4l2Encoder::Close() {
    // The queues go before the node they belong to.
    m_output.reset();
    m_capture.reset();
    m_node.Close();
}

std::string V4l2Encoder::Describe() const {
    std::string text = V4l2Text("driver %s%s, %s from %s %ux%u in %u plane%s (%u bytes a line) for %dx%d",
                                m_node.Driver().c_str(),
                                m_output && m_output->MultiPlanar() ? " (multi-planar)" : "",
                                CodecName(m_coded.fourcc).c_str(),
                                FourccName(m_raw.fourcc).c_str(), m_raw.width, m_raw.height, m_raw.planes,
                                m_raw.planes > 1 ? "s" : "", m_raw.plane[0].bytes_per_line,
                                m_settings.width, m_settings.height);
    if (!m_rate.empty()) text += ", " + m_rate;
    return text + "; " + m_controls.Describe();
}

Status V4l2Encoder::Reclaim() {
    V4l2Queue::Buffer buffer;
    for (;;) {
        switch (m_output->Dequeue(buffer)) {
        case V4l2Queue::Dequeued::BUFFER: continue;
        case V4l2Queue::Dequeued::NONE:
        case V4l2Queue::Dequeued::LAST: return Status::SUCCESS;
        case V4l2Queue::Dequeued::FAILED: return Status::FAILURE_SYSCALL;
        }
    }
}

void V4l2Encoder::Fill(uint32_t index, const Picture& picture, uint32_t* used) {
    const int width = m_settings.width;
    const int height = m_settings.height;
    const int rows = static_cast<int>(m_raw.height);
    const uint32_t luma_stride = m_raw.plane[0].bytes_per_line;
    uint8_t* y = m_output->Map(index, 0).data;
    uint8_t* uv;
    uint32_t chroma_stride;
    if (m_raw.planes == 2) {
        uv = m_output->Map(index, 1).data;
        chroma_stride = m_raw.plane[1].bytes_per_line;
        used[0] = luma_stride * m_raw.height;
        used[1] = chroma_stride * m_raw.height / 2;
    } else {
        uv = y + static_cast<size_t>(luma_stride) * m_raw.height;
        chroma_stride = luma_stride;
        used[0] = luma_stride * m_raw.height * 3 / 2;
    }
    libyuv::NV12Copy(picture.y, picture.y_stride, picture.uv, picture.uv_stride, y,
                     static_cast<int>(luma_stride), uv, static_cast<int>(chroma_stride), width, height);
    // The driver's padding repeats the picture's edges: cheap to code, and
    // never shown (the visible size leaves it out).
    PadColumns(y, luma_stride, height, width, static_cast<int>(m_raw.width), 1);
    PadColumns(uv, chroma_stride, height / 2, width, static_cast<int>(m_raw.width), 2);
    PadRows(y, luma_stride, height, rows, static_cast<int>(m_raw.width));
    PadRows(uv, chroma_stride, height / 2, rows / 2, static_cast<int>(m_raw.width));
}

Status V4l2Encoder::Encode(const Picture& picture, uint64_t timestamp_us) {
    if (!IsOpen()) return m_node.Refuse("the encoder is closed");
    uint32_t index = m_output->Count();
    for (int attempt = 0; attempt < 2 && index == m_output->Count(); ++attempt) {
        if (attempt == 1 && Reclaim() != Status::SUCCESS) return Status::FAILURE_SYSCALL;
        for (uint32_t i = 0; i < m_output->Count(); ++i)
            if (!m_output->IsQueued(i)) {
                index = i;
                break;
            }
    }
    if (index == m_output->Count()) return Status::FAILURE_BUSY;
    uint32_t used[V4l2Queue::MAX_PLANES] = {};
    Fill(index, picture, used);
    timeval stamp{};
    stamp.tv_sec = static_cast<decltype(stamp.tv_sec)>(timestamp_us / 1000000);
    stamp.tv_usec = static_cast<decltype(stamp.tv_usec)>(timestamp_us % 1000000);
    return m_output->Queue(index, used, &stamp);
}

V4l2Encoder::Taken V4l2Encoder::Take(CodedFrame& frame) {
    if (!IsOpen()) return Taken::FAILED;
    V4l2Queue::Buffer buffer;
    switch (m_capture->Dequeue(buffer)) {
    case V4l2Queue::Dequeued::BUFFER: break;
    case V4l2Queue::Dequeued::NONE: return Taken::NONE;
    case V4l2Queue::Dequeued::LAST: return Taken::DRAINED;
    case V4l2Queue::Dequeued::FAILED: return Taken::FAILED;
    }
    frame = CodedFrame{};
    frame.index = buffer.index;
    frame.data = m_capture->Map(buffer.index, 0).data;
    frame.size = buffer.used[0];
    frame.timestamp_us = static_cast<uint64_t>(buffer.timestamp.tv_sec) * 1000000 +
                         static_cast<uint64_t>(buffer.timestamp.tv_usec);
    frame.key = (buffer.flags & V4L2_BUF_FLAG_KEYFRAME) != 0;
    frame.error = (buffer.flags & V4L2_BUF_FLAG_ERROR) != 0;
    frame.last = (buffer.flags & V4L2_BUF_FLAG_LAST) != 0;
    return Taken::FRAME;
}

Status V4l2Encoder::Release(const CodedFrame& frame) {
    if (frame.last) return Status::SUCCESS;  // nothing more comes after it
    return m_capture->Queue(frame.index);
}

Status V4l2Encoder::Drain(Clock::time_point deadline,
                          const std::function<void(const CodedFrame&)>& each) {
    if (!IsOpen()) return Status::SUCCESS;
    v4l2_encoder_cmd command{};
    command.cmd = V4L2_ENC_CMD_STOP;
    Status status = Status::SUCCESS;
    if (!m_node.Call(VIDIOC_ENCODER_CMD, &command, "VIDIOC_ENCODER_CMD(STOP)"))
        status = Status::FAILURE_SYSCALL;
    bool drained = status != Status::SUCCESS;
    while (!drained) {
        CodedFrame frame;
        const Taken taken = Take(frame);
        if (taken == Taken::FRAME) {
            // The last buffer may be empty: it only says the drain is over.
            if (frame.size > 0 && !frame.error) each(frame);
            drained = frame.last;
            if (!drained && Release(frame) != Status::SUCCESS) status = Status::FAILURE_SYSCALL;
            drained = drained || status != Status::SUCCESS;
            continue;
        }
        if (taken == Taken::DRAINED) break;
        if (taken == Taken::FAILED) {
            status = Status::FAILURE_SYSCALL;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            m_node.Refuse("the last coded frame did not come in time");
            status = Status::FAILURE_TRY_AGAIN;
            break;
        }
        pollfd wait{m_node.Descriptor(), POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR) {
            status = m_node.Fail("poll", errno);
            break;
        }
    }
    Close();
    return status;
}
