// The encoder's building blocks: test pattern, raw frame input, x264 and the TS muxer.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "codec_module.h"
#include "log_capture.h"
#include "nv12_frame_reader.h"
#include "test_pattern.h"
#include "tool_runner.h"

namespace {

struct Stream {
    std::vector<uint8_t> bytes;
    std::vector<size_t> chunk_sizes;
    std::vector<size_t> frame_sizes;
    int key_frames = 0;
    int key_frames_with_sps = 0;
};

bool HasSps(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 3 < size; ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1F) == 7)
            return true;
    return false;
}

Stream EncodePattern(const H264Settings& settings, int frames) {
    Stream stream;
    const auto encoder = CreateH264Encoder();
    const auto muxer = CreateTsMuxer();
    if (!encoder || !muxer) {
        ADD_FAILURE() << "the codec module did not load";
        return stream;
    }
    EXPECT_EQ(encoder->Open(settings), Status::SUCCESS);
    EXPECT_EQ(muxer->Open(settings.width, settings.height, settings.fps,
                         [&stream](const uint8_t* data, size_t size) {
                             stream.chunk_sizes.push_back(size);
                             stream.bytes.insert(stream.bytes.end(), data, data + size);
                         }),
              Status::SUCCESS);
    TestPattern pattern(settings.width, settings.height);
    const int64_t ticks = 90000 / settings.fps;
    for (int i = 0; i < frames; ++i) {
        pattern.Draw(static_cast<uint32_t>(i));
        EncodedAccessUnit unit;
        EXPECT_EQ(encoder->Encode({pattern.Y(), pattern.Stride(), pattern.UV(), pattern.Stride()},
                                 i * ticks, unit),
                  Status::SUCCESS);
        EXPECT_GT(unit.size, 0u) << "zero-latency encoding holds no frame back";
        if (unit.size == 0) continue;
        stream.frame_sizes.push_back(unit.size);
        if (unit.key) {
            ++stream.key_frames;
            if (HasSps(unit.data, unit.size)) ++stream.key_frames_with_sps;
        }
        EXPECT_EQ(muxer->WriteFrame(unit.data, unit.size, unit.pts, unit.dts, unit.key),
                  Status::SUCCESS);
    }
    muxer->Close();
    return stream;
}

TEST(EncoderCore, MuxesADecodableH264StreamInWholeTsPackets) {
    const H264Settings settings{320, 240, 15, 600};
    const Stream stream = EncodePattern(settings, 40);

    // Key frame each second, each with its SPS for a receiver that joins late.
    EXPECT_EQ(stream.key_frames, 3);
    EXPECT_EQ(stream.key_frames_with_sps, 3);
    ASSERT_FALSE(stream.chunk_sizes.empty());
    for (size_t size : stream.chunk_sizes) {
        EXPECT_EQ(size % TsMuxer::TS_PACKET_SIZE, 0u);
        EXPECT_LE(size, TsMuxer::IO_BUFFER_SIZE);
    }
    for (size_t at = 0; at < stream.bytes.size(); at += TsMuxer::TS_PACKET_SIZE)
        ASSERT_EQ(stream.bytes[at], 0x47) << "at byte " << at;

    TempDir dir("encode-core");
    const std::string path = dir.Path() + "/pattern.ts";
    WriteFile(path, stream.bytes);
    EXPECT_EQ(ProbeStreams(path), std::vector<std::string>{"0,h264,video,320,240"});
    const ToolResult decode = RunTool({"ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"});
    EXPECT_EQ(decode.status, 0);
    EXPECT_EQ(decode.err, "") << "the decoder complained";
}

TEST(EncoderCore, KeepsEveryFrameNearTheMeanSize) {
    // The sender paces at the stream rate; a frame far above the mean would wait behind itself.
    const H264Settings settings{1280, 720, 30, 4000};
    const Stream stream = EncodePattern(settings, 65);
    const size_t budget = static_cast<size_t>(settings.bitrate_kbps) * 1000 / 8 / settings.fps;
    for (size_t i = 0; i < stream.frame_sizes.size(); ++i)
        EXPECT_LE(stream.frame_sizes[i], 2 * budget) << "frame " << i;
}

TEST(EncoderCore, RefusesSettingsItCannotEncodeAndSaysWhy) {
    LogCapture log;
    const auto made = CreateH264Encoder();
    ASSERT_TRUE(made) << "the codec module did not load";
    H264Encoder& encoder = *made;
    EXPECT_EQ(encoder.Open({1281, 720, 30, 4000}), Status::FAILURE_INVALID);
    EXPECT_EQ(encoder.Open({1280, 0, 30, 4000}), Status::FAILURE_INVALID);
    EXPECT_EQ(encoder.Open({1280, 720, 0, 4000}), Status::FAILURE_INVALID);
    EXPECT_EQ(encoder.Open({1280, 720, 30, 0}), Status::FAILURE_INVALID);
    EXPECT_FALSE(encoder.IsOpen());
    EXPECT_EQ(log.Matching("frame size 1281x720").size(), 1u);
    EXPECT_EQ(log.Matching("frame rate 0").size(), 1u);
    EXPECT_EQ(log.Matching("bit rate 0").size(), 1u);
    EncodedAccessUnit unit;
    EXPECT_EQ(encoder.Encode({nullptr, 0, nullptr, 0}, 0, unit), Status::FAILURE_INVALID_STATE);
}

