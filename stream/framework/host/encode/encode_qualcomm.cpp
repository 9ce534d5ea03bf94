#include "encode_qualcomm.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <vector>

#include "codec_module.h"
#include "log.h"
#include "nv12_frame_reader.h"
#include "options.h"
#include "test_pattern.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t PTS_HZ = 90000;
constexpr int64_t MIN_BIT_RATE = 50000;
constexpr int64_t MAX_BIT_RATE = 200000000;

// The wall clock in 90 kHz ticks: time stamps a receiver can compare with its own clock.
int64_t WallClockPts() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * PTS_HZ + now.tv_nsec / (1000000000 / PTS_HZ);
}

}  // namespace

// Everything that exists only while the encoder is enabled.
class EncodeQualcomm::Pipeline {
public:
    Pipeline(const std::string& name, std::shared_ptr<ComponentOutput> output)
        : m_name(name), m_output(std::move(output)) {}

    Status Open(const Options& options, const std::string& prefix);
    void Setup(IOEventData& data);
    void Handle(IOEventData& data);
    // Produces the frame of the current slot when its deadline has passed.
    void ProduceDueFrame();

    const Counters& GetCounters() const { return m_counters; }

private:
    Clock::time_point SlotTime(int64_t slot) const {
        return m_start + std::chrono::nanoseconds(slot * 1000000000 / m_settings.fps);
    }
    void ReadFifo();
    Status EncodeAndPublish(const Nv12Picture& picture, int64_t pts, Clock::time_point created);
    Nv12Picture InputPicture() const;

    std::string m_name;
    std::shared_ptr<ComponentOutput> m_output;
    H264Settings m_settings;
    int64_t m_bit_rate = 0;
    // TS bytes of the frame being muxed; declared before the muxer, whose
    // closing at destruction may still hand it bytes.
    std::vector<uint8_t> m_pending;
    std::unique_ptr<H264Encoder> m_encoder;
    std::unique_ptr<TsMuxer> m_muxer;
    std::unique_ptr<TestPattern> m_pattern;  // when there is no input file
    Nv12FrameReader m_reader;
    bool m_input_ended = false;
    Clock::time_point m_start;
    int64_t m_start_pts = 0;
    int64_t m_next_slot = 0;
    int64_t m_last_pts = 0;
    Counters m_counters;
};

Status EncodeQualcomm::Pipeline::Open(const Options& options, const std::string& prefix) {
    const Log& log = Log::Instance();
    const int64_t width = options.GetInt(prefix + "width", 1280);
    const int64_t height = options.GetInt(prefix + "height", 720);
    const int64_t fps = options.GetInt(prefix + "fps", 30);
    m_bit_rate = options.GetInt(prefix + "bitrate", 4000000);
    const std::string input = options.GetString(prefix + "input", "");
    if (width < 0 || width > H264Encoder::MAX_SIDE || height < 0 || height > H264Encoder::MAX_SIDE) {
        log.Errorf("%s: frame size %lldx%lld is outside 2x2..%dx%d", m_name.c_str(),
                   static_cast<long long>(width), static_cast<long long>(height),
                   H264Encoder::MAX_SIDE, H264Encoder::MAX_SIDE);
        return Status::FAILURE_INVALID;
    }
    if (fps < 1 || fps > 240) {
        log.Errorf("%s: frame rate %lld is outside 1..240", m_name.c_str(), static_cast<long long>(fps));
        return Status::FAILURE_INVALID;
    }
    if (m_bit_rate < MIN_BIT_RATE || m_bit_rate > MAX_BIT_RATE) {
        log.Errorf("%s: bit rate %lld is outside %lld..%lld bit/s", m_name.c_str(),
                   static_cast<long long>(m_bit_rate), static_cast<long long>(MIN_BIT_RATE),
                   static_cast<long long>(MAX_BIT_RATE));
        return Status::FAILURE_INVALID;
    }
    m_settings = {static_cast<int>(width), static_cast<int>(height), static_cast<int>(fps),
                  static_cast<int>(m_bit_rate / 1000)};

    m_encoder = CreateH264Encoder();
    m_muxer = CreateTsMuxer();
    if (!m_encoder || !m_muxer) return Status::FAILURE_UNAVAILABLE;  // logged by the loader
    Status status = m_encoder->Open(m_settings);
    if (status != Status::SUCCESS) return status;
    if (input.empty()) {
        m_pattern = std::make_unique<TestPattern>(m_settings.width, m_settings.height);
    } else {
        status = m_reader.Open(input, m_settings.width, m_settings.height);
        if (status != Status::SUCCESS) return status;
    }
    status = m_muxer->Open(m_settings.width, m_settings.height, m_settings.fps,
                          [this](const uint8_t* data, size_t size) {
                              m_pending.insert(m_pending.end(), data, data + size);
                          });
    if (status != Status::SUCCESS) return status;

    m_start = Clock::now();
    m_start_pts = WallClockPts();
    log.Infof("%s: %dx%d at %d fps, %lld bit/s, H.264 in MPEG-TS on \"%s\", from %s%s",
              m_name.c_str(), m_settings.width, m_settings.height, m_settings.fps,
              static_cast<long long>(m_bit_rate), OUTPUT_NAME,
              input.empty() ? "the test pattern" : input.c_str(),
              input.empty() ? "" : (m_reader.IsFifo() ? " (FIFO)" : " (file, looped)"));
    return Status::SUCCESS;
}

