#pragma once

// A scripted V4L2 capture device: the calls of one node as a capture driver
// answers them, single- or (a device whose caps say only that) multi-planar (videobuf2's rules for buffers: a buffer is the
// application's, queued, or done; STREAMOFF gives every buffer back; formats
// and buffers cannot change while buffers are requested or mapped; ENODEV for
// every call once unplugged), and a source the test drives step by step:
// frames with their driver time stamps, the input's status, the timings query,
// source-change events. Where it and vivid differ, vivid is right and this is
// mended. Its descriptor is an eventfd, so the framework can put it in its
// select sets; the test says what is ready.

#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "v4l2_io.h"

class ScriptedCapture final : public V4l2Io {
public:
    using Clock = std::chrono::steady_clock;

    struct Input {
        std::string name;
        bool dv_timings;
        uint32_t status = 0;  // V4L2_IN_ST_*
    };

    // What the device is.
    std::vector<Input> inputs = {{"Camera", false}, {"HDMI 0", true}};
    std::vector<uint32_t> formats = {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_NV12};
    uint32_t caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    uint32_t max_buffers = 8;
    // The HDMI input's EDID; without one its source sends nothing (vivid's
    // rule). A receiver that keeps none answers ENOTTY.
    bool keeps_edid = true;
    std::vector<uint8_t> edid = std::vector<uint8_t>(256, 0x5a);

    // What its source sends: DV timings (QUERY_DV_TIMINGS fails with
    // `timings_error` when set), their colours, and for an input without DV
    // timings the size S_FMT answers and the frame rate G_PARM gives.
    v4l2_dv_timings source = Timings(320, 180, 60);
    int timings_error = 0;
    int set_timings_error = 0;  // S_DV_TIMINGS refuses with it
    uint32_t colorspace = V4L2_COLORSPACE_REC709;
    // The field order S_FMT answers for interlaced timings. A frame's top
    // field has the luma SendFrame gives, its bottom field 40 more; ALTERNATE
    // sends one field a frame, top first, the two with one sequence number.
    uint32_t interlaced_field = V4L2_FIELD_ALTERNATE;
    uint32_t fields_lost_at_start = 0;  // an odd count: the first field is a bottom one
    std::vector<uint8_t> jpeg;  // every MJPG frame
    uint32_t quantization = V4L2_QUANTIZATION_DEFAULT;
    uint32_t fps = 30;
    // For an input without DV timings: the sizes each format lists (S_FMT
    // gives the first for a size not listed; none listed, it gives the size
    // asked) and the fastest rate each lists (S_PARM takes up to it).
    std::map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> sizes;
    std::map<uint32_t, uint32_t> fastest;

    // A DV timing of width x height at `rate` frames a second, no blanking.
    static v4l2_dv_timings Timings(uint32_t width, uint32_t height, uint32_t rate, bool interlaced = false) {
        v4l2_dv_timings timings{};
        timings.type = V4L2_DV_BT_656_1120;
        timings.bt.width = width;
        timings.bt.height = height;
        timings.bt.interlaced = interlaced;
        timings.bt.pixelclock = static_cast<uint64_t>(width) * height * rate;
        return timings;
    }

    ~ScriptedCapture() override {
        if (m_fd >= 0) close(m_fd);
    }

