// The datagram sender against real loopback sockets, driven by the same
// select loop as the network-out program.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <numeric>
#include <ostream>

#include "io_event_data.h"
#include "log_capture.h"
#include "options.h"
#include "socket_network_datagram_out.h"
#include "sent_windows.h"
#include "stream_rig.h"

namespace {

using namespace std::chrono_literals;
using stream_rig::Clock;
using stream_rig::FakeSource;
using stream_rig::Receiver;
using stream_rig::RunLoop;

class SenderTest : public ::testing::Test {
protected:
    void TearDown() override { Options::GetOptions().Clear(); }

    std::shared_ptr<SocketNetworkDatagramOut> Wire(const std::string& address, int port, int max) {
        auto sender = std::make_shared<SocketNetworkDatagramOut>("netout0", address, port, max);
        EXPECT_EQ(sender->Connect(source, "high_res"), Status::SUCCESS);
        return sender;
    }

    // Emits frames of the given sizes, one per cycle, then runs until all is sent.
    void Stream(const std::shared_ptr<SocketNetworkDatagramOut>& sender, Receiver& receiver,
                const std::vector<size_t>& frames) {
        for (size_t packets : frames) {
            source->Emit(packets);
            RunLoop({source, sender}, &receiver, 1ms, [] { return false; });
        }
        RunLoop({source, sender}, &receiver, 5s, [&] {
            return sender->GetQueuedBytes() == 0 &&
                   receiver.PacketNumbers().size() >= source->PacketsEmitted();
        });
    }

