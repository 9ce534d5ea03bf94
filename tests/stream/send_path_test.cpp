// The sender's parts that need no socket: queue, pacing and destination rules.
#include <gtest/gtest.h>

#include <netinet/in.h>

#include <chrono>
#include <limits>
#include <numeric>

#include "packet_queue.h"
#include "send_pacer.h"
#include "sent_windows.h"
#include "udp_destination.h"

namespace {

using namespace std::chrono_literals;
using Clock = SendPacer::Clock;
const Clock::time_point T0 = Clock::time_point(std::chrono::hours(1));

MediaChunk Chunk(size_t packets, uint64_t frame, uint8_t fill, int64_t bit_rate = 0,
                 std::chrono::microseconds interval = 0us) {
    MediaChunk chunk;
    chunk.bytes = std::make_shared<std::vector<uint8_t>>(packets * 188, fill);
    chunk.frame_number = frame;
    chunk.bit_rate = bit_rate;
    chunk.frame_interval = interval;
    return chunk;
}

std::vector<uint8_t> Flatten(const std::vector<iovec>& iov) {
    std::vector<uint8_t> out;
    for (const auto& piece : iov) {
        const auto* p = static_cast<const uint8_t*>(piece.iov_base);
        out.insert(out.end(), p, p + piece.iov_len);
    }
    return out;
}

TEST(PacketQueueTest, DatagramsSpanChunksAndFramesCompleteWithTheirLastByte) {
    PacketQueue queue(1 << 20);
    queue.Push(Chunk(2, 0, 0xa0), T0);
    queue.Push(Chunk(3, 1, 0xb1), T0);
    std::vector<iovec> iov;
    queue.Gather(3 * 188, iov);
    const auto bytes = Flatten(iov);
    ASSERT_EQ(bytes.size(), 3u * 188);
    EXPECT_EQ(bytes[2 * 188 - 1], 0xa0);
    EXPECT_EQ(bytes[2 * 188], 0xb1);

    std::vector<PacketQueue::FrameDone> done;
    queue.Consume(188, done);
    EXPECT_TRUE(done.empty());
    queue.Consume(2 * 188, done);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].frame_number, 0u);
    EXPECT_EQ(queue.GetBytes(), 2u * 188);
}

TEST(PacketQueueTest, OverflowDropsOldestWholePacketsAndStaysWithinLimit) {
    PacketQueue queue(10 * 188 + 50);  // a limit between packets
    EXPECT_EQ(queue.Push(Chunk(6, 0, 1), T0), 0u);
    EXPECT_EQ(queue.Push(Chunk(6, 1, 2), T0), 2u);
    EXPECT_EQ(queue.GetBytes(), 10u * 188);
    std::vector<iovec> iov;
    queue.Gather(queue.GetBytes(), iov);
    const auto bytes = Flatten(iov);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 1), 4 * 188);  // the newest survive
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 2), 6 * 188);
    // A chunk bigger than the whole queue keeps only its tail.
    EXPECT_EQ(queue.Push(Chunk(100, 2, 3), T0), 100u);
    EXPECT_EQ(queue.GetBytes(), 10u * 188);
    EXPECT_EQ(queue.Clear(), 10u);
    EXPECT_EQ(queue.GetBytes(), 0u);
}

// Frames that waited too long go whole, the rest of a half-sent one with them;
// a frame in several chunks goes to its last.
TEST(PacketQueueTest, FramesQueuedTooLongGoWhole) {
    PacketQueue queue(1 << 20);
    MediaChunk first = Chunk(2, 0, 1), second = Chunk(2, 1, 2), second_end = Chunk(1, 1, 2), third = Chunk(3, 2, 3);
    second.last_of_frame = false;  // the second frame ends with second_end
    queue.Push(first, T0);
    queue.Push(second, T0 + 10ms);
    queue.Push(second_end, T0 + 600ms);
    queue.Push(third, T0 + 600ms);
    std::vector<PacketQueue::FrameDone> done;
    queue.Consume(188, done);  // half of the first frame sent
    EXPECT_EQ(queue.DropQueuedBefore(T0), 0u);
    EXPECT_EQ(queue.DropQueuedBefore(T0 + 100ms), 1u + 3u) << "the first frame's rest, and all of the second";
    EXPECT_EQ(queue.GetBytes(), 3u * 188);
    std::vector<iovec> iov;
    queue.Gather(queue.GetBytes(), iov);
    const auto bytes = Flatten(iov);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 3), 3 * 188);
}

