#include <gtest/gtest.h>

#include <linux/videodev2.h>
#include <map>

#include "buffer_pool.h"
#include "log_capture.h"
#include "nv12_image.h"
#include "video_scaler.h"

using morwick::C2DLibrary;
using morwick::VideoScaler;
using Surface = VideoScaler::SurfaceConfiguration;

namespace {

constexpr uint32_t BOX = C2DLibrary::FILTER_BOX;

Surface Request(int width, int height) { return {Surface::SizeWord(width, height), V4L2_PIX_FMT_NV12, BOX}; }
const Surface PASSTHROUGH{0, V4L2_PIX_FMT_NV12, BOX};

// Keeps a copy of every frame it is given.
class RecordingSink : public StreamSink {
public:
    explicit RecordingSink(Status result = Status::SUCCESS) : m_result(result) {}
    Status PushBuffer(const std::shared_ptr<Buffer>& buffer) override {
        const BufferMetadata metadata = buffer->GetMetadata();
        metadatas.push_back(metadata);
        frames.push_back(LoadVenus(buffer->GetAddress(), metadata.width, metadata.height));
        if (keep) kept.push_back(buffer);
        return m_result;
    }
    std::vector<BufferMetadata> metadatas;
    std::vector<Nv12Image> frames;
    bool keep = false;
    std::vector<std::shared_ptr<Buffer>> kept;

private:
    Status m_result;
};

// A frame of the given size in a buffer of its own pool.
class InputFrame {
public:
    InputFrame(int width, int height) : image(MakeTestFrame(width, height)) {
        const morwick::BufferFormat format = VenusFormat(width, height);
        pool = std::make_unique<morwick::AndroidMetadataBufferPool>(
            "test_input", morwick::AndroidMetadataBufferPool::Configuration{1, format.scanlines, 4096, 0, 0,
                                                                             format.stride, format.size});
        EXPECT_EQ(pool->GetBuffer(buffer, 0), Status::SUCCESS);
        StoreVenus(image, *buffer);
    }
    Nv12Image image;
    std::unique_ptr<morwick::AndroidMetadataBufferPool> pool;
    std::shared_ptr<Buffer> buffer;
};

std::shared_ptr<RecordingSink> Attach(VideoScaler& scaler, const Surface& surface) {
    auto sink = std::make_shared<RecordingSink>();
    auto output = scaler.AddOutput(surface);
    EXPECT_NE(output, nullptr);
    if (output) {
        EXPECT_EQ(output->AddSink(sink), Status::SUCCESS);
    }
    return sink;
}

void ExpectCloseTo(const Nv12Image& actual, const Nv12Image& expected, const char* what) {
    ASSERT_EQ(actual.width, expected.width) << what;
    ASSERT_EQ(actual.height, expected.height) << what;
    EXPECT_GE(Psnr(actual.y, expected.y), 40.0) << what << " luma";
    EXPECT_GE(Psnr(actual.u, expected.u), 38.0) << what << " Cb";
    EXPECT_GE(Psnr(actual.v, expected.v), 38.0) << what << " Cr";
}

// (a + b + c + d + 2) / 4 of every 2x2 block.
std::vector<uint8_t> HalveByAverage(const std::vector<uint8_t>& plane, int width, int height) {
    std::vector<uint8_t> half(static_cast<size_t>(width / 2) * (height / 2));
    for (int row = 0; row < height / 2; ++row)
        for (int col = 0; col < width / 2; ++col) {
            const size_t at = static_cast<size_t>(2 * row) * width + 2 * col;
            half[static_cast<size_t>(row) * (width / 2) + col] =
                static_cast<uint8_t>((plane[at] + plane[at + 1] + plane[at + width] + plane[at + width + 1] + 2) / 4);
        }
    return half;
}

class ScalerTest : public ::testing::Test {
protected:
    std::shared_ptr<C2DLibrary> library = std::make_shared<C2DLibrary>(2);
    VideoScaler scaler{library, VideoScaler::Configuration{9}};
};

}  // namespace