    // The script.
    // A frame into the oldest queued buffer, all of it a luma of `luma` unless
    // `bytes` cuts it short; a driver with no buffer queued drops it.
    void SendFrame(Clock::time_point stamp, uint8_t luma, uint32_t flags = 0, size_t bytes = SIZE_MAX) {
        if (!m_streaming) return;
        const auto queued = std::find(m_state.begin(), m_state.end(), State::QUEUED);
        if (queued == m_state.end()) {
            ++dropped_by_driver;
            return;
        }
        const uint32_t index = static_cast<uint32_t>(queued - m_state.begin());
        Done done{};
        done.index = index;
        done.flags = flags;
        done.field = m_field;
        if (m_field == V4L2_FIELD_ALTERNATE) done.field = m_fields % 2 == 0 ? V4L2_FIELD_TOP : V4L2_FIELD_BOTTOM;
        done.sequence = m_field == V4L2_FIELD_ALTERNATE ? m_fields / 2 : m_fields;
        ++m_fields;
        Fill(m_memory[index], luma, done.field);
        if (m_format.pixelformat == V4L2_PIX_FMT_MJPEG) bytes = std::min(bytes, jpeg.size());
        for (uint32_t p = 0; p < m_planes; ++p) {
            done.used[p] = static_cast<uint32_t>(std::min(bytes, static_cast<size_t>(m_sizes[p])));
            bytes -= std::min(bytes, static_cast<size_t>(done.used[p]));
        }
        const auto since = std::chrono::duration_cast<std::chrono::microseconds>(stamp.time_since_epoch());
        done.stamp.tv_sec = static_cast<decltype(done.stamp.tv_sec)>(since.count() / 1000000);
        done.stamp.tv_usec = static_cast<decltype(done.stamp.tv_usec)>(since.count() % 1000000);
        m_state[index] = State::DONE;
        m_done.push_back(done);
    }
    void SourceChange() {
        if (m_subscribed) m_events.push_back(V4L2_EVENT_SOURCE_CHANGE);
    }
    void Unplug() { m_gone = true; }

    // What the device shows.
    int Descriptor() const { return m_fd; }
    // select's read set: a done buffer, or a device gone (EPOLLERR); its exception set: an event.
    bool Readable() const { return m_gone || !m_done.empty(); }
    bool Exceptional() const { return m_gone || !m_events.empty(); }
    bool Streaming() const { return m_streaming; }
    uint32_t Allocated() const { return static_cast<uint32_t>(m_state.size()); }
    uint32_t WithTheDriver() const {
        return static_cast<uint32_t>(m_state.size() - std::count(m_state.begin(), m_state.end(), State::APPLICATION));
    }
    const v4l2_dv_timings& Current() const { return m_current; }
    int stream_ons = 0;
    uint64_t dropped_by_driver = 0;