void EncodeQualcomm::Pipeline::Setup(IOEventData& data) {
    const auto interval = std::chrono::nanoseconds(1000000000 / m_settings.fps);
    if (m_input_ended || m_reader.IsFifo()) {
        // No deadline of our own, but the loop must still wake to check its
        // clock: a stalled or finished input must not block select for ever.
        data.AddTimeout(interval, nullptr);
        if (!m_input_ended && data.AddReadFd(m_reader.Descriptor()) != Status::SUCCESS) {
            Log::Instance().Errorf("%s: cannot wait for input; no more frames", m_name.c_str());
            m_input_ended = true;
        }
        return;
    }
    data.AddTimeout(SlotTime(m_next_slot), [this] { ProduceDueFrame(); });
}

void EncodeQualcomm::Pipeline::Handle(IOEventData& data) {
    if (m_input_ended) return;
    if (m_reader.IsFifo()) {
        if (data.IsReadReady(m_reader.Descriptor())) ReadFifo();
        return;
    }
    // Another descriptor woke the loop, so no timeout callback runs this cycle.
    ProduceDueFrame();
}

Nv12Picture EncodeQualcomm::Pipeline::InputPicture() const {
    if (m_pattern)
        return {m_pattern->Y(), m_pattern->Stride(), m_pattern->UV(), m_pattern->Stride()};
    const uint8_t* frame = m_reader.Frame();
    const size_t luma = static_cast<size_t>(m_settings.width) * m_settings.height;
    return {frame, m_settings.width, frame + luma, m_settings.width};
}

void EncodeQualcomm::Pipeline::ProduceDueFrame() {
    if (m_input_ended) return;
    const Clock::time_point now = Clock::now();
    if (now < SlotTime(m_next_slot)) return;
    // A late loop skips the slots it missed instead of bursting to catch up.
    const int64_t elapsed_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - m_start).count();
    const int64_t slot = std::max(m_next_slot, elapsed_ns * m_settings.fps / 1000000000);
    m_counters.skipped += static_cast<uint64_t>(slot - m_next_slot);
    m_next_slot = slot + 1;

    if (m_pattern) {
        m_pattern->Draw(static_cast<uint32_t>(m_counters.frames));
    } else if (m_reader.Read() != Nv12FrameReader::Result::FRAME) {
        Log::Instance().Errorf("%s: the input gives no more frames", m_name.c_str());
        m_input_ended = true;
        return;
    }
    EncodeAndPublish(InputPicture(), m_start_pts + slot * PTS_HZ / m_settings.fps, Clock::now());
}

