#include "encode_qualcomm.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <vector>

#include "codec_module.h"
#include "edid.h"
#include "frame_source.h"
#include "log.h"
#include "options.h"
#include "parameter_sets.h"
#include "video_encoder.h"

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
    void Setup(IOEventData& data) {
        m_encoder->Setup(data);
        m_source->Setup(data);
    }
    // Coded frames out first: their buffers go back before new pictures go in.
    void Handle(IOEventData& data) {
        m_encoder->Handle(data);
        m_source->Handle(data);
    }
    // What the encoder still holds comes out before the stop.
    void Stop() { m_encoder->Drain(); }
    void LogSummary() const {
        m_source->LogSummary();
        m_encoder->LogSummary();
    }

    Counters GetCounters() const { return {m_frames, m_source ? m_source->MissedSlots() : 0}; }

private:
    void Encode(const SourcePicture& picture);
    void Publish(const VideoEncoder::Unit& unit);

    std::string m_name;
    std::shared_ptr<ComponentOutput> m_output;
    H264Settings m_settings;
    int64_t m_bit_rate = 0;
    // TS bytes of the frame being muxed; declared before the muxer, whose
    // closing at destruction may still hand it bytes.
    std::vector<uint8_t> m_pending;
    std::unique_ptr<TsMuxer> m_muxer;
    ParameterSets m_parameter_sets;
    std::unique_ptr<VideoEncoder> m_encoder;
    std::unique_ptr<FrameSource> m_source;
    int64_t m_start_pts = 0;
    int64_t m_last_pts = 0;
    uint64_t m_frames = 0;
};

Status EncodeQualcomm::Pipeline::Open(const Options& options, const std::string& prefix) {
    const Log& log = Log::Instance();
    const int64_t width = options.GetInt(prefix + "width", 1280);
    const int64_t height = options.GetInt(prefix + "height", 720);
    const int64_t fps = options.GetInt(prefix + "fps", 30);
    m_bit_rate = options.GetInt(prefix + "bitrate", 4000000);
    const std::string input = options.GetString(prefix + "input", "");
    const int64_t input_index = options.GetInt(prefix + "input_index", -1);
    const std::string choice = options.GetString(prefix + "encoder", "auto");
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
    if (input_index < -1 || input_index > 255) {
        log.Errorf("%s: input index %lld is outside 0..255", m_name.c_str(),
                   static_cast<long long>(input_index));
        return Status::FAILURE_INVALID;
    }
    const std::string edid_path = options.GetString(prefix + "edid", "");
    std::vector<uint8_t> edid_bytes;
    std::string why;
    if (!edid_path.empty() && !edid::Load(edid_path, edid_bytes, why)) {
        log.Errorf("%s: %s is no EDID: %s", m_name.c_str(), edid_path.c_str(), why.c_str());
        return Status::FAILURE_INVALID;
    }
    m_settings = {static_cast<int>(width), static_cast<int>(height), static_cast<int>(fps),
                  static_cast<int>(m_bit_rate / 1000)};

    m_muxer = CreateTsMuxer();
    if (!m_muxer) return Status::FAILURE_UNAVAILABLE;  // logged by the loader
    Status status = MakeVideoEncoder({m_name, choice},
                                     [this](const VideoEncoder::Unit& unit) { Publish(unit); },
                                     m_encoder);
    if (status != Status::SUCCESS) return status;
    status = m_encoder->Open(m_settings);
    if (status != Status::SUCCESS) return status;
    const SourceSettings source{m_name, m_settings.width, m_settings.height,
                                m_settings.fps, input, static_cast<int>(input_index),
                                std::move(edid_bytes), edid_path};
    status = MakeFrameSource(source, [this](const SourcePicture& picture) { Encode(picture); }, m_source);
    if (status != Status::SUCCESS) return status;
    status = m_muxer->Open(m_settings.width, m_settings.height, m_settings.fps,
                          [this](const uint8_t* data, size_t size) {
                              m_pending.insert(m_pending.end(), data, data + size);
                          });
    if (status != Status::SUCCESS) return status;

    log.Infof("%s: %dx%d at %d fps, %lld bit/s, H.264 in MPEG-TS on \"%s\", from %s, encoded by %s",
              m_name.c_str(), m_settings.width, m_settings.height, m_settings.fps,
              static_cast<long long>(m_bit_rate), OUTPUT_NAME, m_source->Describe().c_str(),
              m_encoder->Describe().c_str());
    m_start_pts = WallClockPts();
    m_source->Start(FrameSlots(Clock::now(), m_settings.fps));
    return Status::SUCCESS;
}

void EncodeQualcomm::Pipeline::Encode(const SourcePicture& picture) {
    if (picture.color_space != m_settings.color_space) {
        // The colours are in the stream's headers: a new key frame says them.
        H264Settings settings = m_settings;
        settings.color_space = picture.color_space;
        m_encoder->Drain();
        if (m_encoder->Open(settings) == Status::SUCCESS)
            m_settings = settings;
        else if (m_encoder->Open(m_settings) != Status::SUCCESS)
            return;  // logged by the encoder
    }
    // A picture of a frame slot is stamped with the slot's time, one that came
    // as its writer sent it with the clock; never at or before the last.
    const int64_t pts = picture.slot >= 0 ? m_start_pts + picture.slot * PTS_HZ / m_settings.fps
                                          : WallClockPts();
    m_last_pts = std::max(pts, m_last_pts + 1);
    m_encoder->Encode(picture.picture, m_last_pts, picture.made);
}

void EncodeQualcomm::Pipeline::Publish(const VideoEncoder::Unit& unit) {
    const ParameterSets::Unit out = m_parameter_sets.Apply(unit.data, unit.size);
    if (out.size == 0) return;  // parameter sets alone, kept for the next picture
    const Status status = m_muxer->WriteFrame(out.data, out.size, unit.pts, unit.dts, unit.key || out.idr);
    if (status != Status::SUCCESS) {  // counted and logged by the muxer
        m_pending.clear();
        return;
    }
    MediaChunk chunk;
    chunk.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(m_pending));
    m_pending = {};
    chunk.created = unit.made;
    chunk.frame_number = m_frames++;
    chunk.last_of_frame = true;
    chunk.frame_interval = std::chrono::microseconds(1000000 / m_settings.fps);
    chunk.bit_rate = m_bit_rate;
    m_output->Publish(chunk);
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
        m_pipeline->Stop();
        const Counters counters = m_pipeline->GetCounters();
        m_pipeline->LogSummary();
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
