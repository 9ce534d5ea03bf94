// The real netout_probe's stream at a loopback receiver, checked by ffprobe and
// ffmpeg. Its command line, exit statuses and faults are in probe_faults_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "probe_run.h"
#include "tool_runner.h"
#include "udp_capture.h"

namespace {

using namespace probe_run;

TEST(NetoutProbeStream, ReachesAnIpv6Receiver) {
    UdpCapture receiver("::1");
    const ToolResult run = RunProbe({"-s", "2", "-i", "::1", "-p", receiver.PortText(), "-m", "1316"});
    receiver.Stop();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, FULL_RUN);
    const auto datagrams = receiver.Datagrams();
    ASSERT_GT(datagrams.size(), 10u);
    ExpectWellFormedTs(datagrams, 1316);
}

TEST(NetoutProbeStream, IsOneH264StreamThatDecodesCleanly) {
    UdpCapture receiver;
    const ToolResult run = RunProbe({"-s", "3", "-p", receiver.PortText()},
                                    {"LUMASET_OPTIONS=enc0.width=640 enc0.height=360 enc0.fps=25"});
    receiver.Stop();
    EXPECT_EQ(run.status, 0) << run.err;
    const auto datagrams = receiver.Datagrams();
    ASSERT_GT(datagrams.size(), 20u);
    ExpectWellFormedTs(datagrams, 3948);
    TempDir dir("netout-stream");
    const std::string path = dir.Path() + "/capture.ts";
    WriteFile(path, Concatenate(datagrams));
    EXPECT_EQ(ProbeStreams(path), std::vector<std::string>{"0,h264,video,640,360"});
    const ToolResult decode = RunTool({"ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"});
    EXPECT_EQ(decode.status, 0);
    EXPECT_EQ(decode.err, "") << "the decoder complained; the sender said: " << Lines(run.err, "dropped");
    const ToolResult frames = RunTool({"ffprobe", "-v", "error", "-count_frames", "-select_streams",
                                       "v", "-show_entries", "stream=nb_read_frames", "-of",
                                       "csv=p=0", path});
    // Two to three seconds at 25 fps, less what a busy machine made the loop skip.
    EXPECT_GE(std::stoi(frames.out), 30) << frames.out;
}

TEST(NetoutProbeStream, AReceiverThatJoinsLateStartsWithinASecond) {
    UdpCapture receiver;
    // Over three seconds: key frames at 1, 2 and 3 s.
    const ToolResult run = RunProbe({"-s", "4", "-p", receiver.PortText()}, {});
    receiver.Stop();
    EXPECT_EQ(run.status, 0) << run.err;
    const auto datagrams = receiver.Datagrams();
    ASSERT_GT(datagrams.size(), 20u);
    // Keep what arrived from 1.3 s after the first datagram: mid-stream, between key frames.
    size_t from = 0;
    while (from < datagrams.size() &&
           datagrams[from].arrival - datagrams.front().arrival < std::chrono::milliseconds(1300))
        ++from;
    ASSERT_LT(from + 20, datagrams.size());
    TempDir dir("netout-late");
    const std::string path = dir.Path() + "/late.ts";
    WriteFile(path, Concatenate(datagrams, from));
    EXPECT_EQ(ProbeStreams(path, "1000000"), std::vector<std::string>{"0,h264,video,1280,720"});
}

TEST(NetoutProbeStream, EncodesRawFramesFromAFile) {
    TempDir dir("netout-raw");
    const std::string frames = dir.Path() + "/frames.nv12";
    // Three 160x96 frames: flat grey levels.
    std::vector<uint8_t> bytes;
    for (uint8_t level : {40, 120, 200}) {
        bytes.insert(bytes.end(), 160 * 96, level);
        bytes.insert(bytes.end(), 160 * 96 / 2, 128);
    }
    WriteFile(frames, bytes);
    UdpCapture receiver;
    const ToolResult run = RunProbe(
        {"-s", "2", "-p", receiver.PortText()},
        {"LUMASET_OPTIONS=enc0.width=160 enc0.height=96 enc0.bitrate=200000 enc0.input=" + frames});
    receiver.Stop();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, FULL_RUN);
    const std::string path = dir.Path() + "/capture.ts";
    WriteFile(path, Concatenate(receiver.Datagrams()));
    EXPECT_EQ(ProbeStreams(path), std::vector<std::string>{"0,h264,video,160,96"});
    // Decoded back, the file's frames come round again in order.
    const ToolResult luma = RunTool({"ffmpeg", "-v", "error", "-i", path, "-vf",
                                     "crop=16:16:72:40,scale=1:1,format=gray", "-f", "rawvideo", "-"});
    ASSERT_EQ(luma.status, 0) << luma.err;
    ASSERT_GE(luma.out.size(), 9u);
    for (size_t i = 0; i + 1 < luma.out.size(); ++i) {
        const int now = static_cast<uint8_t>(luma.out[i]);
        const int next = static_cast<uint8_t>(luma.out[i + 1]);
        const int level = now < 80 ? 0 : now < 160 ? 1 : 2;
        const int next_level = next < 80 ? 0 : next < 160 ? 1 : 2;
        EXPECT_EQ(next_level, (level + 1) % 3) << "frame " << i << ": " << now << " then " << next;
    }
}

}  // namespace