// Sends `total` bytes in datagrams of at most `datagram` as the pacer allows,
// as the sender does; returns when each datagram went and its size.
Sent Drain(SendPacer& pacer, size_t total, size_t datagram, Clock::time_point now) {
    Sent sent;
    while (total > 0) {
        const size_t room = pacer.GetRoom(total, now);
        const size_t size = std::min({datagram, total, room - room % 188});
        if (size == 0) {
            const auto later = pacer.WhenRoom(188, total, now);
            EXPECT_GT(later, now);
            now = later;
            continue;
        }
        pacer.NoteSent(size, now);
        sent.push_back({now, size});
        total -= size;
    }
    return sent;
}

TEST(SendPacerTest, ABacklogDrainsAtTheAllowanceAndNoWindowHoldsMore) {
    SendPacer::Settings settings;  // 1.9 means per 10 ms
    settings.window = 12ms;
    SendPacer pacer(settings);
    const auto start = Clock::now();
    // 2 Mbit/s nominal = 250 kB/s. The first frame alone over its interval
    // would be 1.1 MB/s: until a second frame, the nominal rate bounds it.
    pacer.NoteInput(Chunk(200, 0, 0, 2000000, 33333us), start);
    const double mean = 250000;
    EXPECT_NEAR(pacer.GetMeanRate(), mean, 1);
    const size_t allowance = pacer.GetAllowance();
    EXPECT_NEAR(allowance, 1.9 * mean / 100, 1);

    const size_t total = 200 * 188;
    const auto sent = Drain(pacer, total, 1316, start);
    // Whole packets: the allowance rounded up to them.
    EXPECT_LE(MostInAnyWindow(sent, 12ms), (allowance + 187) / 188 * 188);
    // Spread over windows, yet each window carries its allowance to within a packet.
    const auto span = sent.back().first - start;
    const size_t at_least = (total + allowance - 1) / allowance;
    const size_t at_most = (total + allowance - 188) / (allowance - 187);
    EXPECT_GE(span, (at_least - 1) * 12ms);
    EXPECT_LE(span, (at_most - 1) * 12ms);
}

TEST(SendPacerTest, AFrameNeedingTwoWindowsGoesAsEvenHalves) {
    SendPacer::Settings settings;
    settings.window = 10ms;
    SendPacer pacer(settings);
    const auto start = Clock::now();
    // Nothing measured yet, so the nominal 8 Mbit/s: 10 kB per 10 ms,
    // allowance 19 kB. A 24 kB frame goes as 12 kB now and 12 kB a window
    // later, not 19 kB and then 5 kB.
    pacer.NoteInput(Chunk(0, 0, 0, 8000000), start);
    ASSERT_EQ(pacer.GetAllowance(), 19000u);
    const size_t total = 24064;  // 128 packets
    const auto sent = Drain(pacer, total, 1316, start);
    size_t first = 0;
    for (const auto& datagram : sent)
        if (datagram.first == start) first += datagram.second;
    EXPECT_EQ(first, total / 2);
    EXPECT_EQ(sent.back().first, start + 10ms);
    EXPECT_EQ(MostInAnyWindow(sent, 10ms), total / 2);
}

TEST(SendPacerTest, MeanFollowsTheStreamAndCapsApply) {
    SendPacer::Settings settings;
    settings.window = 12ms;
    settings.max_bytes_per_second = 10000;
    SendPacer pacer(settings);
    EXPECT_EQ(pacer.GetAllowance(), 120u);  // the cap alone: 10 kB/s over 12 ms
    const auto start = Clock::now();
    // Nominal 8 Mbit/s but the stream really carries 100 kB/s after a big
    // first key frame: the mean is what follows the key frame.
    pacer.NoteInput(Chunk(500, 0, 0, 8000000, 10000us), start);
    for (int frame = 1; frame < 2000; ++frame) {
        MediaChunk chunk = Chunk(0, frame, 0, 8000000, 10000us);
        chunk.bytes = std::make_shared<std::vector<uint8_t>>(1000, 0);
        pacer.NoteInput(chunk, start);
    }
    EXPECT_NEAR(pacer.GetMeanRate(), 100000, 1);
    EXPECT_EQ(pacer.GetAllowance(), 120u);  // still capped

    SendPacer::Settings unpaced;
    unpaced.paced = false;
    SendPacer free_pacer(unpaced);
    free_pacer.NoteInput(Chunk(10, 0, 0, 1000, 1000us), start);
    EXPECT_EQ(free_pacer.GetAllowance(), 0u);
    EXPECT_EQ(free_pacer.GetRoom(1 << 20, start), std::numeric_limits<size_t>::max());
}