TEST_F(ScalerTest, EqualRequestsShareOneOutputUntilTheLastIsRemoved) {
    auto first = scaler.AddOutput(Request(640, 360));
    auto second = scaler.AddOutput(Request(640, 360));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_NE(scaler.AddOutput(Request(854, 480)), first);
    EXPECT_NE(scaler.str().find("640x360 NV12 box, 2 requests"), std::string::npos) << scaler.str();

    EXPECT_EQ(scaler.RemoveOutput(Request(640, 360)), Status::SUCCESS);
    EXPECT_NE(scaler.str().find("640x360 NV12 box, 1 request,"), std::string::npos) << scaler.str();
    EXPECT_EQ(scaler.RemoveOutput(Request(640, 360)), Status::SUCCESS);
    EXPECT_EQ(scaler.str().find("640x360"), std::string::npos) << scaler.str();

    LogCapture log;
    EXPECT_EQ(scaler.RemoveOutput(Request(640, 360)), Status::FAILURE_INVALID);
    EXPECT_EQ(log.Matching("no output").size(), 1u);
}

TEST_F(ScalerTest, RefusesRequestsItCannotMeet) {
    LogCapture log;
    EXPECT_EQ(scaler.AddOutput({Surface::SizeWord(640, 360), V4L2_PIX_FMT_YUV420, BOX}), nullptr);
    EXPECT_EQ(scaler.AddOutput(Request(641, 360)), nullptr);
    EXPECT_EQ(scaler.AddOutput(Request(0, 360)), nullptr);
    EXPECT_EQ(scaler.AddOutput({Surface::SizeWord(640, 360) | 0x10000000u, V4L2_PIX_FMT_NV12, BOX}), nullptr);
    EXPECT_EQ(scaler.AddOutput({Surface::SizeWord(640, 360), V4L2_PIX_FMT_NV12, 7}), nullptr);
    EXPECT_EQ(log.Records().size(), 5u);
    EXPECT_EQ(log.Matching("only NV12").size(), 1u);
    EXPECT_EQ(log.Matching("even width and height").size(), 1u);
    EXPECT_EQ(log.Matching("no size").size(), 1u);
    EXPECT_EQ(log.Matching("bits 28-31").size(), 1u);
    EXPECT_EQ(log.Matching("unknown filter").size(), 1u);
}

TEST_F(ScalerTest, ReportNamesInputOutputsCountsAndSources) {
    EXPECT_NE(scaler.str().find("not seen yet"), std::string::npos) << scaler.str();
    for (const Surface& surface : {Request(640, 360), Request(1920, 1080), PASSTHROUGH, Request(854, 480), Request(640, 360)})
        Attach(scaler, surface);
    EXPECT_NE(scaler.str().find("passthrough (input size)"), std::string::npos) << scaler.str();

    InputFrame input(1280, 720);
    ASSERT_EQ(scaler.PushBuffer(input.buffer), Status::SUCCESS);
    const std::string report = scaler.str();
    for (const char* line : {"input 1280x720 NV12", "4 outputs for 5 requests",
                             "output 0: 640x360 NV12 box, 2 requests, 2 sinks, scaled from the input",
                             "output 1: 1920x1080 NV12 box, 1 request, 1 sink, scaled from the input",
                             "output 2: passthrough 1280x720 NV12 box, 1 request, 1 sink, copied from the input",
                             "output 3: 854x480 NV12 box, 1 request, 1 sink, scaled from the input"})
        EXPECT_NE(report.find(line), std::string::npos) << "no \"" << line << "\" in\n" << report;

    for (const Surface& surface : {Request(640, 360), Request(1920, 1080), PASSTHROUGH, Request(854, 480), Request(640, 360)})
        scaler.RemoveOutput(surface);
    EXPECT_NE(scaler.str().find("0 outputs for 0 requests, nothing to scale"), std::string::npos) << scaler.str();
}

