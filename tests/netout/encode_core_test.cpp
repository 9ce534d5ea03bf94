// The encoder's building blocks: test pattern, raw frame input, captured
// formats, the no-signal picture, x264 and the TS muxer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <linux/videodev2.h>

#include "capture_format.h"
#include "codec_module.h"
#include "edid.h"
#include "guarded_memory.h"
#include "log_capture.h"
#include "no_signal_picture.h"
#include "nv12_image.h"
#include "parameter_sets.h"
#include "nv12_frame_reader.h"
#include "test_pattern.h"
#include "tool_runner.h"
#include "v4l2_node.h"

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

// Below a kilobit a frame (100 kbit/s at 120 fps) the rate cap still holds.
TEST(EncoderCore, HoldsTheRateCapAtLessThanAKilobitAFrame) {
    const H264Settings settings{320, 240, 120, 100};
    const Stream stream = EncodePattern(settings, 240);
    size_t total = 0;
    for (size_t size : stream.frame_sizes) total += size;
    EXPECT_LE(total * 8, static_cast<size_t>(settings.bitrate_kbps) * 1000 * 2) << "bytes in 2 s";
}

// What libavformat and libx264 say reaches the framework's logger, once for a
// line that repeats: a muxer fed time stamps that go back, and a VBV too small
// for a key frame.
TEST(EncoderCore, TheLibrariesLogThroughTheLogger) {
    LogCapture log;
    const auto muxer = CreateTsMuxer();
    ASSERT_TRUE(muxer) << "the codec module did not load";
    ASSERT_EQ(muxer->Open(64, 32, 25, [](const uint8_t*, size_t) {}), Status::SUCCESS);
    const uint8_t unit[] = {0, 0, 0, 1, 0x09, 0xF0};
    ASSERT_EQ(muxer->WriteFrame(unit, sizeof(unit), 90000, 90000, false), Status::SUCCESS);
    for (int i = 0; i < 5; ++i) EXPECT_NE(muxer->WriteFrame(unit, sizeof(unit), 900, 900, false), Status::SUCCESS);
    const auto dts = log.Matching("non monotonically increasing dts");
    ASSERT_EQ(dts.size(), 1u) << "once, the repeats counted";
    EXPECT_EQ(dts[0].text.rfind("libav: [mpegts @", 0), 0u) << dts[0].text;
    EXPECT_EQ(log.Matching("TS muxer: writing a frame failed").size(), 1u);

    EncodePattern({320, 240, 120, 100}, 5);
    const auto underflow = log.Matching("x264: VBV underflow");
    ASSERT_FALSE(underflow.empty());
    EXPECT_EQ(underflow[0].level, Log::Level::WARN);
}

