// AndroidBufferFileSink: one plain frame per pushed Venus frame, whatever
// the conversion could fill, and write failures returned, not swallowed.
// The probe's source is compiled in here, with its main renamed.
#include "scaler_probe.cpp"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "log_capture.h"

namespace {

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

// A buffer of `bytes` bytes announcing a width x height NV12 frame, its
// Venus rows (stride 128-aligned) filled with a pattern that says where
// every byte came from.
std::shared_ptr<Buffer> MakeFrame(int width, int height, size_t bytes) {
    std::shared_ptr<Buffer> buffer = Buffer::Allocate(bytes, "sink_test");
    BufferMetadata metadata;
    metadata.is_video_frame = 1;
    metadata.width = width;
    metadata.height = height;
    metadata.pixel_format = V4L2_PIX_FMT_NV12;
    metadata.color_space = CS_YCBCR601_LIMITED;
    buffer->SetMetadata(metadata);
    for (size_t i = 0; i < buffer->GetSize(); ++i)
        buffer->GetAddress()[i] = static_cast<uint8_t>(i * 7 + i / 4093);
    return buffer;
}

class TempDir {
public:
    TempDir() {
        char path[] = "/tmp/sink_test.XXXXXX";
        if (!mkdtemp(path)) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        m_path = path;
    }
    ~TempDir() { std::system(("rm -rf '" + m_path + "'").c_str()); }
    std::string File(const char* name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

TEST(AndroidBufferFileSink, WritesOnePlainFramePerPush) {
    TempDir dir;
    LogCapture log;
    const auto frame = MakeFrame(854, 480, 659456);
    {
        AndroidBufferFileSink sink(dir.File("out.yuv"));
        EXPECT_EQ(sink.PushBuffer(frame), Status::SUCCESS);
        EXPECT_EQ(sink.PushBuffer(frame), Status::SUCCESS);
    }
    const auto written = ReadAll(dir.File("out.yuv"));
    ASSERT_EQ(written.size(), 2u * 614880);
    const uint8_t* venus = frame->GetAddress();
    // Luma row 479 and chroma row 239: stride 896, chroma plane at 896 * 480.
    EXPECT_TRUE(std::equal(venus + 479 * 896, venus + 479 * 896 + 854, written.begin() + 479 * 854));
    EXPECT_TRUE(std::equal(venus + 430080 + 239 * 896, venus + 430080 + 239 * 896 + 854,
                           written.begin() + 614880 - 854));
    EXPECT_TRUE(std::equal(written.begin(), written.begin() + 614880, written.begin() + 614880))
        << "the second push did not append the same frame";
    EXPECT_TRUE(log.Records().empty());
}

TEST(AndroidBufferFileSink, TruncatesItsFileWhenMade) {
    TempDir dir;
    std::ofstream(dir.File("old.yuv")) << "stale bytes from an earlier run";
    AndroidBufferFileSink sink(dir.File("old.yuv"));
    EXPECT_EQ(ReadAll(dir.File("old.yuv")).size(), 0u);
}

TEST(AndroidBufferFileSink, WriteFailureIsLoggedOnceAndReturned) {
    LogCapture log;
    AndroidBufferFileSink sink("/dev/full");
    EXPECT_EQ(sink.PushBuffer(MakeFrame(640, 360, 380928)), Status::FAILURE_SYSCALL);

    std::vector<LogCapture::Record> warnings;
    for (const auto& record : log.Records())
        if (record.level == Log::Level::WARN) warnings.push_back(record);
    ASSERT_EQ(warnings.size(), 1u);
    const std::string& text = warnings[0].text;
    EXPECT_EQ(text.substr(text.find('\t')),
              "\tm_file_sink.Write(dst_buf.data(), dst_buf.size()) failed with status FAILURE_SYSCALL");
    EXPECT_NE(text.find("[test/scaler_probe:"), std::string::npos) << text;
    EXPECT_NE(text.find("] PushBuffer():\n"), std::string::npos) << text;

    // The sink stays usable: the next push fails the same way, no worse.
    EXPECT_EQ(sink.PushBuffer(MakeFrame(640, 360, 380928)), Status::FAILURE_SYSCALL);
}

TEST(AndroidBufferFileSink, SmallMappedFrameStillWritesAFullSizeFrame) {
    TempDir dir;
    LogCapture log;
    // 100 pages hold 320 Venus rows of a 1280x720 frame, far from all of it.
    const auto frame = MakeFrame(1280, 720, 409600);
    {
        AndroidBufferFileSink sink(dir.File("small.yuv"));
        EXPECT_EQ(sink.PushBuffer(frame), Status::SUCCESS);
    }
    EXPECT_EQ(log.Matching("Unexpected buffer size. Not large enough").size(), 1u);

    const auto written = ReadAll(dir.File("small.yuv"));
    ASSERT_EQ(written.size(), 1382400u);
    EXPECT_TRUE(std::equal(frame->GetAddress(), frame->GetAddress() + 409600, written.begin()));
    EXPECT_EQ(std::count(written.begin() + 409600, written.end(), 0),
              static_cast<long>(1382400 - 409600));
}

TEST(AndroidBufferFileSink, FrameSizesBeyondThirtyTwoBitsAreRefused) {
    TempDir dir;
    LogCapture log;
    AndroidBufferFileSink sink(dir.File("huge.yuv"));
    EXPECT_EQ(sink.PushBuffer(MakeFrame(50000, 50000, 4096)), Status::FAILURE_INVALID);
    EXPECT_EQ(sink.PushBuffer(MakeFrame(-1280, 720, 4096)), Status::FAILURE_INVALID);
    EXPECT_EQ(log.Matching("Unexpected frame size").size(), 2u);
    EXPECT_EQ(ReadAll(dir.File("huge.yuv")).size(), 0u);
}

}  // namespace
