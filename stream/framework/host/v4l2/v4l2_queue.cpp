#include "v4l2_queue.h"

#include <sys/mman.h>

namespace {

uint32_t TypeOf(V4l2Queue::Direction direction, bool multi_planar) {
    if (direction == V4l2Queue::Direction::CAPTURE)
        return multi_planar ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return multi_planar ? V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE : V4L2_BUF_TYPE_VIDEO_OUTPUT;
}

void ToV4l2(const V4l2Queue::Format& from, bool multi_planar, v4l2_format& to) {
    if (multi_planar) {
        v4l2_pix_format_mplane& pix = to.fmt.pix_mp;
        pix.width = from.width;
        pix.height = from.height;
        pix.pixelformat = from.fourcc;
        pix.field = from.field;
        pix.colorspace = from.colorspace;
        pix.xfer_func = static_cast<uint8_t>(from.xfer_func);
        pix.ycbcr_enc = static_cast<uint8_t>(from.ycbcr_enc);
        pix.quantization = static_cast<uint8_t>(from.quantization);
        pix.num_planes = static_cast<uint8_t>(from.planes);
        for (uint32_t p = 0; p < from.planes && p < V4l2Queue::MAX_PLANES; ++p) {
            pix.plane_fmt[p].bytesperline = from.plane[p].bytes_per_line;
            pix.plane_fmt[p].sizeimage = from.plane[p].size;
        }
        return;
    }
    v4l2_pix_format& pix = to.fmt.pix;
    pix.width = from.width;
    pix.height = from.height;
    pix.pixelformat = from.fourcc;
    pix.field = from.field;
    pix.bytesperline = from.plane[0].bytes_per_line;
    pix.sizeimage = from.plane[0].size;
    pix.colorspace = from.colorspace;
    // The fields after priv count only when priv says so.
    pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
    pix.xfer_func = from.xfer_func;
    pix.ycbcr_enc = from.ycbcr_enc;
    pix.quantization = from.quantization;
}

void FromV4l2(const v4l2_format& from, bool multi_planar, V4l2Queue::Format& to) {
    to = V4l2Queue::Format{};
    if (multi_planar) {
        const v4l2_pix_format_mplane& pix = from.fmt.pix_mp;
        to.fourcc = pix.pixelformat;
        to.width = pix.width;
        to.height = pix.height;
        to.field = pix.field;
        to.colorspace = pix.colorspace;
        to.xfer_func = pix.xfer_func;
        to.ycbcr_enc = pix.ycbcr_enc;
        to.quantization = pix.quantization;
        to.planes = pix.num_planes;
        if (to.planes > V4l2Queue::MAX_PLANES) to.planes = V4l2Queue::MAX_PLANES;
        for (uint32_t p = 0; p < to.planes; ++p)
            to.plane[p] = {pix.plane_fmt[p].bytesperline, pix.plane_fmt[p].sizeimage};
        return;
    }
    const v4l2_pix_format& pix = from.fmt.pix;
    to.fourcc = pix.pixelformat;
    to.width = pix.width;
    to.height = pix.height;
    to.field = pix.field;
    to.colorspace = pix.colorspace;
    if (pix.priv == V4L2_PIX_FMT_PRIV_MAGIC) {
        to.xfer_func = pix.xfer_func;
        to.ycbcr_enc = pix.ycbcr_enc;
        to.quantization = pix.quantization;
    }
    to.planes = 1;
    to.plane[0] = {pix.bytesperline, pix.sizeimage};
}

}  // namespace

V4l2Queue::V4l2Queue(V4l2Node& node, Direction direction, bool multi_planar)
    : m_node(node),
      m_direction(direction),
      m_multi_planar(multi_planar),
      m_type(TypeOf(direction, multi_planar)) {}

V4l2Queue::~V4l2Queue() { Release(); }

const char* V4l2Queue::Name() const {
    return m_direction == Direction::CAPTURE ? "CAPTURE" : "OUTPUT";
}