// The parameter sets come before every IDR however a driver gives them: with
// each IDR (libx264), once with the first, or once on their own before it.
TEST(EncoderCore, ParameterSetsGoBeforeEveryIdrThatLacksThem) {
    const H264Settings settings{160, 96, 10, 200};
    std::vector<std::vector<uint8_t>> units;
    {
        const auto encoder = CreateH264Encoder();
        ASSERT_TRUE(encoder) << "the codec module did not load";
        ASSERT_EQ(encoder->Open(settings), Status::SUCCESS);
        TestPattern pattern(settings.width, settings.height);
        for (int i = 0; i < 25; ++i) {
            pattern.Draw(static_cast<uint32_t>(i));
            EncodedAccessUnit unit;
            ASSERT_EQ(encoder->Encode({pattern.Y(), pattern.Stride(), pattern.UV(), pattern.Stride()},
                                      i * 9000, unit),
                      Status::SUCCESS);
            units.emplace_back(unit.data, unit.data + unit.size);
        }
    }
    // A unit's NAL units (type, bytes with their start code), and back.
    using Nal = std::pair<int, std::vector<uint8_t>>;
    const auto split = [](const std::vector<uint8_t>& unit) {
        std::vector<Nal> nals;
        for (size_t i = 0; i + 3 < unit.size(); ++i)
            if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) {
                const size_t begin = i > 0 && unit[i - 1] == 0 ? i - 1 : i;
                if (!nals.empty()) nals.back().second.resize(begin - (unit.size() - nals.back().second.size()));
                nals.push_back({unit[i + 3] & 0x1F, std::vector<uint8_t>(unit.begin() + begin, unit.end())});
                i += 2;
            }
        return nals;
    };
    const auto join = [](const std::vector<Nal>& nals, bool sets) {
        std::vector<uint8_t> unit;
        for (const Nal& nal : nals)
            if (sets == (nal.first == 7 || nal.first == 8)) unit.insert(unit.end(), nal.second.begin(), nal.second.end());
        return unit;
    };
    int idrs = 0;
    for (const auto& unit : units) idrs += split(unit).size() > 2 && split(unit)[2].first == 8;
    ASSERT_EQ(idrs, 3) << "libx264 gives its sets with each IDR";

    enum class Headers { WITH_EACH_IDR, WITH_THE_FIRST, ON_THEIR_OWN };
    for (Headers headers : {Headers::WITH_EACH_IDR, Headers::WITH_THE_FIRST, Headers::ON_THEIR_OWN}) {
        std::vector<std::vector<uint8_t>> given;
        for (size_t i = 0; i < units.size(); ++i) {
            const std::vector<Nal> nals = split(units[i]);
            if (headers == Headers::ON_THEIR_OWN && i == 0) given.push_back(join(nals, true));
            const bool keep = headers == Headers::WITH_EACH_IDR || (headers == Headers::WITH_THE_FIRST && i == 0);
            std::vector<uint8_t> unit = join(nals, false);
            if (keep) unit = units[i];
            given.push_back(unit);
        }
        ParameterSets sets;
        std::vector<std::vector<uint8_t>> out;
        for (const auto& unit : given) {
            const ParameterSets::Unit applied = sets.Apply(unit.data(), unit.size());
            if (applied.size > 0) out.emplace_back(applied.data, applied.data + applied.size);
        }
        EXPECT_EQ(out, units) << "headers given " << static_cast<int>(headers);
    }
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

// A captured frame of each format the encoder takes, with padded lines, comes
// out as the NV12 picture it was laid out from; a buffer one byte short is
// refused without a read past its end.
struct CapturedFormat {
    const char* name;
    uint32_t fourcc;
    uint32_t padding;  // bytes past each line's pixels
};

void PrintTo(const CapturedFormat& row, std::ostream* out) { *out << row.name; }

class CapturedFormats : public ::testing::TestWithParam<CapturedFormat> {};

TEST_P(CapturedFormats, ConvertToTheNv12TheyWereLaidOutFrom) {
    const CapturedFormat& row = GetParam();
    constexpr int W = 36, H = 10;  // a width no SIMD block divides
    // Chroma alike on both rows of a pair, so 4:2:2 to 4:2:0 loses nothing.
    std::vector<uint8_t> y(W * H), u(W / 2 * H / 2), v(W / 2 * H / 2);
    for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<uint8_t>(16 + i * 7 % 220);
    for (size_t i = 0; i < u.size(); ++i) u[i] = static_cast<uint8_t>(30 + i * 11 % 200), v[i] = static_cast<uint8_t>(220 - i * 5 % 190);

    const bool packed = row.fourcc == V4L2_PIX_FMT_YUYV || row.fourcc == V4L2_PIX_FMT_UYVY;
    const capture_format::Layout layout{row.fourcc, W, H, (packed ? 2 * W : W) + row.padding};
    const size_t bytes = capture_format::FrameBytes(layout);
    ASSERT_GT(bytes, 0u);
    std::vector<uint8_t> frame(bytes, 0xEE);
    const size_t line = layout.bytes_per_line;
    const size_t chroma_line = line / 2;  // of a planar format's chroma planes
    uint8_t* second = frame.data() + line * H;
    for (int r = 0; r < H; ++r)
        for (int x = 0; x < W; ++x) {
            const uint8_t luma = y[r * W + x];
            const size_t c = static_cast<size_t>(r / 2) * (W / 2) + x / 2;
            switch (row.fourcc) {
            case V4L2_PIX_FMT_YUYV:
                frame[r * line + 2 * x] = luma;
                frame[r * line + 2 * x + 1] = x % 2 == 0 ? u[c] : v[c];
                break;
            case V4L2_PIX_FMT_UYVY:
                frame[r * line + 2 * x + 1] = luma;
                frame[r * line + 2 * x] = x % 2 == 0 ? u[c] : v[c];
                break;
            default:
                frame[r * line + x] = luma;
                if (r % 2 != 0 || x % 2 != 0) break;
                if (row.fourcc == V4L2_PIX_FMT_NV12 || row.fourcc == V4L2_PIX_FMT_NV21) {
                    const bool nv12 = row.fourcc == V4L2_PIX_FMT_NV12;
                    second[r / 2 * line + x] = nv12 ? u[c] : v[c];
                    second[r / 2 * line + x + 1] = nv12 ? v[c] : u[c];
                } else {
                    const bool yu12 = row.fourcc == V4L2_PIX_FMT_YUV420;
                    uint8_t* first_chroma = second + r / 2 * chroma_line + x / 2;
                    uint8_t* second_chroma = first_chroma + chroma_line * H / 2;
                    *first_chroma = yu12 ? u[c] : v[c];
                    *second_chroma = yu12 ? v[c] : u[c];
                }
            }
        }

    GuardedMemory source(bytes);
    GuardedMemory target(W * H * 3 / 2);
    ASSERT_TRUE(source.Data() && target.Data());
    std::memcpy(source.Data(), frame.data(), bytes);
    const capture_format::Nv12Target nv12{target.Data(), W, target.Data() + W * H, W};
    std::memset(target.Data(), 0, W * H * 3 / 2);
    EXPECT_FALSE(capture_format::ToNv12(layout, source.Data() + 1, bytes - 1, nv12)) << "a short buffer";
    ASSERT_TRUE(capture_format::ToNv12(layout, source.Data(), bytes, nv12));
    EXPECT_EQ(std::vector<uint8_t>(target.Data(), target.Data() + W * H), y);
    std::vector<uint8_t> uv;
    for (size_t i = 0; i < u.size(); ++i) uv.push_back(u[i]), uv.push_back(v[i]);
    EXPECT_EQ(std::vector<uint8_t>(target.Data() + W * H, target.Data() + W * H * 3 / 2), uv);
}