TEST_F(ScalerTest, ProbeOutputsMatchAnIndependentBilinear) {
    auto up = Attach(scaler, Request(1920, 1080));
    auto same = Attach(scaler, PASSTHROUGH);
    auto mid = Attach(scaler, Request(854, 480));
    auto half = Attach(scaler, Request(640, 360));
    auto half_again = std::make_shared<RecordingSink>();
    ASSERT_EQ(scaler.AddOutput(Request(640, 360))->AddSink(half_again), Status::SUCCESS);

    InputFrame input(1280, 720);
    ASSERT_EQ(scaler.PushBuffer(input.buffer), Status::SUCCESS);
    for (const auto* sink : {up.get(), same.get(), mid.get(), half.get(), half_again.get()}) {
        ASSERT_EQ(sink->frames.size(), 1u);
        EXPECT_EQ(sink->metadatas[0].pixel_format, V4L2_PIX_FMT_NV12);
        EXPECT_EQ(sink->metadatas[0].color_space, CS_YCBCR601_LIMITED);
    }
    EXPECT_EQ(up->metadatas[0].width, 1920);
    EXPECT_EQ(up->metadatas[0].height, 1080);
    EXPECT_EQ(mid->metadatas[0].width, 854);

    ExpectCloseTo(up->frames[0], ReferenceScale(input.image, 1920, 1080, false), "1920x1080");
    ExpectCloseTo(mid->frames[0], ReferenceScale(input.image, 854, 480, false), "854x480");
    ExpectCloseTo(half->frames[0], ReferenceScale(input.image, 640, 360, false), "640x360");

    // Passthrough is a copy, bit for bit.
    EXPECT_TRUE(same->frames[0].y == input.image.y);
    EXPECT_TRUE(same->frames[0].u == input.image.u);
    EXPECT_TRUE(same->frames[0].v == input.image.v);
    // Both requests for 640x360 see one frame.
    EXPECT_TRUE(half_again->frames[0].y == half->frames[0].y);
}

TEST_F(ScalerTest, HalfSizeIsThePlain2x2Average) {
    auto half = Attach(scaler, Request(640, 360));
    InputFrame input(1280, 720);
    ASSERT_EQ(scaler.PushBuffer(input.buffer), Status::SUCCESS);
    ASSERT_EQ(half->frames.size(), 1u);
    EXPECT_TRUE(half->frames[0].y == HalveByAverage(input.image.y, 1280, 720));
    EXPECT_TRUE(half->frames[0].u == HalveByAverage(input.image.u, 640, 360));
    EXPECT_TRUE(half->frames[0].v == HalveByAverage(input.image.v, 640, 360));
}

TEST_F(ScalerTest, QuarterSizeIsChainedFromTheHalfSizeOutput) {
    // 1280x720 could be the quarter's source too: the smallest at twice its size is taken.
    auto large = Attach(scaler, Request(1280, 720));
    auto half = Attach(scaler, Request(960, 540));
    auto quarter = Attach(scaler, Request(480, 270));
    auto odd = Attach(scaler, Request(854, 480));
    InputFrame input(1920, 1080);
    ASSERT_EQ(scaler.PushBuffer(input.buffer), Status::SUCCESS);
    const std::string report = scaler.str();
    EXPECT_NE(report.find("480x270 NV12 box, 1 request, 1 sink, scaled from the 960x540 output"), std::string::npos) << report;
    EXPECT_NE(report.find("854x480 NV12 box, 1 request, 1 sink, scaled from the input"), std::string::npos) << report;

    ASSERT_EQ(quarter->frames.size(), 1u);
    ASSERT_EQ(half->frames.size(), 1u);
    // Made from the 960x540 frame: exactly its 2x2 average, and close to the true area average.
    EXPECT_TRUE(quarter->frames[0].y == HalveByAverage(half->frames[0].y, 960, 540));
    EXPECT_TRUE(quarter->frames[0].v == HalveByAverage(half->frames[0].v, 480, 270));
    ExpectCloseTo(quarter->frames[0], ReferenceScale(input.image, 480, 270, true), "480x270");
    ExpectCloseTo(odd->frames[0], ReferenceScale(input.image, 854, 480, false), "854x480 from 1920x1080");
}

TEST_F(ScalerTest, UnneededOutputsAreNotMadeButStillServeAsSources) {
    auto output = scaler.AddOutput(Request(960, 540));  // no sink
    auto quarter = Attach(scaler, Request(480, 270));
    InputFrame input(1920, 1080);
    ASSERT_EQ(scaler.PushBuffer(input.buffer), Status::SUCCESS);
    ASSERT_EQ(quarter->frames.size(), 1u);
    ExpectCloseTo(quarter->frames[0], ReferenceScale(input.image, 480, 270, true), "480x270");
}