Status V4l2Queue::EnumFormats(std::vector<uint32_t>& fourccs) {
    fourccs.clear();
    for (uint32_t index = 0; index < 256; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = m_type;
        if (!m_node.Call(VIDIOC_ENUM_FMT, &description, "VIDIOC_ENUM_FMT")) {
            if (m_node.LastErrno() == EINVAL) break;
            return Status::FAILURE_SYSCALL;
        }
        fourccs.push_back(description.pixelformat);
    }
    m_node.ClearError();
    return Status::SUCCESS;
}

Status V4l2Queue::SetFormat(Format& format) {
    v4l2_format request{};
    request.type = m_type;
    ToV4l2(format, m_multi_planar, request);
    if (!m_node.Call(VIDIOC_S_FMT, &request, "VIDIOC_S_FMT")) return Status::FAILURE_SYSCALL;
    FromV4l2(request, m_multi_planar, format);
    return Status::SUCCESS;
}

Status V4l2Queue::GetFormat(Format& format) {
    v4l2_format request{};
    request.type = m_type;
    if (!m_node.Call(VIDIOC_G_FMT, &request, "VIDIOC_G_FMT")) return Status::FAILURE_SYSCALL;
    FromV4l2(request, m_multi_planar, format);
    return Status::SUCCESS;
}

void V4l2Queue::Prepare(v4l2_buffer& buffer, std::array<v4l2_plane, MAX_PLANES>& planes,
                        uint32_t index) const {
    buffer = v4l2_buffer{};
    buffer.type = m_type;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    if (m_multi_planar) {
        planes = {};
        buffer.m.planes = planes.data();
        buffer.length = MAX_PLANES;
    }
}

Status V4l2Queue::Allocate(uint32_t count, uint32_t fewest) {
    Release();
    v4l2_requestbuffers request{};
    request.count = count;
    request.type = m_type;
    request.memory = V4L2_MEMORY_MMAP;
    if (!m_node.Call(VIDIOC_REQBUFS, &request, "VIDIOC_REQBUFS")) return Status::FAILURE_SYSCALL;
    m_requested = true;
    m_buffers.assign(request.count, {});  // freed by Release, even when fewer than asked
    m_with_driver.assign(request.count, false);
    if (request.count < fewest)
        return m_node.Refuse(
            V4l2Text("gives %u %s buffers, fewer than %u", request.count, Name(), fewest));
    const int protection = m_direction == Direction::OUTPUT ? PROT_READ | PROT_WRITE : PROT_READ;
    for (uint32_t index = 0; index < request.count; ++index) {
        v4l2_buffer buffer;
        std::array<v4l2_plane, MAX_PLANES> planes;
        Prepare(buffer, planes, index);
        if (!m_node.Call(VIDIOC_QUERYBUF, &buffer, "VIDIOC_QUERYBUF")) return Status::FAILURE_SYSCALL;
        m_planes = m_multi_planar ? buffer.length : 1;
        if (m_planes == 0 || m_planes > MAX_PLANES)
            return m_node.Refuse(V4l2Text("%s buffer %u has %u planes", Name(), index, m_planes));
        for (uint32_t p = 0; p < m_planes; ++p) {
            const size_t length = m_multi_planar ? planes[p].length : buffer.length;
            const off_t offset = m_multi_planar ? planes[p].m.mem_offset : buffer.m.offset;
            void* data = m_node.Map(length, protection, offset, std::string("a ") + Name() + " buffer");
            if (data == nullptr) return Status::FAILURE_SYSCALL;
            m_buffers[index][p] = {static_cast<uint8_t*>(data), length};
        }
    }
    return Status::SUCCESS;
}

void V4l2Queue::Unmap() {
    for (const auto& buffer : m_buffers)
        for (const Mapping& mapping : buffer)
            if (mapping.data != nullptr) m_node.Unmap(mapping.data, mapping.length);
    m_buffers.clear();
    m_with_driver.clear();
    m_queued = 0;
}