INSTANTIATE_TEST_SUITE_P(Taken, CapturedFormats,
                         ::testing::Values(CapturedFormat{"NV12", V4L2_PIX_FMT_NV12, 28},
                                           CapturedFormat{"NV21", V4L2_PIX_FMT_NV21, 0},
                                           CapturedFormat{"YUYV", V4L2_PIX_FMT_YUYV, 0},
                                           CapturedFormat{"UYVY", V4L2_PIX_FMT_UYVY, 56},
                                           CapturedFormat{"YU12", V4L2_PIX_FMT_YUV420, 0},
                                           CapturedFormat{"YV12", V4L2_PIX_FMT_YVU420, 12}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CapturedFormatLayouts, ThoseItCannotReadAreRefused) {
    const std::vector<capture_format::Layout> refused = {
        {V4L2_PIX_FMT_YUYV, 64, 48, 100},   // lines shorter than two bytes a pixel
        {V4L2_PIX_FMT_NV12, 63, 48, 64},    // odd width
        {V4L2_PIX_FMT_NV12, 64, 0, 64},     // no lines
        {V4L2_PIX_FMT_YUV420, 64, 48, 65},  // chroma lines of half a byte
        {V4L2_PIX_FMT_H264, 64, 48, 64},    // compressed, and no JPEG
    };
    for (const auto& layout : refused) {
        EXPECT_EQ(capture_format::FrameBytes(layout), 0u) << FourccName(layout.fourcc) << " "
                                                          << layout.width << "x" << layout.height;
        std::vector<uint8_t> frame(1 << 16), out(64 * 48 * 3 / 2);
        EXPECT_FALSE(capture_format::ToNv12(layout, frame.data(), frame.size(),
                                            {out.data(), 64, out.data() + 64 * 48, 64}));
    }
    EXPECT_EQ(FourccNames({V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_H264}), "MJPG, H264");
}

// MJPG frames as USB grabbers send them (4:2:0 and 4:2:2, with restart
// markers) decode to their source picture; frames cut short, damaged, of
// another size or in a layout libyuv does not decode are refused. Each lies
// in a buffer of its own size: AddressSanitizer sees a read past its end.
TEST(CapturedMjpg, DecodesWholeFramesAndRefusesTheRest) {
    constexpr int W = 320, H = 240;
    TempDir dir("mjpg");
    const std::string& d = dir.Path();
    const auto run = [](std::vector<std::string> argv) {
        const ToolResult result = RunTool(argv);
        EXPECT_EQ(result.status, 0) << argv[0] << ": " << result.err;
        return std::vector<uint8_t>(result.out.begin(), result.out.end());
    };
    // ffmpeg's test picture in `size`, out as the arguments after it say.
    const auto made = [&](std::vector<std::string> tail, const char* size = "320x240") {
        std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                                         std::string("testsrc=size=") + size, "-frames:v", "1"};
        argv.insert(argv.end(), tail.begin(), tail.end());
        return run(argv);
    };
    // The source as full-range 4:2:0, as the JPEGs hold it, and as a PPM for cjpeg.
    const std::vector<uint8_t> yuv = made({"-pix_fmt", "yuvj420p", "-f", "rawvideo", "-"});
    made({"-y", d + "/source.ppm"});
    const auto jpeg = [](const char* sampling) {
        return std::vector<std::string>{"-pix_fmt", sampling, "-c:v", "mjpeg", "-f", "image2pipe", "-"};
    };
    struct Frame {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const std::vector<Frame> whole = {
        {"ffmpeg 4:2:0", made(jpeg("yuvj420p"))},
        {"cjpeg 4:2:2, restart every 2 rows", run({"cjpeg", "-sample", "2x1", "-restart", "2", d + "/source.ppm"})},
        {"cjpeg 4:2:0, restart every row", run({"cjpeg", "-sample", "2x2", "-restart", "1", d + "/source.ppm"})},
    };
    ASSERT_EQ(yuv.size(), static_cast<size_t>(W * H * 3 / 2));
    const capture_format::Layout layout{V4L2_PIX_FMT_MJPEG, W, H, W, 0};
    const std::vector<uint8_t> y(yuv.begin(), yuv.begin() + W * H);
    std::vector<uint8_t> uv(W * H / 2);  // the source's chroma interleaved, as NV12 has it
    for (size_t i = 0; i < uv.size() / 2; ++i)
        uv[2 * i] = yuv[W * H + i], uv[2 * i + 1] = yuv[W * H * 5 / 4 + i];
    std::vector<uint8_t> out(W * H * 3 / 2);
    const capture_format::Nv12Target target{out.data(), W, out.data() + W * H, W};
    for (const Frame& frame : whole) {
        const std::vector<uint8_t> exact(frame.bytes);
        ASSERT_TRUE(capture_format::ToNv12(layout, exact.data(), exact.size(), target)) << frame.name;
        EXPECT_GT(Psnr({out.begin(), out.begin() + W * H}, y), 30) << frame.name << ": luma";
        EXPECT_GT(Psnr({out.begin() + W * H, out.end()}, uv), 30) << frame.name << ": chroma";
    }
    const std::vector<uint8_t>& good = whole[0].bytes;
    std::vector<uint8_t> no_start = good;
    no_start[1] = 0;
    std::vector<uint8_t> padded = good;  // a driver's zeros after the end marker are no fault
    padded.resize(good.size() + 100, 0);
    const std::vector<Frame> refused = {
        {"empty", {}},
        {"cut in half", std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2)},
        {"without its end marker", std::vector<uint8_t>(good.begin(), good.end() - 2)},
        {"without its start marker", no_start},
        {"of another size", made(jpeg("yuvj420p"), "160x120")},
        // ffmpeg's 4:2:2 doubles the luma's vertical sampling too, which libyuv does not decode.
        {"ffmpeg 4:2:2", made(jpeg("yuvj422p"))},
    };
    for (const Frame& frame : refused) {
        const std::vector<uint8_t> exact(frame.bytes);
        EXPECT_FALSE(capture_format::ToNv12(layout, exact.data(), exact.size(), target)) << frame.name;
    }
    EXPECT_TRUE(capture_format::ToNv12(layout, padded.data(), padded.size(), target));
}