// A small stream fed at its own rate by 30 fps frames, the sender pumped every
// `pump` (the loop's other work between): what is still queued after three
// seconds. Whole packets go, as the sender sends them.
size_t QueuedAfterThreeSeconds(int64_t bit_rate, Clock::duration pump) {
    SendPacer pacer(SendPacer::Settings{});
    const auto start = Clock::now();
    const size_t frame = static_cast<size_t>(bit_rate / 8 / 30);
    size_t queued = 0;
    uint64_t frames = 0;
    for (auto now = start; now < start + 3s; now += pump) {
        for (; start + frames * 33333us <= now; ++frames) {
            MediaChunk chunk = Chunk(0, frames, 0, 500000, 33333us);
            chunk.bytes = std::make_shared<std::vector<uint8_t>>(frame, 0);
            pacer.NoteInput(chunk, now);
            queued += frame;
        }
        for (size_t room; (room = pacer.GetRoom(queued, now) / 188 * 188) > 0 && queued >= 188;) {
            const size_t size = std::min({queued / 188 * 188, room, size_t{1316}});
            pacer.NoteSent(size, now);
            queued -= size;
        }
    }
    return queued;
}

TEST(SendPacerTest, ASmallStreamIsNotHeldBelowItsRate) {
    struct Row {
        const char* what;
        int64_t bit_rate;
        Clock::duration pump;
    };
    // Rounded down to whole packets, 1.9 means a window carried one packet of
    // a 155 kbit/s stream (below its rate), two of a 230 kbit/s one (1.25 of
    // it: too little for a loop that misses a window a frame).
    const std::vector<Row> rows = {{"155 kbit/s, every window", 155000, 10500us},
                                   {"230 kbit/s, every 16 ms", 230000, 16ms}};
    for (const Row& row : rows)
        EXPECT_LT(QueuedAfterThreeSeconds(row.bit_rate, row.pump), static_cast<size_t>(row.bit_rate / 8 / 30 * 2))
            << row.what << ": the queue grows";
}

TEST(SendPacerTest, AnAllowanceBelowOnePacketStillLetsOnePacketPerWindow) {
    SendPacer::Settings settings;
    settings.window = 12ms;
    SendPacer pacer(settings);
    const auto start = Clock::now();
    pacer.NoteInput(Chunk(1, 0, 0, 8000, 1000000us), start);  // 188 B/s: 4 bytes per window
    ASSERT_LT(pacer.GetAllowance(), 188u);
    EXPECT_EQ(pacer.GetRoom(1000, start), 188u);
    pacer.NoteSent(188, start);
    EXPECT_EQ(pacer.GetRoom(1000, start + 11ms), 0u);
    EXPECT_EQ(pacer.WhenRoom(188, 1000, start + 1ms), start + 12ms);
}

TEST(UdpDestinationTest, AcceptsLiteralsAndRejectsWithAReason) {
    UdpDestination destination;
    std::string reason;
    EXPECT_EQ(UdpDestination::Parse("127.0.0.1", 3458, destination, reason), Status::SUCCESS);
    EXPECT_EQ(destination.family, AF_INET);
    EXPECT_EQ(destination.text, "127.0.0.1:3458");
    EXPECT_EQ(UdpDestination::Parse("::1", 65535, destination, reason), Status::SUCCESS);
    EXPECT_EQ(destination.family, AF_INET6);
    EXPECT_EQ(destination.text, "[::1]:65535");

    for (const char* bad : {"not-an-address", "localhost", "256.1.1.1", "", "1.2.3.4:80"}) {
        EXPECT_EQ(UdpDestination::Parse(bad, 3458, destination, reason), Status::FAILURE_INVALID) << bad;
        EXPECT_NE(reason.find("not an IPv4 or IPv6 address"), std::string::npos) << reason;
    }
    for (int port : {0, -1, 65536}) {
        EXPECT_EQ(UdpDestination::Parse("127.0.0.1", port, destination, reason), Status::FAILURE_INVALID);
        EXPECT_NE(reason.find("outside 1..65535"), std::string::npos) << reason;
    }
}

TEST(UdpDestinationTest, DatagramLimitsAndFragments) {
    EXPECT_EQ(MaxUdpPayload(AF_INET), 65507);
    EXPECT_EQ(MaxUdpPayload(AF_INET6), 65527);
    EXPECT_EQ(IpFragments(AF_INET, 1316, 1500), 1);
    EXPECT_EQ(IpFragments(AF_INET, 1472, 1500), 1);
    EXPECT_EQ(IpFragments(AF_INET, 1473, 1500), 2);
    EXPECT_EQ(IpFragments(AF_INET, 3948, 1500), 3);
    EXPECT_EQ(IpFragments(AF_INET6, 1452, 1500), 1);
    EXPECT_EQ(IpFragments(AF_INET6, 3948, 1500), 3);
}

}  // namespace
