// EncodeQualcomm as a component: its settings, its inputs and its pacing by the loop.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <linux/videodev2.h>

#include "encode_qualcomm.h"
#include "encoder_nodes.h"
#include "log_capture.h"
#include "options.h"
#include "tool_runner.h"

namespace {

using Clock = std::chrono::steady_clock;

class EncodeQualcommTest : public ::testing::Test {
protected:
    void SetUp() override {
        Options::GetOptions().Clear();
        m_encoder = std::make_shared<EncodeQualcomm>("enc7");
        auto output = m_encoder->GetOutput("high_res");
        ASSERT_TRUE(output);
        m_subscription = output->Subscribe([this](const MediaChunk& chunk) { m_chunks.push_back(chunk); });
    }
    void Set(const std::string& setting, const std::string& value) {
        Options::GetOptions().Set("enc7." + setting, value);
    }
    // One cycle of the program's loop.
    void Cycle(std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
        IOEventData data;
        m_encoder->SetupIOEvents(data);
        timeval timeout = data.GetTimeout();
        const int result = select(data.GetFdMax() + 1, data.GetFdsRead(), data.GetFdsWrite(),
                                  data.GetFdsError(), data.HasTimeout() ? &timeout : nullptr);
        ASSERT_GE(result, 0);
        if (result == 0) data.HandleTimeout();
        else m_encoder->HandleIOEvents(data);
        std::this_thread::sleep_for(pause);
    }
    std::shared_ptr<EncodeQualcomm> m_encoder;
    uint64_t m_subscription = 0;
    std::vector<MediaChunk> m_chunks;
};

TEST_F(EncodeQualcommTest, RefusesSettingsItCannotUseAndSaysWhy) {
    struct Row {
        std::string setting, value;
        Status status;
        std::string reason;  // the one line that says why
    };
    const std::vector<Row> rows = {
        {"width", "1279", Status::FAILURE_INVALID, "frame size 1279x720"},
        {"height", "100000", Status::FAILURE_INVALID, "frame size 1280x100000"},
        {"fps", "0", Status::FAILURE_INVALID, "frame rate 0"},
        {"bitrate", "1000", Status::FAILURE_INVALID, "bit rate 1000 "},
        {"input", "/nonexistent/frames.nv12", Status::FAILURE_SYSCALL,
         "/nonexistent/frames.nv12: No such file or directory"},
        // A character device that is no capture device, and a folder.
        {"input", "/dev/null", Status::FAILURE_INVALID,
         "enc7: /dev/null: not a V4L2 device (VIDIOC_QUERYCAP: "},
        {"input", "/tmp", Status::FAILURE_INVALID,
         "enc7: /tmp is neither a capture device, a FIFO nor a file of raw NV12 frames"},
        {"input_index", "300", Status::FAILURE_INVALID, "input index 300 is outside 0..255"},
        {"encoder", "x265", Status::FAILURE_INVALID,
         "enc7: encoder \"x265\" is none of auto, x264 or a device path"},
        {"encoder", "/nonexistent/video9", Status::FAILURE_SYSCALL,
         "enc7: /nonexistent/video9: cannot open it: (2) No such file or directory"},
        {"encoder", "/dev/null", Status::FAILURE_INVALID, "enc7: /dev/null: not a V4L2 device (VIDIOC_QUERYCAP: "},
    };
    for (const Row& row : rows) {
        LogCapture log(Log::Level::INFO);
        Options::GetOptions().Clear();
        Set(row.setting, row.value);
        EXPECT_EQ(m_encoder->SetEnabled(true), row.status) << row.setting << "=" << row.value;
        EXPECT_FALSE(m_encoder->IsEnabled());
        EXPECT_EQ(log.Matching(row.reason).size(), 1u) << row.reason;
        EXPECT_EQ(log.Matching("enc7: not enabled").size(), 1u);
        EXPECT_EQ(log.Records().size(), 2u) << "one line for why, one for the encoder";
    }
    EXPECT_TRUE(m_chunks.empty());
}

// Without a board's encoder, auto is libx264; with one, the first.
TEST_F(EncodeQualcommTest, TheStartLineSaysWhichEncoderAutoChose) {
    Set("width", "160");
    Set("height", "96");
    std::vector<PassedOver> passed_over;
    const std::string board = FindEncoderNode(V4L2_PIX_FMT_H264, passed_over);
    LogCapture log(Log::Level::INFO);
    ASSERT_EQ(m_encoder->SetEnabled(true), Status::SUCCESS);
    EXPECT_EQ(log.Matching(", from the test pattern, encoded by " + (board.empty() ? "libx264" : board)).size(), 1u);
}

TEST_F(EncodeQualcommTest, TheLoopPacesOneFramePerSlot) {
    Set("width", "160");
    Set("height", "96");
    Set("fps", "20");
    Set("bitrate", "200000");
    const auto before_enable = Clock::now();
    ASSERT_EQ(m_encoder->SetEnabled(true), Status::SUCCESS);
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::milliseconds(500)) Cycle();
    const auto elapsed = Clock::now() - before_enable;
    // A slot every 50 ms from enable; a busy machine may make the loop miss some,
    // which are then counted, never made up.
    const uint64_t slots = m_chunks.size() + m_encoder->GetCounters().skipped;
    EXPECT_GE(slots, 10u);
    EXPECT_LE(slots, uint64_t(elapsed / std::chrono::milliseconds(50)) + 1);
    ASSERT_GE(m_chunks.size(), 5u);
    for (size_t i = 0; i < m_chunks.size(); ++i) {
        const MediaChunk& chunk = m_chunks[i];
        EXPECT_EQ(chunk.frame_number, i);
        EXPECT_TRUE(chunk.last_of_frame);
        EXPECT_EQ(chunk.frame_interval, std::chrono::microseconds(50000));
        EXPECT_EQ(chunk.bit_rate, 200000);
        ASSERT_TRUE(chunk.bytes);
        ASSERT_EQ(chunk.bytes->size() % 188, 0u);
        for (size_t at = 0; at < chunk.bytes->size(); at += 188) ASSERT_EQ((*chunk.bytes)[at], 0x47);
        // Never ahead of its slot: frame i belongs to slot i or a later one.
        EXPECT_GE(chunk.created - before_enable, std::chrono::milliseconds(50 * i)) << "frame " << i;
    }
}