// The EDID written to an HDMI input that has none: sound, and listing the modes the encoder takes.
TEST(Edid, TheBuiltInOnePassesItsChecksAndListsTheModes) {
    const std::vector<uint8_t>& built_in = edid::BuiltIn();
    EXPECT_EQ(edid::Check(built_in), "");
    EXPECT_EQ(edid::Describe(built_in), "2 blocks, preferred mode 1920x1080 at 60.00 Hz, 12 CEA modes");
    const std::vector<uint8_t> codes = edid::VideoCodes(built_in);
    // 1080p at 60, 50, 30, 25, 24 Hz; 720p at 60, 50 Hz; 576p; 480p.
    for (uint8_t code : {16, 31, 34, 33, 32, 4, 19, 18, 3})
        EXPECT_NE(std::find(codes.begin(), codes.end(), code), codes.end()) << "no VIC " << int(code);
    // What a source makes of it: edid-decode's conformity checks, with no warning.
    TempDir dir("edid-built-in");
    WriteFile(dir.Path() + "/edid", built_in);
    const ToolResult decoded = RunTool({"edid-decode", "--check", dir.Path() + "/edid"});
    EXPECT_NE(decoded.out.find("EDID conformity: PASS"), std::string::npos) << decoded.out;
    EXPECT_EQ(decoded.out.find("Warnings:"), std::string::npos) << decoded.out;
}

