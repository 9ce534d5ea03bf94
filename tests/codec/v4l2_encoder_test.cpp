// The V4L2 encoder client and the hardware encoder behind the encoder
// component, against the kernel's own stateful codec, vicodec, in the booted
// appliance (single-planar, or multi-planar with vicodec.multiplanar=1). It
// codes FWHT, not H.264, and it encodes on the CPU: what it checks is the
// interface, not a board's encoder.
#include <gtest/gtest.h>

#include <linux/videodev2.h>
#include <sys/select.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "hardware_encoder.h"
#include "log_capture.h"
#include "stateful_decoder.h"
#include "test_pattern.h"
#include "v4l2_encoder.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string ENCODER = "/dev/v4l/by-name/stateful-encoder";
const std::string DECODER = "/dev/v4l/by-name/stateful-decoder";
constexpr int WIDTH = 640;
constexpr int HEIGHT = 360;
constexpr int FRAMES = 20;

V4l2Encoder::Settings Fwht() { return {V4L2_PIX_FMT_FWHT, WIDTH, HEIGHT, 30, 1000000, CS_YCBCR709_LIMITED}; }

struct Coded {
    std::vector<uint8_t> bytes;
    uint64_t timestamp_us;
};

void TakeAll(V4l2Encoder& encoder, std::vector<Coded>& coded) {
    V4l2Encoder::CodedFrame frame;
    while (encoder.Take(frame) == V4l2Encoder::Taken::FRAME) {
        coded.push_back({std::vector<uint8_t>(frame.data, frame.data + frame.size), frame.timestamp_us});
        ASSERT_EQ(encoder.Release(frame), Status::SUCCESS) << encoder.Error();
    }
}

// Waits for a coded frame as the select loop would.
void WaitForCoded(const V4l2Encoder& encoder) {
    fd_set read;
    FD_ZERO(&read);
    FD_SET(encoder.Descriptor(), &read);
    timeval limit{1, 0};
    ASSERT_EQ(select(encoder.Descriptor() + 1, &read, nullptr, nullptr, &limit), 1) << "no coded frame in 1 s";
}

// Of the luma plane, or of the chroma plane (NV12: it follows the luma's lines).
double Psnr(const TestPattern& source, const StatefulDecoder::Picture& picture, bool chroma) {
    const uint8_t* from = chroma ? source.UV() : source.Y();
    const size_t offset = chroma ? static_cast<size_t>(picture.bytes_per_line) * picture.height : 0;
    const int rows = chroma ? HEIGHT / 2 : HEIGHT;
    double error = 0;
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < WIDTH; ++x) {
            const double d = static_cast<double>(from[y * source.Stride() + x]) -
                             picture.bytes.at(offset + static_cast<size_t>(y) * picture.bytes_per_line + x);
            error += d * d;
        }
    error /= static_cast<double>(WIDTH) * rows;
    return error == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / error);
}