void EncodeQualcomm::Pipeline::ReadFifo() {
    switch (m_reader.Read()) {
    case Nv12FrameReader::Result::FRAME: {
        const int64_t pts = std::max(WallClockPts(), m_last_pts + 1);
        EncodeAndPublish(InputPicture(), pts, Clock::now());
        break;
    }
    case Nv12FrameReader::Result::PARTIAL:
        break;
    case Nv12FrameReader::Result::END:
        Log::Instance().Infof("%s: the input has ended after %llu frames", m_name.c_str(),
                              static_cast<unsigned long long>(m_counters.frames));
        m_input_ended = true;
        break;
    }
}

Status EncodeQualcomm::Pipeline::EncodeAndPublish(const Nv12Picture& picture, int64_t pts,
                                                  Clock::time_point created) {
    m_last_pts = pts;
    EncodedAccessUnit unit;
    Status status = m_encoder->Encode(picture, pts, unit);
    if (status != Status::SUCCESS || unit.size == 0) return status;
    status = m_muxer->WriteFrame(unit.data, unit.size, unit.pts, unit.dts, unit.key);
    if (status != Status::SUCCESS) {
        m_pending.clear();
        return status;
    }
    MediaChunk chunk;
    chunk.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(m_pending));
    m_pending = {};
    chunk.created = created;
    chunk.frame_number = m_counters.frames++;
    chunk.last_of_frame = true;
    chunk.frame_interval = std::chrono::microseconds(1000000 / m_settings.fps);
    chunk.bit_rate = m_bit_rate;
    m_output->Publish(chunk);
    return Status::SUCCESS;
}

EncodeQualcomm::EncodeQualcomm(const std::string& name)
    : AVComponent(name), m_high_res(AddOutput(OUTPUT_NAME)) {}

EncodeQualcomm::~EncodeQualcomm() = default;

Status EncodeQualcomm::OnEnable() {
    auto pipeline = std::make_unique<Pipeline>(GetName(), m_high_res);
    const Status status = pipeline->Open(Options::GetOptions(), OptionKey(""));
    if (status != Status::SUCCESS) {
        Log::Instance().Errorf("%s: not enabled: the encoder could not start", GetName().c_str());
        return status;
    }
    m_pipeline = std::move(pipeline);
    return Status::SUCCESS;
}

Status EncodeQualcomm::OnDisable() {
    if (m_pipeline) {
        const Counters& counters = m_pipeline->GetCounters();
        m_totals.frames += counters.frames;
        m_totals.skipped += counters.skipped;
        Log::Instance().Infof("%s: stopped after %llu frames (%llu frame slots missed)",
                              GetName().c_str(), static_cast<unsigned long long>(counters.frames),
                              static_cast<unsigned long long>(counters.skipped));
    }
    m_pipeline.reset();
    return Status::SUCCESS;
}

Status EncodeQualcomm::Shutdown() {
    const Status status = AVComponent::Shutdown();
    Log::Instance().Infof("%s: shut down; %llu frames encoded, %llu frame slots missed in all",
                          GetName().c_str(), static_cast<unsigned long long>(m_totals.frames),
                          static_cast<unsigned long long>(m_totals.skipped));
    return status;
}

Status EncodeQualcomm::SetupIOEvents(IOEventData& data) {
    if (m_pipeline) m_pipeline->Setup(data);
    return Status::SUCCESS;
}

Status EncodeQualcomm::HandleIOEvents(IOEventData& data) {
    if (m_pipeline) m_pipeline->Handle(data);
    return Status::SUCCESS;
}

EncodeQualcomm::Counters EncodeQualcomm::GetCounters() const {
    Counters counters = m_totals;
    if (m_pipeline) {
        counters.frames += m_pipeline->GetCounters().frames;
        counters.skipped += m_pipeline->GetCounters().skipped;
    }
    return counters;
}
