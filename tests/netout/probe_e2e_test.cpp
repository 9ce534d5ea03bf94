// The real netout_probe: its command line, its output lines and exit statuses,
// and the stream it sends to a loopback receiver, checked by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sys/stat.h>
#include <string>
#include <vector>

#include "tool_runner.h"
#include "udp_capture.h"

namespace {

const std::string PROBE = NETOUT_PROBE_PATH;

const std::string USAGE =
    "usage: netout_probe [-h] [-s seconds_to_run] [-i ip address] [-p port] [-m max message size]\n"
    "\n"
    "This program will encode the HDMI input using the Qualcomm encoder, and write\n"
    "it out of a network datagram socket to ip address and port given for the given\n"
    "number of seconds.\n"
    "Make sure the receiving socket ('server' socket) is already listening.\n"
    "\n"
    " -h: Print the help\n"
    " -s: Seconds to run (default: 30)\n"
    " -i: IP address to write output data to (default: 127.0.0.1)\n"
    " -p: Port to write output data to (default: 3458)\n"
    " -m: Max size in bytes for sent messages (default: 3948)\n"
    "\n"
    "Example:\n"
    "     netout_probe -s 30 -i 127.0.0.1 -p 3458 -m 3948";

const std::string FULL_RUN =
    "Get Arguments\n"
    "Connecting Components...\n"
    "Starting Components...\n"
    "Encode is started and should run for specified time...\n"
    "Done encoding. Stopping and disconnecting...\n"
    "Shutting down...\n"
    "Success\n";

// Smaller frames keep the runs cheap where the picture size does not matter.
const std::string SMALL = "LUMASET_OPTIONS=enc0.width=320 enc0.height=240 enc0.bitrate=500000";

ToolResult RunProbe(std::vector<std::string> args, std::vector<std::string> env = {SMALL}) {
    args.insert(args.begin(), PROBE);
    return RunTool(args, env);
}

size_t Count(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
    return count;
}

// The lines of a log that contain the fragment.
std::string Lines(const std::string& log, const std::string& fragment) {
    std::string found;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        const std::string line = log.substr(start, end - start);
        if (line.find(fragment) != std::string::npos) found += line + "\n";
        start = end + 1;
    }
    return found;
}

TEST(NetoutProbeCommandLine, HelpPrintsTheUsageAndStartsNothing) {
    UdpCapture receiver;
    const ToolResult run = RunProbe({"-h", "-p", receiver.PortText(), "-x"});
    receiver.Stop();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Get Arguments\n" + USAGE);
    EXPECT_EQ(run.err, "") << "no framework call, so no log line";
    EXPECT_TRUE(receiver.Datagrams().empty());
}

TEST(NetoutProbeCommandLine, RejectedOptionsGiveTheUsageAndStatus255) {
    for (const auto& [args, complaint] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-x"}, "invalid option -- 'x'"},
             {{"-s", "1", "-p"}, "option requires an argument -- 'p'"},
         }) {
        const ToolResult run = RunProbe(args);
        EXPECT_EQ(run.status, 255) << complaint;
        EXPECT_EQ(run.out, "Get Arguments\n" + USAGE);
        EXPECT_NE(run.err.find(complaint), std::string::npos) << run.err;
        EXPECT_EQ(Count(run.err, "enc0"), 0u) << "nothing was created";
    }
}

TEST(NetoutProbeCommandLine, RunTimesBelowOneRunOneCycleAndStopInFull) {
    for (const char* seconds : {"0", "-5", "abc"}) {
        UdpCapture receiver;
        const ToolResult run = RunProbe({"-s", seconds, "-p", receiver.PortText()});
        EXPECT_EQ(run.status, 0) << seconds;
        EXPECT_EQ(run.out, FULL_RUN) << seconds;
        EXPECT_EQ(Count(run.err, " F "), 0u) << run.err;
        // One cycle: the encoder's first deadline is due at once, so at most a frame or two.
        EXPECT_NE(run.err.find("enc0: stopped after 1 frames"), std::string::npos) << run.err;
    }
}

TEST(NetoutProbeCommandLine, TheLastPortWinsAndOperandsAreIgnored) {
    UdpCapture first;
    UdpCapture second;
    const ToolResult run = RunProbe({"-s", "1", "-p", first.PortText(), "-p", second.PortText(),
                                     "extra", "operands"});
    first.Stop();
    second.Stop();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, FULL_RUN);
    EXPECT_TRUE(first.Datagrams().empty());
    EXPECT_FALSE(second.Datagrams().empty());
}