TEST_F(EncodeQualcommTest, ALateLoopSkipsSlotsInsteadOfBursting) {
    Set("width", "160");
    Set("height", "96");
    Set("fps", "50");
    Set("bitrate", "200000");
    ASSERT_EQ(m_encoder->SetEnabled(true), Status::SUCCESS);
    for (int i = 0; i < 4; ++i) Cycle(std::chrono::milliseconds(100));
    // Each late cycle makes one frame, never the five it missed.
    EXPECT_EQ(m_chunks.size(), 4u);
    EXPECT_GE(m_encoder->GetCounters().skipped, 12u);
    ASSERT_EQ(m_encoder->SetEnabled(false), Status::SUCCESS);
    EXPECT_EQ(m_encoder->GetCounters().frames, 4u) << "counters outlive the enabled period";
}

TEST_F(EncodeQualcommTest, EncodesFramesAsAFifoDeliversThem) {
    TempDir dir("encode-fifo");
    const std::string path = dir.Path() + "/frames.fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    Set("width", "64");
    Set("height", "32");
    Set("bitrate", "100000");
    Set("input", path);
    ASSERT_EQ(m_encoder->SetEnabled(true), Status::SUCCESS);
    {
        // A FIFO whose writer has not come yet still leaves select a time limit.
        IOEventData idle;
        m_encoder->SetupIOEvents(idle);
        EXPECT_TRUE(idle.HasTimeout());
    }
    const int writer = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const std::vector<uint8_t> frames(64 * 32 * 3 / 2 * 3, 100);
    ASSERT_EQ(write(writer, frames.data(), frames.size()), static_cast<ssize_t>(frames.size()));
    for (int i = 0; i < 3; ++i) Cycle();
    EXPECT_EQ(m_chunks.size(), 3u);
    close(writer);
    LogCapture log;
    Cycle();
    EXPECT_EQ(log.Matching("enc7: the input has ended after 3 frames").size(), 1u);
    // Nothing left to read, but select must not wait for ever: the loop has a clock to check.
    IOEventData data;
    m_encoder->SetupIOEvents(data);
    EXPECT_EQ(data.GetFdMax(), -1);
    ASSERT_TRUE(data.HasTimeout());
    EXPECT_LE(data.GetTimeout().tv_usec, 1000000 / 30 + 1);
}

TEST_F(EncodeQualcommTest, PublishesNothingOnceDisabled) {
    Set("width", "64");
    Set("height", "32");
    Set("bitrate", "100000");
    ASSERT_EQ(m_encoder->SetEnabled(true), Status::SUCCESS);
    Cycle();
    ASSERT_EQ(m_chunks.size(), 1u);
    ASSERT_EQ(m_encoder->SetEnabled(false), Status::SUCCESS);
    IOEventData data;
    m_encoder->SetupIOEvents(data);
    EXPECT_FALSE(data.HasTimeout());
    m_encoder->HandleIOEvents(data);
    EXPECT_EQ(m_chunks.size(), 1u);
    EXPECT_EQ(m_encoder->Shutdown(), Status::SUCCESS);
    EXPECT_EQ(m_encoder->SetEnabled(true), Status::FAILURE_INVALID_STATE);
}

}  // namespace