// A file that is no EDID is refused with why, never written to the receiver.
TEST(Edid, FilesThatAreNoEdidAreRefusedWithTheirReason) {
    TempDir temp("edid-files");
    const std::string& dir = temp.Path();
    const std::vector<uint8_t>& good = edid::BuiltIn();
    std::vector<uint8_t> bad_checksum = good, bad_header = good, bad_count = good;
    bad_checksum[200] ^= 1;
    bad_header[0] = 1;
    bad_count[126] = 3, bad_count[127] -= 2;
    struct File {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* why;
    };
    const std::vector<File> files = {
        {"empty", {}, "it is empty"},
        {"short", std::vector<uint8_t>(good.begin(), good.begin() + 200), "200 bytes, not a whole number of 128-byte blocks"},
        {"header", bad_header, "it does not start with the EDID header"},
        {"checksum", bad_checksum, "block 1 has a bad checksum"},
        {"count", bad_count, "its base block says 3 extension blocks, 1 follow it"},
        {"long", std::vector<uint8_t>(257 * 128, 0), "longer than the 256 blocks an EDID holds"},
    };
    for (const File& file : files) {
        WriteFile(dir + "/" + file.name, file.bytes);
        std::vector<uint8_t> bytes{1};
        std::string why;
        EXPECT_FALSE(edid::Load(dir + "/" + file.name, bytes, why)) << file.name;
        EXPECT_EQ(why, file.why) << file.name;
        EXPECT_TRUE(bytes.empty()) << file.name;
    }
    std::vector<uint8_t> bytes;
    std::string why;
    EXPECT_FALSE(edid::Load(dir + "/none", bytes, why));
    EXPECT_EQ(why, "cannot open it: (2) No such file or directory");
    EXPECT_FALSE(edid::Load(dir, bytes, why));
    EXPECT_EQ(why, "not a regular file");
    WriteFile(dir + "/good", good);
    EXPECT_TRUE(edid::Load(dir + "/good", bytes, why)) << why;
    EXPECT_EQ(bytes, good);
}

// The stream's headers say each source's colours: a player shows a full-range
// source at its levels and a BT.601 one with its own matrix.
TEST(EncoderCore, TheStreamSaysItsColours) {
    struct Row {
        ColorSpace space;
        const char* range_and_matrix;  // as ffprobe names them
    };
    const std::vector<Row> rows = {
        {CS_YCBCR601_LIMITED, "tv,smpte170m"}, {CS_YCBCR601_FULL, "pc,smpte170m"},
        {CS_YCBCR709_LIMITED, "tv,bt709"},     {CS_YCBCR709_FULL, "pc,bt709"},
        {CS_YCBCR2020_LIMITED, "tv,bt2020nc"},
    };
    TempDir dir("encode-colours");
    for (const Row& row : rows) {
        H264Settings settings{160, 96, 25, 200};
        settings.color_space = row.space;
        const std::string path = dir.Path() + "/colours.ts";
        WriteFile(path, EncodePattern(settings, 10).bytes);
        const ToolResult probe = RunTool({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                          "stream=color_range,color_space", "-of", "csv=p=0", path});
        EXPECT_EQ(probe.out.substr(0, probe.out.find('\n')), row.range_and_matrix) << capture_format::Describe(row.space);
    }
}