// Marks the alignment space of each frame it gets and checks the marks of the
// frame before survived: the scaler reuses the single buffer of each output.
class GuardSink : public StreamSink {
public:
    static constexpr uint8_t GUARD = 0xA5;
    Status PushBuffer(const std::shared_ptr<Buffer>& buffer) override {
        const BufferMetadata metadata = buffer->GetMetadata();
        const morwick::BufferFormat format = VenusFormat(metadata.width, metadata.height);
        uint8_t* base = buffer->GetAddress();
        const uint8_t expected = frames++ ? GUARD : 0;  // new memfd pages start zeroed
        size_t pixel_bytes = 0;
        for (size_t offset = 0; offset < buffer->GetSize(); ++offset) {
            if (IsPixel(offset, format, metadata)) {
                ++pixel_bytes;
                continue;
            }
            if (base[offset] != expected) ++damaged;
            base[offset] = GUARD;
        }
        EXPECT_EQ(pixel_bytes, static_cast<size_t>(metadata.width) * metadata.height * 3 / 2);
        return Status::SUCCESS;
    }
    static bool IsPixel(size_t offset, const morwick::BufferFormat& format, const BufferMetadata& metadata) {
        const size_t stride = format.stride;
        if (offset < format.chroma_offset)
            return offset / stride < static_cast<size_t>(metadata.height) && offset % stride < static_cast<size_t>(metadata.width);
        offset -= format.chroma_offset;
        return offset / stride < static_cast<size_t>(metadata.height / 2) && offset % stride < static_cast<size_t>(metadata.width);
    }
    int frames = 0;
    size_t damaged = 0;
};

TEST(ScalerBounds, NeverWritesAlignmentSpaceOrPastAPlane) {
    auto library = std::make_shared<C2DLibrary>(2);
    VideoScaler scaler(library, VideoScaler::Configuration{1});
    std::map<std::string, std::shared_ptr<GuardSink>> sinks;
    for (const auto& [name, surface] : std::map<std::string, Surface>{{"1080", Request(1920, 1080)},
                                                                      {"720", PASSTHROUGH},
                                                                      {"480", Request(854, 480)},
                                                                      {"360", Request(640, 360)},
                                                                      {"202", Request(362, 202)}}) {
        sinks[name] = std::make_shared<GuardSink>();
        ASSERT_EQ(scaler.AddOutput(surface)->AddSink(sinks[name]), Status::SUCCESS);
    }
    InputFrame input(1280, 720);
    const std::vector<uint8_t> before(input.buffer->GetAddress(), input.buffer->GetAddress() + input.buffer->GetSize());
    ASSERT_EQ(scaler.PushBuffer(input.buffer), Status::SUCCESS);
    ASSERT_EQ(scaler.PushBuffer(input.buffer), Status::SUCCESS);
    for (const auto& [name, sink] : sinks) {
        EXPECT_EQ(sink->frames, 2) << name;
        EXPECT_EQ(sink->damaged, 0u) << name << ": bytes outside the pixels were written";
    }
    EXPECT_TRUE(std::equal(before.begin(), before.end(), input.buffer->GetAddress())) << "the input was written";
}

TEST_F(ScalerTest, RefusesFramesItCannotScale) {
    auto sink = Attach(scaler, Request(640, 360));
    InputFrame input(1280, 720);
    const BufferMetadata good = input.buffer->GetMetadata();
    const auto refused = [&](BufferMetadata metadata, const char* reason) {
        LogCapture log;
        input.buffer->SetMetadata(metadata);
        EXPECT_EQ(scaler.PushBuffer(input.buffer), Status::FAILURE_INVALID) << reason;
        EXPECT_EQ(log.Matching(reason).size(), 1u) << reason;
    };
    refused(BufferMetadata(), "only NV12");
    BufferMetadata metadata = good;
    metadata.width = 0;
    refused(metadata, "no size");
    metadata = good;
    metadata.height = -720;
    refused(metadata, "no size");
    metadata = good;
    metadata.pixel_format = V4L2_PIX_FMT_NV21;
    refused(metadata, "only NV12");
    metadata = good;
    metadata.width = 1279;
    refused(metadata, "even width and height");
    {
        LogCapture log;
        EXPECT_EQ(scaler.PushBuffer(nullptr), Status::FAILURE_NULL_POINTER);
        EXPECT_EQ(log.Matching("no buffer").size(), 1u);
    }
    EXPECT_TRUE(sink->frames.empty());
    input.buffer->SetMetadata(good);
    EXPECT_EQ(scaler.PushBuffer(input.buffer), Status::SUCCESS);
    EXPECT_EQ(sink->frames.size(), 1u);
}

