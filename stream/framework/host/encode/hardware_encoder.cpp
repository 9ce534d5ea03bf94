#include "hardware_encoder.h"

#include "log.h"

namespace {

// At the stop, what is in the encoder has this long to come out.
constexpr auto DRAIN_TIME = std::chrono::milliseconds(500);
constexpr int64_t PTS_HZ = 90000;

unsigned long long U(uint64_t value) { return static_cast<unsigned long long>(value); }

}  // namespace

HardwareEncoder::HardwareEncoder(std::string name, std::string path, Output output, uint32_t coded)
    : m_name(std::move(name)), m_path(std::move(path)), m_output(std::move(output)), m_coded(coded) {}

std::string HardwareEncoder::Describe() const {
    return m_path + " (V4L2 encoder: " + m_device.Describe() + ")";
}

Status HardwareEncoder::Open(const H264Settings& settings) {
    const Log& log = Log::Instance();
    V4l2Encoder::Settings wanted;
    wanted.coded = m_coded;
    wanted.width = settings.width;
    wanted.height = settings.height;
    wanted.fps = settings.fps;
    wanted.bit_rate = static_cast<int64_t>(settings.bitrate_kbps) * 1000;
    wanted.color_space = settings.color_space;
    const Status status = m_device.Open(m_path, wanted);
    if (status != Status::SUCCESS) {
        log.Errorf("%s: %s", Where().c_str(), m_device.Error().c_str());
        return status;
    }
    m_failed = false;
    for (const std::string& skipped : m_device.Skipped())
        log.Debugf("%s: skipped %s", Where().c_str(), skipped.c_str());
    std::string differences;
    for (const std::string& difference : m_device.Differences())
        differences += (differences.empty() ? "" : "; ") + difference;
    if (!differences.empty())
        log.Infof("%s: not as asked: %s", Where().c_str(), differences.c_str());
    return Status::SUCCESS;
}

void HardwareEncoder::Fail(const std::string& doing) {
    const std::string why = m_device.Gone() ? "the encoder has gone away (" + m_device.Error() + ")"
                                            : doing + " failed: " + m_device.Error();
    Log::Instance().Errorf("%s: %s; no frame is encoded from now on", Where().c_str(), why.c_str());
    m_counts.lost += m_pending.size();
    m_pending.clear();
    m_device.Close();
    m_failed = true;
}

void HardwareEncoder::Encode(const Nv12Picture& picture, int64_t pts, Clock::time_point made) {
    if (m_failed || !m_device.IsOpen()) {
        ++m_counts.lost;
        return;
    }
    if (!m_have_first) {
        m_first_pts = pts;
        m_have_first = true;
    }
    // The picture's time in microseconds from the first: the driver copies it
    // to the coded frame, and it stays small on a 32-bit time_t.
    const uint64_t timestamp_us = static_cast<uint64_t>(pts - m_first_pts) * 1000000 / PTS_HZ;
    const Status status =
        m_device.Encode({picture.y, picture.y_stride, picture.uv, picture.uv_stride}, timestamp_us);
    if (status == Status::SUCCESS) {
        ++m_counts.in;
        m_pending.push_back({timestamp_us, pts, made});
        return;
    }
    if (status != Status::FAILURE_BUSY) return Fail("handing it a frame");
    ++m_counts.busy;
    if (const uint64_t due = m_busy_log.Count())
        Log::Instance().Warnf("%s: dropped %llu frames: the encoder was still busy with the earlier ones",
                              Where().c_str(), U(due));
}

void HardwareEncoder::Setup(IOEventData& data) {
    if (m_device.IsOpen() && data.AddReadFd(m_device.Descriptor()) != Status::SUCCESS)
        Fail("waiting for it in select");
}

void HardwareEncoder::Handle(IOEventData& data) {
    if (m_device.IsOpen() && data.IsReadReady(m_device.Descriptor())) TakeCoded();
}

void HardwareEncoder::Deliver(const V4l2Encoder::CodedFrame& frame) {
    if (frame.error || frame.size == 0) {
        ++m_counts.bad;
        if (const uint64_t due = m_bad_log.Count())
            Log::Instance().Warnf("%s: dropped %llu coded frames the driver flagged as bad",
                                  Where().c_str(), U(due));
        return;
    }
    // The picture it came from; those before it never came out.
    while (!m_pending.empty() && m_pending.front().timestamp_us < frame.timestamp_us) {
        m_pending.pop_front();
        ++m_counts.lost;
    }
    Unit unit;
    unit.data = frame.data;
    unit.size = frame.size;
    unit.key = frame.key;
    if (!m_pending.empty() && m_pending.front().timestamp_us == frame.timestamp_us) {
        unit.pts = m_pending.front().pts;
        unit.made = m_pending.front().made;
        m_pending.pop_front();
    } else {
        // A frame the encoder gave twice, or with a time stamp of its own.
        unit.pts = m_first_pts + static_cast<int64_t>(frame.timestamp_us) * PTS_HZ / 1000000;
        unit.made = Clock::now();
    }
    unit.dts = unit.pts;
    ++m_counts.out;
    m_output(unit);
}

void HardwareEncoder::TakeCoded() {
    // At most what the encoder can have ready: one loop cycle never stays here.
    for (int taken = 0; taken < 16 && m_device.IsOpen(); ++taken) {
        V4l2Encoder::CodedFrame frame;
        switch (m_device.Take(frame)) {
        case V4l2Encoder::Taken::NONE: return;
        case V4l2Encoder::Taken::DRAINED: return Fail("taking a coded frame (it stopped on its own)");
        case V4l2Encoder::Taken::FAILED: return Fail("taking a coded frame");
        case V4l2Encoder::Taken::FRAME: break;
        }
        Deliver(frame);
        if (m_device.Release(frame) != Status::SUCCESS) return Fail("handing back a coded buffer");
    }
}

void HardwareEncoder::Drain() {
    if (!m_device.IsOpen()) return;
    const Status status = m_device.Drain(Clock::now() + DRAIN_TIME,
                                         [this](const V4l2Encoder::CodedFrame& frame) { Deliver(frame); });
    if (status != Status::SUCCESS)
        Log::Instance().Warnf("%s: at the stop, %llu frames in the encoder are lost: %s", Where().c_str(),
                              U(m_pending.size()), m_device.Error().c_str());
    m_counts.lost += m_pending.size();
    m_pending.clear();
}

void HardwareEncoder::LogSummary() const {
    Log::Instance().Infof("%s: %llu frames in, %llu coded frames out, %llu dropped while the "
                          "encoder was busy, %llu bad, %llu lost",
                          Where().c_str(), U(m_counts.in), U(m_counts.out), U(m_counts.busy),
                          U(m_counts.bad), U(m_counts.lost));
}