    // The system calls.
    int Open(const std::string&, int) override {
        if (m_fd >= 0) return Fail(EBUSY);
        m_fd = eventfd(0, EFD_CLOEXEC);
        return m_fd;
    }
    int Close(int fd) override {
        if (fd != m_fd) return Fail(EBADF);
        StreamOff();
        m_state.clear();
        m_memory.clear();
        m_subscribed = false;
        m_events.clear();
        m_fd = -1;
        return close(fd);
    }
    void* Map(size_t length, int, int fd, off_t offset) override {
        const size_t index = static_cast<size_t>(offset) / OFFSET_STEP / 2;
        const size_t plane = static_cast<size_t>(offset) / OFFSET_STEP % 2;
        if (m_gone) return MapFailed(ENODEV);
        if (fd != m_fd || index >= m_memory.size() || static_cast<size_t>(offset) % OFFSET_STEP != 0 ||
            plane >= m_planes || length > m_memory[index][plane].size())
            return MapFailed(EINVAL);
        ++m_mapped;
        return m_memory[index][plane].data();
    }
    int Unmap(void*, size_t) override {
        --m_mapped;
        return 0;
    }
    int Ioctl(int fd, unsigned long request, void* arg) override {
        if (fd != m_fd) return Fail(EBADF);
        if (m_gone) return Fail(ENODEV);
        switch (request) {
        case VIDIOC_QUERYCAP: return QueryCap(*static_cast<v4l2_capability*>(arg));
        case VIDIOC_ENUMINPUT: return EnumInput(*static_cast<v4l2_input*>(arg));
        case VIDIOC_G_INPUT: *static_cast<int*>(arg) = static_cast<int>(m_input); return 0;
        case VIDIOC_S_INPUT: return SetInput(*static_cast<int*>(arg));
        case VIDIOC_QUERY_DV_TIMINGS: return QueryTimings(*static_cast<v4l2_dv_timings*>(arg));
        case VIDIOC_G_DV_TIMINGS:
            if (!inputs[m_input].dv_timings) return Fail(ENODATA);
            *static_cast<v4l2_dv_timings*>(arg) = m_current;
            return 0;
        case VIDIOC_S_DV_TIMINGS: return SetTimings(*static_cast<v4l2_dv_timings*>(arg));
        case VIDIOC_ENUM_FMT: return EnumFormat(*static_cast<v4l2_fmtdesc*>(arg));
        case VIDIOC_S_FMT: return SetFormat(*static_cast<v4l2_format*>(arg));
        case VIDIOC_G_PARM: return GetParm(*static_cast<v4l2_streamparm*>(arg));
        case VIDIOC_S_PARM: return SetParm(*static_cast<v4l2_streamparm*>(arg));
        case VIDIOC_ENUM_FRAMESIZES: return EnumSizes(*static_cast<v4l2_frmsizeenum*>(arg));
        case VIDIOC_ENUM_FRAMEINTERVALS: return EnumIntervals(*static_cast<v4l2_frmivalenum*>(arg));
        case VIDIOC_REQBUFS: return RequestBuffers(*static_cast<v4l2_requestbuffers*>(arg));
        case VIDIOC_QUERYBUF: return QueryBuffer(*static_cast<v4l2_buffer*>(arg));
        case VIDIOC_QBUF: return QueueBuffer(*static_cast<v4l2_buffer*>(arg));
        case VIDIOC_DQBUF: return DequeueBuffer(*static_cast<v4l2_buffer*>(arg));
        case VIDIOC_STREAMON: return StreamOn(*static_cast<int*>(arg));
        case VIDIOC_STREAMOFF:
            if (static_cast<uint32_t>(*static_cast<int*>(arg)) != Type()) return Fail(EINVAL);
            StreamOff();
            return 0;
        case VIDIOC_G_EDID: return GetEdid(*static_cast<v4l2_edid*>(arg));
        case VIDIOC_S_EDID: return SetEdid(*static_cast<v4l2_edid*>(arg));
        case VIDIOC_SUBSCRIBE_EVENT: return Subscribe(*static_cast<v4l2_event_subscription*>(arg));
        case VIDIOC_DQEVENT: return DequeueEvent(*static_cast<v4l2_event*>(arg));
        default: return Fail(ENOTTY);
        }
    }

private:
    enum class State { APPLICATION, QUEUED, DONE };
    struct Done {
        uint32_t index, flags, field, sequence;
        uint32_t used[2];
        timeval stamp;
    };
    static constexpr size_t OFFSET_STEP = 1 << 20;

    static int Fail(int error) {
        errno = error;
        return -1;
    }
    static void* MapFailed(int error) {
        errno = error;
        return MAP_FAILED;
    }
    bool Busy() const { return !m_state.empty() || m_mapped > 0; }

    bool MultiPlanar() const { return (caps & V4L2_CAP_VIDEO_CAPTURE) == 0; }
    uint32_t Type() const { return MultiPlanar() ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE; }