TEST(V4l2EncoderTest, EveryFrameComesBackCodedWithItsTimeStampAndDecodesToItsPicture) {
    V4l2Encoder encoder;
    ASSERT_EQ(encoder.Open(ENCODER, Fwht()), Status::SUCCESS) << encoder.Error();
    std::ifstream mode("/sys/module/vicodec/parameters/multiplanar");
    const bool multi_planar = mode.get() == 'Y';
    std::cout << "vicodec " << (multi_planar ? "multi" : "single") << "-planar: " << encoder.Describe() << "\n";
    EXPECT_EQ(encoder.Describe().find("(multi-planar)") != std::string::npos, multi_planar);
    // The driver chooses the raw layout: 640x368 for 640x360.
    EXPECT_EQ(encoder.RawFormat().width, 640u);
    EXPECT_EQ(encoder.RawFormat().height, 368u);

    TestPattern pattern(WIDTH, HEIGHT);
    std::vector<Coded> coded;
    std::vector<uint64_t> sent;
    for (int i = 0; i < FRAMES; ++i) {
        pattern.Draw(static_cast<uint32_t>(i));
        const uint64_t stamp = 1000000 + static_cast<uint64_t>(i) * 33333;
        Status status;
        while ((status = encoder.Encode({pattern.Y(), pattern.Stride(), pattern.UV(), pattern.Stride()},
                                        stamp)) == Status::FAILURE_BUSY)
            WaitForCoded(encoder), TakeAll(encoder, coded);
        ASSERT_EQ(status, Status::SUCCESS) << encoder.Error();
        sent.push_back(stamp);
        TakeAll(encoder, coded);
    }
    ASSERT_EQ(encoder.Drain(Clock::now() + 2s,
                            [&](const V4l2Encoder::CodedFrame& frame) {
                                coded.push_back({std::vector<uint8_t>(frame.data, frame.data + frame.size),
                                                 frame.timestamp_us});
                            }),
              Status::SUCCESS)
        << encoder.Error();
    ASSERT_EQ(coded.size(), sent.size());
    std::vector<std::vector<uint8_t>> frames;
    for (size_t i = 0; i < coded.size(); ++i) {
        EXPECT_EQ(coded[i].timestamp_us, sent[i]) << "frame " << i;
        frames.push_back(coded[i].bytes);
    }

    StatefulDecoder decoder;
    std::vector<StatefulDecoder::Picture> pictures;
    ASSERT_EQ(decoder.Decode(DECODER, V4L2_PIX_FMT_FWHT, WIDTH, HEIGHT, frames, pictures), "");
    ASSERT_EQ(pictures.size(), frames.size());
    double luma = 99, chroma = 99;
    for (int i = 0; i < FRAMES; ++i) {
        pattern.Draw(static_cast<uint32_t>(i));
        luma = std::min(luma, Psnr(pattern, pictures[i], false));
        chroma = std::min(chroma, Psnr(pattern, pictures[i], true));
    }
    std::cout << "worst PSNR: luma " << luma << " dB, chroma " << chroma << " dB\n";
    EXPECT_GT(luma, 40.0) << "the pictures did not reach the encoder whole";
    EXPECT_GT(chroma, 40.0) << "the colours did not reach the encoder in place";
}

TEST(V4l2EncoderTest, TheDrainGivesBackEveryQueuedFrameThenTheLast) {
    V4l2Encoder encoder;
    ASSERT_EQ(encoder.Open(ENCODER, Fwht()), Status::SUCCESS) << encoder.Error();
    TestPattern pattern(WIDTH, HEIGHT);
    std::vector<uint64_t> sent;
    for (uint64_t stamp = 1; encoder.Encode({pattern.Y(), pattern.Stride(), pattern.UV(), pattern.Stride()},
                                            stamp) == Status::SUCCESS;
         ++stamp)
        sent.push_back(stamp);
    ASSERT_GE(sent.size(), 2u) << encoder.Error();
    std::vector<uint64_t> drained;
    ASSERT_EQ(encoder.Drain(Clock::now() + 2s,
                            [&](const V4l2Encoder::CodedFrame& frame) { drained.push_back(frame.timestamp_us); }),
              Status::SUCCESS)
        << encoder.Error();
    EXPECT_EQ(drained, sent);
    EXPECT_FALSE(encoder.IsOpen());
}

// What vicodec lacks (a bit rate, a frame rate) is skipped; what it limits is taken and said.
TEST(V4l2EncoderTest, SkipsWhatTheDriverLacksAndSaysWhatItTookOtherwise) {
    V4l2Encoder encoder;
    ASSERT_EQ(encoder.Open(ENCODER, Fwht()), Status::SUCCESS) << encoder.Error();
    const auto has = [](const std::vector<std::string>& lines, const std::string& line) {
        for (const std::string& each : lines)
            if (each.find(line) == 0) return true;
        return false;
    };
    for (const char* skipped : {"bit rate: the driver has no such control", "frame rate: VIDIOC_S_PARM: (25)",
                                "headers repeated: the driver has no such control"})
        EXPECT_TRUE(has(encoder.Skipped(), skipped)) << skipped;
    EXPECT_FALSE(has(encoder.Skipped(), "profile")) << "an H.264 control asked of FWHT";
    EXPECT_TRUE(has(encoder.Differences(), "GOP size 30 taken as 16"));
    EXPECT_NE(encoder.Describe().find("GOP size 16"), std::string::npos) << encoder.Describe();
}