void V4l2Queue::Release() {
    StreamOff();
    Unmap();
    if (m_requested && m_node.IsOpen()) {
        v4l2_requestbuffers request{};
        request.type = m_type;
        request.memory = V4L2_MEMORY_MMAP;
        m_node.CallQuietly(VIDIOC_REQBUFS, &request);  // count 0 frees them
    }
    m_requested = false;
}

Status V4l2Queue::Queue(uint32_t index, const uint32_t* used, const timeval* timestamp) {
    if (index >= m_buffers.size()) return m_node.Refuse(V4l2Text("no %s buffer %u", Name(), index));
    v4l2_buffer buffer;
    std::array<v4l2_plane, MAX_PLANES> planes;
    Prepare(buffer, planes, index);
    if (m_multi_planar) {
        buffer.length = m_planes;
        for (uint32_t p = 0; p < m_planes; ++p) {
            planes[p].length = static_cast<uint32_t>(m_buffers[index][p].length);
            if (used != nullptr) planes[p].bytesused = used[p];
        }
    } else {
        buffer.length = static_cast<uint32_t>(m_buffers[index][0].length);
        if (used != nullptr) buffer.bytesused = used[0];
    }
    if (timestamp != nullptr) buffer.timestamp = *timestamp;
    buffer.field = V4L2_FIELD_NONE;
    if (!m_node.Call(VIDIOC_QBUF, &buffer, "VIDIOC_QBUF")) return Status::FAILURE_SYSCALL;
    m_with_driver[index] = true;
    ++m_queued;
    return Status::SUCCESS;
}

V4l2Queue::Dequeued V4l2Queue::Dequeue(Buffer& out) {
    v4l2_buffer buffer;
    std::array<v4l2_plane, MAX_PLANES> planes;
    Prepare(buffer, planes, 0);
    if (!m_node.CallQuietly(VIDIOC_DQBUF, &buffer)) {
        const int error = errno;
        if (error == EAGAIN) return Dequeued::NONE;
        if (error == EPIPE) return Dequeued::LAST;
        m_node.Fail("VIDIOC_DQBUF", error);
        return Dequeued::FAILED;
    }
    if (buffer.index >= m_buffers.size()) {
        m_node.Refuse(V4l2Text("VIDIOC_DQBUF gave %s buffer %u of %zu", Name(), buffer.index,
                               m_buffers.size()));
        return Dequeued::FAILED;
    }
    out = Buffer{};
    out.index = buffer.index;
    out.flags = buffer.flags;
    out.timestamp = buffer.timestamp;
    out.sequence = buffer.sequence;
    out.field = buffer.field;
    // A driver's count past the mapping is not believed.
    for (uint32_t p = 0; p < m_planes; ++p) {
        const uint32_t used = m_multi_planar ? planes[p].bytesused : buffer.bytesused;
        const size_t length = m_buffers[buffer.index][p].length;
        out.used[p] = used < length ? used : static_cast<uint32_t>(length);
    }
    if (m_with_driver[buffer.index]) {
        m_with_driver[buffer.index] = false;
        --m_queued;
    }
    return Dequeued::BUFFER;
}

Status V4l2Queue::StreamOn() {
    int type = static_cast<int>(m_type);
    if (!m_node.Call(VIDIOC_STREAMON, &type, "VIDIOC_STREAMON")) return Status::FAILURE_SYSCALL;
    m_streaming = true;
    return Status::SUCCESS;
}

void V4l2Queue::StreamOff() {
    if (!m_streaming) return;
    int type = static_cast<int>(m_type);
    if (m_node.IsOpen()) m_node.CallQuietly(VIDIOC_STREAMOFF, &type);
    m_streaming = false;
    // Every buffer comes back from the driver with the stream off.
    m_with_driver.assign(m_with_driver.size(), false);
    m_queued = 0;
}