    std::shared_ptr<FakeSource> source = std::make_shared<FakeSource>(20000000, 5000us);
};

void ExpectWholePacketsInOrder(const Receiver& receiver, int max, uint64_t packets) {
    for (const auto& datagram : receiver.datagrams) {
        ASSERT_LE(datagram.size(), static_cast<size_t>(max));
        ASSERT_EQ(datagram.size() % 188, 0u);
        for (size_t at = 0; at < datagram.size(); at += 188) ASSERT_EQ(datagram[at], 0x47);
    }
    std::vector<uint32_t> expected(packets);
    std::iota(expected.begin(), expected.end(), 0u);
    EXPECT_EQ(receiver.PacketNumbers(), expected);
}

class SenderSizeTest : public SenderTest, public ::testing::WithParamInterface<int> {};

TEST_P(SenderSizeTest, DatagramsAreWholePacketsWithinTheMaximumAndNothingIsLost) {
    const int max = GetParam();
    Receiver receiver;
    auto sender = Wire("127.0.0.1", receiver.Port(), max);
    ASSERT_EQ(sender->SetEnabled(true), Status::SUCCESS);
    std::vector<uint64_t> frames_done;
    sender->SetSendObserver([&](const SocketNetworkDatagramOut::DatagramSent& sent) {
        for (const auto& frame : sent.frames_ended) frames_done.push_back(frame.frame_number);
    });
    Stream(sender, receiver, {1, 7, 40, 3, 120, 21, 22, 2});
    ExpectWholePacketsInOrder(receiver, max, source->PacketsEmitted());
    const auto counters = sender->GetCounters();
    EXPECT_EQ(counters.datagrams, receiver.datagrams.size());
    EXPECT_EQ(counters.bytes, source->PacketsEmitted() * 188);
    EXPECT_EQ(counters.dropped_packets + counters.refused + counters.failed, 0u);
    EXPECT_EQ(frames_done, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(counters.frames, 8u);
}

// 188: one packet each; 1000: not a multiple, 5 packets; 1316: the usual; 3948: the default.
INSTANTIATE_TEST_SUITE_P(Sizes, SenderSizeTest, ::testing::Values(188, 1000, 1316, 3948, 65507));

TEST_F(SenderTest, ChunksCutMidPacketStillGoOutAsWholePackets) {
    LogCapture capture;
    Receiver receiver;
    auto sender = Wire("127.0.0.1", receiver.Port(), 1316);
    ASSERT_EQ(sender->SetEnabled(true), Status::SUCCESS);
    std::vector<uint8_t> stream(10 * 188);
    for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i % 188 ? i / 188 : 0x47);
    source->EmitRaw({stream.begin(), stream.begin() + 3 * 188 + 100});
    source->EmitRaw({stream.begin() + 3 * 188 + 100, stream.end()});
    RunLoop({source, sender}, &receiver, 5s, [&] { return sender->GetQueuedBytes() == 0; });
    receiver.Drain();
    std::vector<uint8_t> received;
    for (const auto& datagram : receiver.datagrams) {
        EXPECT_EQ(datagram.size() % 188, 0u);
        received.insert(received.end(), datagram.begin(), datagram.end());
    }
    EXPECT_EQ(received, stream);
    EXPECT_EQ(capture.Matching("not whole TS packets").size(), 1u);
}

TEST_F(SenderTest, IPv6Loopback) {
    Receiver receiver(AF_INET6);
    ASSERT_GT(receiver.Port(), 0) << "no IPv6 loopback on this machine";
    auto sender = Wire("::1", receiver.Port(), 1316);
    ASSERT_EQ(sender->SetEnabled(true), Status::SUCCESS);
    Stream(sender, receiver, {30, 5});
    ExpectWholePacketsInOrder(receiver, 1316, 35);
}

TEST_F(SenderTest, BadSettingsFailEnableWithAReasonAndLeaveItOff) {
    struct Case {
        const char* address;
        int port;
        int max;
        const char* reason;
    };
    for (const Case& bad : {Case{"not-an-address", 3458, 3948, "not an IPv4 or IPv6 address"},
                            Case{"127.0.0.1", 0, 3948, "port 0 is outside 1..65535"},
                            Case{"127.0.0.1", 65536, 3948, "port 65536"},
                            Case{"127.0.0.1", 3458, 100, "maximum message size 100"},
                            Case{"127.0.0.1", 3458, -5, "maximum message size -5"},
                            Case{"127.0.0.1", 3458, 65508, "maximum message size 65508"}}) {
        LogCapture capture;
        SocketNetworkDatagramOut sender("netout0", bad.address, bad.port, bad.max);
        EXPECT_EQ(sender.SetEnabled(true), Status::FAILURE_INVALID) << bad.reason;
        EXPECT_FALSE(sender.IsEnabled());
        const auto lines = capture.Matching(bad.reason);
        ASSERT_EQ(lines.size(), 1u) << bad.reason;
        EXPECT_EQ(lines[0].level, Log::Level::ERROR);
        EXPECT_EQ(sender.SetEnabled(false), Status::SUCCESS);
        EXPECT_EQ(sender.Shutdown(), Status::SUCCESS);
    }
}

TEST_F(SenderTest, FragmentingSizeIsAllowedWithOneInfoLine) {
    LogCapture capture;
    auto sender = Wire("127.0.0.1", 3458, 3948);
    ASSERT_EQ(sender->SetEnabled(true), Status::SUCCESS);
    EXPECT_EQ(capture.Matching("3 IP fragments").size(), 1u);
    auto plain = std::make_shared<SocketNetworkDatagramOut>("netout1", "127.0.0.1", 3458, 1316);
    ASSERT_EQ(plain->SetEnabled(true), Status::SUCCESS);
    EXPECT_TRUE(capture.Matching("netout1: a").empty());
}

TEST_F(SenderTest, NobodyListeningIsCountedAndWarnedAboutOnce) {
    int port;
    {
        Receiver gone;
        port = gone.Port();
    }  // closed: nobody listens on the port now
    LogCapture capture;
    auto sender = Wire("127.0.0.1", port, 1316);
    ASSERT_EQ(sender->SetEnabled(true), Status::SUCCESS);
    for (int frame = 0; frame < 20; ++frame) {
        source->Emit(10);
        RunLoop({source, sender}, nullptr, 3ms, [] { return false; });
    }
    const auto counters = sender->GetCounters();
    EXPECT_GT(counters.refused, 5u);
    EXPECT_GT(counters.datagrams, 0u);
    // A refusal reported on a send is an earlier datagram's: this one is sent again, not lost.
    EXPECT_EQ(counters.failed, 0u);
    EXPECT_EQ(capture.Matching("refused: nobody is listening").size(), 1u);
    EXPECT_TRUE(capture.Matching("failed").empty());
    EXPECT_EQ(sender->SetEnabled(false), Status::SUCCESS);
    EXPECT_EQ(sender->Shutdown(), Status::SUCCESS);
    EXPECT_EQ(capture.Matching("at shutdown").size(), 1u);
}

// A sender on a slow link: netout0.max_bitrate holds it below what the fixture's
// source publishes. One row per case, with its cap in bits per second, its largest
// datagram and queue bound, and what it drives and checks.
struct Capped {
    std::shared_ptr<FakeSource> source;
    std::shared_ptr<SocketNetworkDatagramOut> sender;
    Receiver& receiver;
    const LogCapture& capture;
    Sent sent;  // what the socket took, as the send observer saw it