class NetoutProbeSender : public ::testing::TestWithParam<int> {};

TEST_P(NetoutProbeSender, SendsWholeTsPacketsWithinTheMaximumSize) {
    const int max_size = GetParam();
    UdpCapture receiver;
    std::vector<std::string> args = {"-s", "2", "-p", receiver.PortText()};
    if (max_size != 3948) args.insert(args.end(), {"-m", std::to_string(max_size)});
    const ToolResult run = RunProbe(args);
    receiver.Stop();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, FULL_RUN);
    const auto datagrams = receiver.Datagrams();
    ASSERT_GT(datagrams.size(), 10u);
    ExpectWellFormedTs(datagrams, static_cast<size_t>(max_size));
    size_t largest = 0;
    for (const auto& datagram : datagrams) largest = std::max(largest, datagram.bytes.size());
    if (max_size > 188) {
        EXPECT_GT(largest, 188u) << "packets are gathered up to the maximum";
    }
}

INSTANTIATE_TEST_SUITE_P(MaxSizes, NetoutProbeSender, ::testing::Values(3948, 1316, 188));

TEST(NetoutProbeSenderFailures, BadSizeOrAddressIsAssertedAndTheRunGoesOn) {
    for (const auto& [option, value] : std::vector<std::pair<std::string, std::string>>{
             {"-m", "100"}, {"-i", "not-an-address"}}) {
        UdpCapture receiver;
        const ToolResult run = RunProbe({"-s", "1", "-p", receiver.PortText(), option, value});
        receiver.Stop();
        EXPECT_EQ(run.status, 0) << option;
        EXPECT_EQ(run.out, FULL_RUN);
        EXPECT_NE(run.err.find("[test/netout_probe:"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("] main():\n\tAssert 'socket_out->SetEnabled(true) == "
                               "Status::SUCCESS' failed."),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(Count(run.err, "Assert '"), 1u) << run.err;
        EXPECT_TRUE(receiver.Datagrams().empty());
    }
}

TEST(NetoutProbeSenderFailures, AnEncoderThatCannotStartStillEndsOnTime) {
    UdpCapture receiver;
    // Only the sender is enabled: the loop must still wake up to test the clock.
    const auto start = std::chrono::steady_clock::now();
    const ToolResult run = RunTool({"timeout", "20", PROBE, "-s", "2", "-p", receiver.PortText()},
                                   {"LUMASET_OPTIONS=enc0.width=99999"});
    const auto took = std::chrono::steady_clock::now() - start;
    receiver.Stop();
    EXPECT_EQ(run.status, 0) << "124 means the run hung: " << run.err;
    EXPECT_EQ(run.out, FULL_RUN);
    EXPECT_NE(run.err.find("Assert 'encoder->SetEnabled(true) == Status::SUCCESS' failed."),
              std::string::npos)
        << run.err;
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_TRUE(receiver.Datagrams().empty());
}

TEST(NetoutProbeSenderFailures, NobodyListeningIsNoFailure) {
    int port = 0;
    {
        UdpCapture gone;  // a port that was free a moment ago
        port = gone.Port();
    }
    const ToolResult run = RunProbe({"-s", "2", "-p", std::to_string(port)});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, FULL_RUN);
    EXPECT_EQ(Count(run.err, "Assert"), 0u) << run.err;
}

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

TEST(NetoutProbeStream, AStalledInputDoesNotStretchTheRun) {
    TempDir dir("netout-stall");
    const std::string fifo = dir.Path() + "/frames.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    UdpCapture receiver;
    // Nobody ever writes the FIFO; the run must still end on time.
    const auto start = std::chrono::steady_clock::now();
    const ToolResult run = RunTool({"timeout", "20", PROBE, "-s", "2", "-p", receiver.PortText()},
                                   {"LUMASET_OPTIONS=enc0.width=64 enc0.height=32 enc0.input=" + fifo});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(run.status, 0) << "124 means the run hung: " << run.err;
    EXPECT_EQ(run.out, FULL_RUN);
    EXPECT_LT(took, std::chrono::seconds(5));
}

}  // namespace