TEST(TestPatternPicture, MovesAndCountsFrames) {
    TestPattern a(64, 48);
    TestPattern b(64, 48);
    const size_t size = 64 * 48 * 3 / 2;
    a.Draw(7);
    b.Draw(7);
    EXPECT_EQ(std::vector<uint8_t>(a.Y(), a.Y() + size), std::vector<uint8_t>(b.Y(), b.Y() + size));
    b.Draw(8);
    EXPECT_NE(std::vector<uint8_t>(a.Y(), a.Y() + size), std::vector<uint8_t>(b.Y(), b.Y() + size));
    // Inside the counter plate only the digits change from frame to frame.
    TestPattern c(1280, 720);
    TestPattern d(1280, 720);
    c.Draw(1);
    d.Draw(2);
    int counter_differs = 0;
    for (int row = 8; row < 80; ++row)
        for (int col = 0; col < 400; ++col)
            counter_differs += c.Y()[row * 1280 + col] != d.Y()[row * 1280 + col];
    EXPECT_GT(counter_differs, 0);
}

class FrameReaderTest : public ::testing::Test {
protected:
    static constexpr int WIDTH = 16;
    static constexpr int HEIGHT = 8;
    static constexpr size_t FRAME = WIDTH * HEIGHT * 3 / 2;
    std::vector<uint8_t> Frames(size_t count_halves) {
        std::vector<uint8_t> bytes(FRAME * count_halves / 2);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i / FRAME + 1);
        return bytes;
    }
    TempDir m_dir{"frame-reader"};
};

TEST_F(FrameReaderTest, LoopsAFileAndSkipsAPartialTail) {
    LogCapture log;
    const std::string path = m_dir.Path() + "/frames.nv12";
    WriteFile(path, Frames(5));  // two and a half frames
    Nv12FrameReader reader;
    ASSERT_EQ(reader.Open(path, WIDTH, HEIGHT), Status::SUCCESS);
    EXPECT_FALSE(reader.IsFifo());
    EXPECT_EQ(log.Matching("not a whole number").size(), 1u);
    for (int expected : {1, 2, 1, 2, 1}) {
        ASSERT_EQ(reader.Read(), Nv12FrameReader::Result::FRAME);
        EXPECT_EQ(reader.Frame()[0], expected);
        EXPECT_EQ(reader.Frame()[FRAME - 1], expected);
    }
}

TEST_F(FrameReaderTest, RefusesMissingAndTooShortInputs) {
    LogCapture log;
    Nv12FrameReader reader;
    EXPECT_EQ(reader.Open(m_dir.Path() + "/missing", WIDTH, HEIGHT), Status::FAILURE_SYSCALL);
    EXPECT_EQ(log.Matching("No such file or directory").size(), 1u);
    const std::string path = m_dir.Path() + "/short.nv12";
    WriteFile(path, Frames(1));
    EXPECT_EQ(reader.Open(path, WIDTH, HEIGHT), Status::FAILURE_INVALID);
    EXPECT_EQ(log.Matching("less than one 16x8 frame").size(), 1u);
    EXPECT_EQ(reader.Read(), Nv12FrameReader::Result::END);
}

TEST_F(FrameReaderTest, ReadsAFifoAsItsWriterDelivers) {
    const std::string path = m_dir.Path() + "/frames.fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    Nv12FrameReader reader;
    ASSERT_EQ(reader.Open(path, WIDTH, HEIGHT), Status::SUCCESS);
    EXPECT_TRUE(reader.IsFifo());
    const int writer = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(reader.Read(), Nv12FrameReader::Result::PARTIAL);
    const std::vector<uint8_t> bytes = Frames(3);
    ASSERT_EQ(write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(reader.Read(), Nv12FrameReader::Result::FRAME);
    EXPECT_EQ(reader.Frame()[FRAME - 1], 1);
    EXPECT_EQ(reader.Read(), Nv12FrameReader::Result::PARTIAL);
    ASSERT_EQ(write(writer, bytes.data(), FRAME / 2), static_cast<ssize_t>(FRAME / 2));
    ASSERT_EQ(reader.Read(), Nv12FrameReader::Result::FRAME);
    EXPECT_EQ(reader.Frame()[0], 2);
    EXPECT_EQ(reader.Frame()[FRAME - 1], 1);
    close(writer);
    EXPECT_EQ(reader.Read(), Nv12FrameReader::Result::END);
}

}  // namespace