    template <typename Done>
    void Loop(Clock::duration limit, Done done) {
        RunLoop({source, sender}, &receiver, limit, done);
    }
    size_t Received() const { return receiver.PacketNumbers().size(); }
};

struct CapRow {
    const char* name;
    const char* max_bitrate;
    int max;
    const char* queue_bytes;  // nullptr: the default
    std::function<void(Capped&)> drive_and_check;
};

void PrintTo(const CapRow& row, std::ostream* out) { *out << row.name; }

const CapRow CAP_ROWS[] = {
    {"FullQueueDropsTheOldestWholePackets", "2000000", 1316, "18800",  // 250 kB/s, 100 packets
     [](Capped& c) {
         for (int frame = 0; frame < 10; ++frame) {
             c.source->Emit(100);
             EXPECT_LE(c.sender->GetQueuedBytes(), 100u * 188);
         }
         c.Loop(5s, [&] { return c.sender->GetQueuedBytes() == 0; });
         const auto counters = c.sender->GetCounters();
         const auto numbers = c.receiver.PacketNumbers();
         EXPECT_GT(counters.dropped_packets, 0u);
         EXPECT_EQ(counters.dropped_packets + numbers.size(), 1000u);
         EXPECT_EQ(counters.bytes, numbers.size() * 188);
         ASSERT_FALSE(numbers.empty());
         EXPECT_EQ(numbers.back(), 999u);  // the newest packets survive
         EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
         EXPECT_EQ(c.capture.Matching("send queue full").size(), 1u);
     }},
    {"RateStaysWithinTheCap", "800000", 1316, nullptr,  // 100 kB/s
     [](Capped& c) {
         // Ten packets every 5 ms: 376 kB/s offered.
         for (const auto end = Clock::now() + 2500ms; Clock::now() < end;) {
             c.source->Emit(10);
             c.Loop(5ms, [] { return false; });
         }
         size_t total = 0;
         for (const auto& datagram : c.sent) total += datagram.second;
         ASSERT_GT(total, 100000u) << "too little sent to measure a rate";
         // The pacing window's allowance rounds the cap up by less than a datagram.
         EXPECT_LE(MostInAnyWindow(c.sent, 1s), 100000u + 1316) << "bytes in one second";
     }},
    {"DisableSendsWhatIsQueued", "80000", 188, nullptr,  // 10 kB/s: 50 packets take a second
     [](Capped& c) {
         c.source->Emit(50);
         ASSERT_GT(c.sender->GetQueuedBytes(), 0u);  // held back by the pacing
         EXPECT_EQ(c.sender->SetEnabled(false), Status::SUCCESS);
         EXPECT_EQ(c.sender->GetQueuedBytes(), 0u);
         EXPECT_EQ(c.sender->GetCounters().dropped_packets, 0u);
         EXPECT_EQ(c.sender->GetCounters().bytes, 50u * 188);
         c.source->Emit(5);  // disabled: ignored
         EXPECT_EQ(c.sender->GetQueuedBytes(), 0u);
         c.Loop(2s, [&] { return c.Received() >= 50; });
         ExpectWholePacketsInOrder(c.receiver, 188, 50);
     }},
    {"PacketsDiscardedAtDisableCountAsDropped", "280000", 188, nullptr,  // 367 bytes per window
     [](Capped& c) {
         // Under two packets a window the pacing lets one go per window, so 40 take 420 ms,
         // longer than disabling waits; counted in whole allowances they would take 220 ms,
         // so disabling paces them instead of sending them at once.
         c.source->Emit(40);
         EXPECT_EQ(c.sender->SetEnabled(false), Status::SUCCESS);
         const uint64_t left = c.sender->GetCounters().bytes / 188;
         c.Loop(2s, [&] { return c.Received() >= left; });
         const uint64_t never_left = 40 - c.Received();
         ASSERT_GT(never_left, 0u) << "nothing was discarded at disable";
         EXPECT_EQ(c.sender->GetCounters().dropped_packets, never_left);
         EXPECT_EQ(c.sender->Shutdown(), Status::SUCCESS);
         const auto line = c.capture.Matching("netout0: at shutdown: ");
         ASSERT_EQ(line.size(), 1u);
         const std::string dropped = ", " + std::to_string(never_left) + " packets dropped";
         EXPECT_TRUE(line[0].text.find(dropped) != std::string::npos) << line[0].text;
     }},
};

class CappedSenderTest : public SenderTest, public ::testing::WithParamInterface<CapRow> {};

TEST_P(CappedSenderTest, HoldsTheCapAndCountsWhatItLoses) {
    const CapRow& row = GetParam();
    Options::GetOptions().Set("netout0.max_bitrate", row.max_bitrate);
    if (row.queue_bytes != nullptr)
        Options::GetOptions().Set("netout0.queue_bytes", row.queue_bytes);
    LogCapture capture;
    Receiver receiver;
    Capped capped{source, Wire("127.0.0.1", receiver.Port(), row.max), receiver, capture, {}};
    ASSERT_EQ(capped.sender->SetEnabled(true), Status::SUCCESS);
    capped.sender->SetSendObserver([&](const SocketNetworkDatagramOut::DatagramSent& datagram) {
        capped.sent.push_back({datagram.when, datagram.bytes});
    });
    row.drive_and_check(capped);
}

INSTANTIATE_TEST_SUITE_P(Rows, CappedSenderTest, ::testing::ValuesIn(CAP_ROWS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SenderTest, PacingSpreadsABurstOverWindows) {
    source = std::make_shared<FakeSource>(2000000, 33333us);  // 2.5 kB per 10 ms
    Receiver receiver;
    auto sender = Wire("127.0.0.1", receiver.Port(), 1316);
    ASSERT_EQ(sender->SetEnabled(true), Status::SUCCESS);
    Sent sent;
    sender->SetSendObserver([&](const SocketNetworkDatagramOut::DatagramSent& datagram) {
        sent.push_back({datagram.when, datagram.bytes});
    });
    source->Emit(300);  // 56 kB at once
    // Sent from inside the publish: what the first window allows, no more.
    ASSERT_FALSE(sent.empty());
    EXPECT_GT(sender->GetQueuedBytes(), 40000u);
    RunLoop({source, sender}, &receiver, 5s, [&] { return sender->GetQueuedBytes() == 0; });
    ASSERT_EQ(sender->GetQueuedBytes(), 0u);
    // A first frame tells the sender nothing about the mean but the nominal
    // 2.5 kB per 10 ms. No 10.5 ms window (the default) carries more than 1.9 of it,
    // in the whole packets that hold it (26).
    EXPECT_LE(MostInAnyWindow(sent, 10500us), 26u * 188);
    EXPECT_GE(sent.back().first - sent.front().first, 100ms);

    // Unpaced, the same burst leaves within the publish call.
    Options::GetOptions().Set("netout1.paced", "0");
    auto unpaced = std::make_shared<SocketNetworkDatagramOut>("netout1", "127.0.0.1", receiver.Port(), 1316);
    ASSERT_EQ(unpaced->Connect(source, "high_res"), Status::SUCCESS);
    ASSERT_EQ(unpaced->SetEnabled(true), Status::SUCCESS);
    sender->SetEnabled(false);
    source->Emit(300);
    EXPECT_EQ(unpaced->GetQueuedBytes(), 0u);
    EXPECT_EQ(unpaced->GetCounters().bytes, 300u * 188);
}

TEST_F(SenderTest, AnIdleSenderStillWakesTheLoopWithinASecond) {
    // Without a source that sends, select would otherwise wait for ever and the program
    // would never look at its clock.
    Receiver receiver;
    auto sender = Wire("127.0.0.1", receiver.Port(), 1316);
    ASSERT_EQ(sender->SetEnabled(true), Status::SUCCESS);
    IOEventData data;
    sender->SetupIOEvents(data);
    ASSERT_TRUE(data.HasTimeout());
    const timeval wait = data.GetTimeout();
    EXPECT_LE(wait.tv_sec * 1000000L + wait.tv_usec, 1000000L);
    EXPECT_EQ(sender->SetEnabled(false), Status::SUCCESS);
}

}  // namespace