TEST_F(ScalerTest, ReturnsTheFirstFailureAfterServingEveryOutput) {
    auto failing = std::make_shared<RecordingSink>(Status::FAILURE_SYSCALL);
    auto also_failing = std::make_shared<RecordingSink>(Status::FAILURE_BUSY);
    auto after_failure = std::make_shared<RecordingSink>();
    auto up = scaler.AddOutput(Request(1920, 1080));
    ASSERT_EQ(up->AddSink(failing), Status::SUCCESS);
    ASSERT_EQ(up->AddSink(after_failure), Status::SUCCESS);
    ASSERT_EQ(scaler.AddOutput(Request(854, 480))->AddSink(also_failing), Status::SUCCESS);
    auto down = Attach(scaler, Request(640, 360));

    InputFrame input(1280, 720);
    EXPECT_EQ(scaler.PushBuffer(input.buffer), Status::FAILURE_SYSCALL);
    EXPECT_EQ(after_failure->frames.size(), 1u);
    EXPECT_EQ(also_failing->frames.size(), 1u);
    EXPECT_EQ(down->frames.size(), 1u);
}

TEST(ScalerBuffers, AnOutputWithAllFramesOutDropsOnlyItsOwnFrame) {
    VideoScaler scaler(std::make_shared<C2DLibrary>(2), VideoScaler::Configuration{1});
    auto holder = std::make_shared<RecordingSink>();
    holder->keep = true;
    ASSERT_EQ(scaler.AddOutput(Request(640, 360))->AddSink(holder), Status::SUCCESS);
    auto other = std::make_shared<RecordingSink>();
    ASSERT_EQ(scaler.AddOutput(Request(854, 480))->AddSink(other), Status::SUCCESS);

    InputFrame input(1280, 720);
    EXPECT_EQ(scaler.PushBuffer(input.buffer), Status::SUCCESS);
    LogCapture log;
    EXPECT_EQ(scaler.PushBuffer(input.buffer), Status::FAILURE_TRY_AGAIN);
    EXPECT_EQ(log.Matching("640x360 output has all 1 frames out").size(), 1u);
    EXPECT_EQ(holder->frames.size(), 1u);
    EXPECT_EQ(other->frames.size(), 2u);

    holder->kept.clear();  // the frame goes back to its output
    EXPECT_EQ(scaler.PushBuffer(input.buffer), Status::SUCCESS);
    EXPECT_EQ(holder->frames.size(), 2u);
}

TEST(ScalerThreads, ResultsDoNotDependOnTheThreadCount) {
    std::vector<std::vector<Nv12Image>> results;
    InputFrame input(1280, 720);
    for (unsigned threads : {1u, 3u}) {
        VideoScaler scaler(std::make_shared<C2DLibrary>(threads), VideoScaler::Configuration{2});
        std::vector<std::shared_ptr<RecordingSink>> sinks;
        for (const Surface& surface : {Request(1920, 1080), PASSTHROUGH, Request(854, 480), Request(640, 360), Request(320, 180)})
            sinks.push_back(Attach(scaler, surface));
        for (int i = 0; i < 3; ++i) ASSERT_EQ(scaler.PushBuffer(input.buffer), Status::SUCCESS);
        results.emplace_back();
        for (const auto& sink : sinks) {
            ASSERT_EQ(sink->frames.size(), 3u);
            EXPECT_TRUE(sink->frames[2].y == sink->frames[0].y);
            results.back().push_back(sink->frames[2]);
        }
    }
    for (size_t i = 0; i < results[0].size(); ++i) {
        EXPECT_TRUE(results[0][i].y == results[1][i].y) << i;
        EXPECT_TRUE(results[0][i].u == results[1][i].u) << i;
        EXPECT_TRUE(results[0][i].v == results[1][i].v) << i;
    }
}

TEST_F(ScalerTest, FollowsAChangeOfInputSize) {
    auto same = Attach(scaler, PASSTHROUGH);
    auto half = Attach(scaler, Request(640, 360));
    InputFrame small(1280, 720), large(1920, 1080);
    ASSERT_EQ(scaler.PushBuffer(small.buffer), Status::SUCCESS);
    ASSERT_EQ(scaler.PushBuffer(large.buffer), Status::SUCCESS);
    ASSERT_EQ(same->frames.size(), 2u);
    EXPECT_EQ(same->metadatas[1].width, 1920);
    EXPECT_EQ(same->metadatas[1].height, 1080);
    EXPECT_TRUE(same->frames[1].y == large.image.y);
    EXPECT_TRUE(same->frames[1].v == large.image.v);
    ExpectCloseTo(half->frames[1], ReferenceScale(large.image, 640, 360, true), "640x360 from 1920x1080");
    EXPECT_NE(scaler.str().find("passthrough 1920x1080"), std::string::npos) << scaler.str();
}