// The hardware encoder as the component drives it, from a select loop.
class HardwareEncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_encoder = std::make_unique<HardwareEncoder>(
            "enc9", ENCODER, [this](const VideoEncoder::Unit& unit) { m_units.push_back(unit); },
            V4L2_PIX_FMT_FWHT);
        ASSERT_EQ(m_encoder->Open({WIDTH, HEIGHT, 30, 1000, CS_YCBCR709_LIMITED}), Status::SUCCESS);
    }
    // One cycle: a picture when its slot is due, coded frames when they come.
    void Cycle(int64_t& slot, Clock::time_point start) {
        IOEventData data;
        m_encoder->Setup(data);
        const Clock::time_point due = start + slot * 33ms;
        data.AddTimeout(due, nullptr);
        timeval timeout = data.GetTimeout();
        const int ready = select(data.GetFdMax() + 1, data.GetFdsRead(), data.GetFdsWrite(),
                                 data.GetFdsError(), &timeout);
        ASSERT_GE(ready, 0);
        if (ready > 0) m_encoder->Handle(data);
        if (Clock::now() >= due) {
            m_pattern.Draw(static_cast<uint32_t>(slot));
            m_made.push_back(Clock::now());
            m_encoder->Encode({m_pattern.Y(), m_pattern.Stride(), m_pattern.UV(), m_pattern.Stride()},
                              1000 + slot * 3000, m_made.back());
            ++slot;
        }
        ++m_cycles;
    }

    std::unique_ptr<HardwareEncoder> m_encoder;
    TestPattern m_pattern{WIDTH, HEIGHT};
    std::vector<VideoEncoder::Unit> m_units;
    std::vector<Clock::time_point> m_made;
    int m_cycles = 0;
};

TEST_F(HardwareEncoderTest, EveryPictureComesOutWithItsOwnTimes) {
    int64_t slot = 0;
    const Clock::time_point start = Clock::now();
    while (slot < 15) Cycle(slot, start);
    m_encoder->Drain();
    ASSERT_EQ(m_units.size(), 15u);
    for (size_t i = 0; i < m_units.size(); ++i) {
        EXPECT_EQ(m_units[i].pts, 1000 + static_cast<int64_t>(i) * 3000) << "unit " << i;
        EXPECT_EQ(m_units[i].made, m_made[i]) << "unit " << i;
    }
}

// Last in its boot: the encoder's driver is unbound and stays so.
TEST_F(HardwareEncoderTest, AnEncoderThatGoesAwayIsReportedOnceAndTheLoopGoesOn) {
    LogCapture log(Log::Level::WARN);
    int64_t slot = 0;
    const Clock::time_point start = Clock::now();
    while (slot < 10) Cycle(slot, start);
    const size_t before = m_units.size();
    EXPECT_GT(before, 5u);
    {
        std::ofstream unbind("/sys/bus/platform/drivers/vicodec/unbind");
        unbind << "vicodec.0" << std::flush;
        ASSERT_TRUE(unbind.good()) << "cannot unbind vicodec";
    }
    const int cycles_before = m_cycles;
    while (slot < 30) Cycle(slot, start);
    EXPECT_EQ(log.Matching("enc9: " + ENCODER + ": the encoder has gone away (").size(), 1u);
    EXPECT_EQ(log.Matching("(19) No such device").size(), 1u);
    EXPECT_EQ(log.Records().size(), 1u) << "a flood";
    EXPECT_LE(m_cycles - cycles_before, 2 * 20 + 5) << "the loop spun";
    IOEventData data;
    m_encoder->Setup(data);
    EXPECT_EQ(data.GetFdMax(), -1) << "select still waits on a gone device";
    m_encoder->Drain();
}

}  // namespace