// What the driver reports, with its defaults, as the stream's colours.
TEST(CapturedColours, FollowWhatTheDriverReports) {
    struct Row {
        uint32_t colorspace, ycbcr_enc, quantization;
        ColorSpace expected;
    };
    const std::vector<Row> rows = {
        {V4L2_COLORSPACE_REC709, 0, 0, CS_YCBCR709_LIMITED},      // HDMI 720p and up
        {V4L2_COLORSPACE_SMPTE170M, 0, 0, CS_YCBCR601_LIMITED},   // SD
        {V4L2_COLORSPACE_SRGB, 0, 0, CS_YCBCR601_LIMITED},        // VGA and other IT timings
        {V4L2_COLORSPACE_JPEG, 0, 0, CS_YCBCR601_FULL},           // webcams
        {V4L2_COLORSPACE_REC709, V4L2_YCBCR_ENC_709, V4L2_QUANTIZATION_FULL_RANGE, CS_YCBCR709_FULL},
        {V4L2_COLORSPACE_SRGB, V4L2_YCBCR_ENC_709, 0, CS_YCBCR709_LIMITED},
        {V4L2_COLORSPACE_BT2020, 0, 0, CS_YCBCR2020_LIMITED},
        {V4L2_COLORSPACE_DEFAULT, 0, 0, CS_UNKNOWN},               // the driver says nothing
    };
    for (const Row& row : rows)
        EXPECT_EQ(capture_format::FromV4l2(row.colorspace, row.ycbcr_enc, row.quantization), row.expected)
            << row.colorspace << " " << row.ycbcr_enc << " " << row.quantization;
}

// The no-signal picture fills the whole stream picture, never more, and says
// its reason in as many letters as the reason has.
TEST(NoSignalPicture, SaysWhyInLettersAndStaysInsideThePicture) {
    struct Row {
        PictureLoss why;
        size_t letters;
        int width, height;
        bool full_range;
    };
    const std::vector<Row> rows = {
        {PictureLoss::NO_SIGNAL, 8, 1280, 720, false}, {PictureLoss::NO_LOCK, 6, 320, 240, false},
        {PictureLoss::OUT_OF_RANGE, 10, 320, 240, true}, {PictureLoss::DEVICE_GONE, 10, 176, 100, false},
        {PictureLoss::OUT_OF_RANGE, 10, 64, 32, false},  // too narrow for all of it: cut, not overrun
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(PictureLossText(row.why) + std::string(" at ") + std::to_string(row.width));
        const int stride = row.width + 16;  // padding past each line that must stay as it is
        const size_t luma = static_cast<size_t>(stride) * row.height;
        GuardedMemory memory(luma * 3 / 2);
        ASSERT_TRUE(memory.Data());
        std::memset(memory.Data(), 0x5A, luma * 3 / 2);
        DrawNoSignalPicture(row.why, row.full_range, memory.Data(), stride, memory.Data() + luma, stride,
                            row.width, row.height);
        const uint8_t* y = memory.Data();
        const uint8_t ink = row.full_range ? 255 : 235;
        std::vector<bool> inked(row.width, false);
        int top = row.height, bottom = -1;
        for (int r = 0; r < row.height; ++r) {
            for (int x = 0; x < row.width; ++x)
                if (y[r * stride + x] == ink) inked[x] = true, top = std::min(top, r), bottom = std::max(bottom, r);
            for (int x = row.width; x < stride; ++x) ASSERT_EQ(y[r * stride + x], 0x5A) << "row " << r;
        }
        for (int r = 0; r < row.height / 2; ++r)
            for (int x = row.width; x < stride; ++x) ASSERT_EQ(y[luma + r * stride + x], 0x5A);
        size_t letters = 0;
        for (int x = 0; x < row.width; ++x) letters += inked[x] && (x == 0 || !inked[x - 1]);
        if (row.width >= 176) {
            EXPECT_EQ(letters, row.letters);
            EXPECT_LT(std::abs((top + bottom) / 2 - row.height / 2), row.height / 10) << "centred";
        } else {
            EXPECT_GT(letters, 0u);
        }
        EXPECT_EQ(y[0], row.full_range ? 27 : 40) << "background at the stream's levels";
        // A dark slate blue: U above V, never the other way round.
        EXPECT_EQ(y[luma], row.full_range ? 153 : 150) << "the background's U";
        EXPECT_EQ(y[luma + 1], row.full_range ? 117 : 118) << "the background's V";
    }
}

}  // namespace