    // The luma of each line of a buffer of `field`, as its source's frame gives it.
    bool BottomLine(uint32_t row, uint32_t field) const {
        const uint32_t height = m_format.height;
        switch (field) {
        case V4L2_FIELD_BOTTOM: return true;
        case V4L2_FIELD_SEQ_TB: return row >= height / 2;
        case V4L2_FIELD_SEQ_BT: return row < height / 2;
        case V4L2_FIELD_INTERLACED: return row % 2 == 1;
        default: return false;
        }
    }
    void Fill(std::vector<std::vector<uint8_t>>& planes, uint8_t luma, uint32_t field) const {
        if (m_format.pixelformat == V4L2_PIX_FMT_MJPEG) {
            std::copy(jpeg.begin(), jpeg.begin() + std::min(jpeg.size(), planes[0].size()), planes[0].begin());
            return;
        }
        const bool packed = m_format.pixelformat == V4L2_PIX_FMT_YUYV;
        for (auto& plane : planes) std::fill(plane.begin(), plane.end(), 128);
        std::vector<uint8_t>& first = planes[0];
        for (uint32_t row = 0; row < m_format.height; ++row) {
            const uint8_t value = static_cast<uint8_t>(luma + (BottomLine(row, field) ? 40 : 0));
            uint8_t* line = first.data() + static_cast<size_t>(row) * m_lines[0];
            for (uint32_t x = 0; x < m_format.width; ++x) line[packed ? 2 * x : x] = value;
        }
    }
    int QueryCap(v4l2_capability& capability) const {
        capability = v4l2_capability{};
        strncpy(reinterpret_cast<char*>(capability.driver), "scripted", sizeof(capability.driver) - 1);
        strncpy(reinterpret_cast<char*>(capability.card), "scripted capture", sizeof(capability.card) - 1);
        capability.capabilities = caps | V4L2_CAP_DEVICE_CAPS;
        capability.device_caps = caps;
        return 0;
    }
    int EnumInput(v4l2_input& input) const {
        if (input.index >= inputs.size()) return Fail(EINVAL);
        const uint32_t index = input.index;
        input = v4l2_input{};
        input.index = index;
        strncpy(reinterpret_cast<char*>(input.name), inputs[index].name.c_str(), sizeof(input.name) - 1);
        input.type = V4L2_INPUT_TYPE_CAMERA;
        input.capabilities = inputs[index].dv_timings ? V4L2_IN_CAP_DV_TIMINGS : 0;
        input.status = inputs[index].status;
        return 0;
    }
    int SetInput(int index) {
        if (index < 0 || static_cast<size_t>(index) >= inputs.size()) return Fail(EINVAL);
        if (static_cast<uint32_t>(index) == m_input) return 0;
        if (Busy()) return Fail(EBUSY);
        m_input = static_cast<uint32_t>(index);
        return 0;
    }
    int QueryTimings(v4l2_dv_timings& timings) const {
        if (!inputs[m_input].dv_timings) return Fail(ENODATA);
        if (timings_error != 0) return Fail(timings_error);
        if (keeps_edid && edid.empty()) return Fail(ENOLINK);
        timings = source;
        return 0;
    }
    int SetTimings(const v4l2_dv_timings& timings) {
        if (!inputs[m_input].dv_timings) return Fail(ENODATA);
        if (set_timings_error != 0) return Fail(set_timings_error);
        if (Busy()) return Fail(EBUSY);
        m_current = timings;
        return 0;
    }
    bool EdidInput(uint32_t pad) const { return pad < inputs.size() && inputs[pad].dv_timings; }
    int GetEdid(v4l2_edid& asked) const {
        if (!keeps_edid) return Fail(ENOTTY);
        if (!EdidInput(asked.pad)) return Fail(EINVAL);
        if (asked.start_block != 0 || asked.blocks != 0) return Fail(EINVAL);  // only asked how many
        asked.blocks = static_cast<uint32_t>(edid.size() / 128);
        return 0;
    }
    int SetEdid(const v4l2_edid& given) {
        if (!keeps_edid) return Fail(ENOTTY);
        if (!EdidInput(given.pad) || given.start_block != 0) return Fail(EINVAL);
        if (given.blocks > 2) return Fail(E2BIG);
        edid.assign(given.edid, given.edid + given.blocks * 128);
        return 0;
    }
    int EnumFormat(v4l2_fmtdesc& description) const {
        if (description.type != Type() || description.index >= formats.size())
            return Fail(EINVAL);
        description.pixelformat = formats[description.index];
        return 0;
    }
    int SetFormat(v4l2_format& format) {
        if (format.type != Type()) return Fail(EINVAL);
        if (Busy()) return Fail(EBUSY);
        v4l2_pix_format pix = format.fmt.pix;
        if (MultiPlanar()) {  // the fields both interfaces have
            const v4l2_pix_format_mplane& mp = format.fmt.pix_mp;
            pix = v4l2_pix_format{};
            pix.width = mp.width, pix.height = mp.height, pix.pixelformat = mp.pixelformat;
        }
        if (std::find(formats.begin(), formats.end(), pix.pixelformat) == formats.end())
            pix.pixelformat = formats.front();
        const bool interlaced = inputs[m_input].dv_timings && m_current.bt.interlaced;
        const uint32_t asked_height = pix.height;
        if (inputs[m_input].dv_timings) {  // the timings decide the size
            pix.width = m_current.bt.width;
            pix.height = m_current.bt.height;
        } else if (!sizes[pix.pixelformat].empty()) {
            const auto& listed = sizes[pix.pixelformat];
            if (std::find(listed.begin(), listed.end(), std::make_pair(pix.width, pix.height)) == listed.end())
                pix.width = listed.front().first, pix.height = listed.front().second;
        }
        pix.field = interlaced ? interlaced_field : static_cast<uint32_t>(V4L2_FIELD_NONE);
        // A field's lines, as vivid's scaler gives them: what was asked, up to a frame's.
        if (pix.field == V4L2_FIELD_ALTERNATE) pix.height = std::min(std::max(asked_height, 2u), pix.height);
        const bool packed = pix.pixelformat == V4L2_PIX_FMT_YUYV;
        m_planes = pix.pixelformat == V4L2_PIX_FMT_NV12M ? 2 : 1;
        m_lines[0] = m_lines[1] = packed ? 2 * pix.width : pix.width;
        m_sizes[0] = m_lines[0] * pix.height * (packed || m_planes == 2 ? 2 : 3) / 2;
        m_sizes[1] = m_planes == 2 ? m_lines[1] * pix.height / 2 : 0;
        pix.bytesperline = m_lines[0];
        pix.sizeimage = m_sizes[0];
        pix.colorspace = colorspace;
        pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
        pix.ycbcr_enc = V4L2_YCBCR_ENC_DEFAULT;
        pix.quantization = quantization;
        pix.xfer_func = V4L2_XFER_FUNC_DEFAULT;
        m_format = pix;
        m_field = pix.field;
        if (!MultiPlanar()) {
            format.fmt.pix = pix;
            return 0;
        }
        v4l2_pix_format_mplane& mp = format.fmt.pix_mp;
        mp = v4l2_pix_format_mplane{};
        mp.width = pix.width, mp.height = pix.height, mp.pixelformat = pix.pixelformat, mp.field = pix.field;
        mp.colorspace = colorspace, mp.quantization = static_cast<uint8_t>(quantization);
        mp.num_planes = static_cast<uint8_t>(m_planes);
        for (uint32_t p = 0; p < m_planes; ++p) mp.plane_fmt[p] = {m_sizes[p], m_lines[p], {}};
        return 0;
    }
    int GetParm(v4l2_streamparm& parameters) const {
        if (parameters.type != Type()) return Fail(EINVAL);
        parameters.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parameters.parm.capture.timeperframe = {1, fps};
        return 0;
    }
    int SetParm(v4l2_streamparm& parameters) {
        const v4l2_fract asked = parameters.parm.capture.timeperframe;
        if (parameters.type != Type() || asked.numerator == 0) return Fail(EINVAL);
        if (m_streaming) return Fail(EBUSY);
        const auto limit = fastest.find(m_format.pixelformat);
        fps = asked.denominator / asked.numerator;
        if (limit != fastest.end()) fps = std::min(fps, limit->second);
        return GetParm(parameters);
    }
    int EnumSizes(v4l2_frmsizeenum& entry) {
        const auto& listed = sizes[entry.pixel_format];
        if (entry.index >= listed.size()) return Fail(EINVAL);
        entry.type = V4L2_FRMSIZE_TYPE_DISCRETE;
        entry.discrete = {listed[entry.index].first, listed[entry.index].second};
        return 0;
    }
    int EnumIntervals(v4l2_frmivalenum& entry) const {
        const auto limit = fastest.find(entry.pixel_format);
        if (limit == fastest.end() || entry.index > 0) return Fail(EINVAL);
        entry.type = V4L2_FRMIVAL_TYPE_DISCRETE;
        entry.discrete = {1, limit->second};
        return 0;
    }
    int RequestBuffers(v4l2_requestbuffers& request) {
        if (request.type != Type() || request.memory != V4L2_MEMORY_MMAP) return Fail(EINVAL);
        if (m_streaming || m_mapped > 0) return Fail(EBUSY);
        const uint32_t count = std::min(request.count, max_buffers);
        m_state.assign(count, State::APPLICATION);
        m_memory.assign(count, {});
        for (auto& buffer : m_memory)
            for (uint32_t p = 0; p < m_planes; ++p) buffer.emplace_back(m_sizes[p]);
        m_done.clear();
        request.count = count;
        return 0;
    }
    int QueryBuffer(v4l2_buffer& buffer) const {
        if (buffer.type != Type() || buffer.index >= m_state.size()) return Fail(EINVAL);
        const auto offset = [&](uint32_t plane) { return static_cast<uint32_t>((buffer.index * 2 + plane) * OFFSET_STEP); };
        if (!MultiPlanar()) {
            buffer.length = m_sizes[0];
            buffer.m.offset = offset(0);
            return 0;
        }
        if (buffer.length < m_planes) return Fail(EINVAL);
        buffer.length = m_planes;
        for (uint32_t p = 0; p < m_planes; ++p) {
            buffer.m.planes[p].length = m_sizes[p];
            buffer.m.planes[p].m.mem_offset = offset(p);
        }
        return 0;
    }
    int QueueBuffer(const v4l2_buffer& buffer) {
        if (buffer.type != Type() || buffer.index >= m_state.size() || m_state[buffer.index] != State::APPLICATION)
            return Fail(EINVAL);
        m_state[buffer.index] = State::QUEUED;
        return 0;
    }
    int DequeueBuffer(v4l2_buffer& buffer) {
        if (buffer.type != Type() || !m_streaming) return Fail(EINVAL);
        if (m_done.empty()) return Fail(EAGAIN);
        if (MultiPlanar() && buffer.length < m_planes) return Fail(EINVAL);
        const Done done = m_done.front();
        m_done.pop_front();
        m_state[done.index] = State::APPLICATION;
        buffer.index = done.index;
        if (MultiPlanar()) {
            buffer.length = m_planes;
            for (uint32_t p = 0; p < m_planes; ++p) buffer.m.planes[p].bytesused = done.used[p];
        } else {
            buffer.bytesused = done.used[0];
        }
        buffer.flags = done.flags | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        buffer.timestamp = done.stamp;
        buffer.sequence = done.sequence;
        buffer.field = done.field;
        return 0;
    }
    int StreamOn(int type) {
        if (static_cast<uint32_t>(type) != Type() || m_state.empty()) return Fail(EINVAL);
        if (!m_streaming) ++stream_ons, m_fields = fields_lost_at_start;
        m_streaming = true;
        return 0;
    }
    void StreamOff() {
        m_streaming = false;
        std::fill(m_state.begin(), m_state.end(), State::APPLICATION);
        m_done.clear();
    }
    int Subscribe(const v4l2_event_subscription& subscription) {
        if (subscription.type != V4L2_EVENT_SOURCE_CHANGE) return Fail(EINVAL);
        m_subscribed = true;
        return 0;
    }
    int DequeueEvent(v4l2_event& event) {
        if (m_events.empty()) return Fail(ENOENT);
        event = v4l2_event{};
        event.type = m_events.front();
        m_events.pop_front();
        event.pending = static_cast<uint32_t>(m_events.size());
        return 0;
    }

    int m_fd = -1;
    bool m_gone = false;
    uint32_t m_input = 0;
    v4l2_dv_timings m_current = Timings(640, 480, 60);
    v4l2_pix_format m_format{};
    uint32_t m_field = V4L2_FIELD_NONE;
    uint32_t m_planes = 1;
    uint32_t m_lines[2] = {0, 0};
    uint32_t m_sizes[2] = {0, 0};
    std::vector<State> m_state;
    std::vector<std::vector<std::vector<uint8_t>>> m_memory;  // each buffer's planes
    std::deque<Done> m_done;
    int m_mapped = 0;
    bool m_streaming = false;
    uint32_t m_fields = 0;  // buffers filled since the stream started
    bool m_subscribed = false;
    std::deque<uint32_t> m_events;
};
