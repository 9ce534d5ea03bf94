// netout_probe's faults and bad input, one row each, in the order of the table
// in docs/netout_probe.md: the real binary against loopback receivers that
// listen, are missing, join late, leave or do not read, in private network
// namespaces without a route or without IPv6, to groups across a link between
// two private namespaces, and, in the booted appliance,
// with its HDMI input (the kernel's vivid driver) losing its signal, changing
// its timings, flagging buffers as bad and going away.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <net/if.h>
#include <ostream>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "linked_namespaces.h"
#include "probe_run.h"
#include "tool_runner.h"
#include "udp_capture.h"
#include "vivid_controls.h"

namespace {

using namespace probe_run;
using namespace std::chrono_literals;

// Where the datagrams go.
enum class Rig {
    LISTENING,      // a receiver on PORT
    TWO_LISTENING,  // receivers on PORT and OTHER_PORT
    NOBODY,         // PORT was free a moment ago
    JOINS_LATE,     // a receiver binds PORT a second into the run
    LEAVES,         // the receiver on PORT closes a second into the run
    STALLED,        // a receiver on PORT that reads nothing until the run is over
    NO_ROUTE,       // a private network namespace with its loopback down
    NO_IPV6,        // a private network namespace with its loopback up and IPv6 off
    GROUP,          // linked namespaces: on the far side a receiver of the group (-i) and one
                    // that did not join, on the near side, where the probe runs, one more
    GROUP_UNROUTED,   // GROUP without a route for IPv4 groups: only an interface named reaches them
    GROUP_LINK_DOWN,  // GROUP_UNROUTED, the near side's link going down a second into the run
    GROUP_SLOW_LINK,  // GROUP, the near side's link sending 200 kbit/s at most
};

// What standard output must be.
enum class Out {
    HELP,
    REJECTED,
    RUN,
    KILLED,  // killed with SIGKILL once the start line can be read from the pipe
};

// What a row's run left behind.
struct Seen {
    ToolResult run;
    std::chrono::steady_clock::duration took{};
    // The run loop, from "Encode is started" to "Done encoding": the start
    // (loading the codecs) and the stop take seconds in the emulated appliance.
    std::chrono::steady_clock::duration ran{};
    // When each change to the HDMI input during the run began and was done,
    // from "Encode is started".
    std::vector<std::chrono::steady_clock::duration> control_begun, control_done;
    std::vector<std::chrono::system_clock::time_point> control_begun_at, control_done_at;  // the log's clock
    std::vector<UdpCapture::Datagram> datagrams;  // at PORT
    size_t at_other_port = 0;
    size_t not_joined = 0;  // at GROUP's receiver that did not join
    size_t near_side = 0;   // at GROUP's receiver on the sending side
    uint64_t kernel_drops = 0;  // what the STALLED receiver's kernel dropped
    Counters counters;          // the sender's "at shutdown" line
    std::string dir;            // the row's own folder
};

using Check = std::function<void(const Seen&)>;

// A change to the HDMI input's controls, by their v4l2-ctl names, `at` into the run;
// before the probe starts when negative.
struct Control {
    std::chrono::milliseconds at;
    std::string controls;
};

struct Fault {
    const char* name;   // the test's name
    const char* fault;  // the first column of the doc's table
    Rig rig;
    std::vector<std::string> args;  // PORT and OTHER_PORT stand for the receivers' ports
    std::string options;            // LUMASET_OPTIONS; DIR stands for the row's folder
    int status;
    Out out;
    const char* assertion;  // the one failed assertion of the run, if any
    Check check;
    std::function<void(const std::string& dir)> prepare = nullptr;
    std::vector<Control> controls = {};
};

void PrintTo(const Fault& row, std::ostream* out) { *out << row.name; }

const char* const ENABLE_SENDER = "socket_out->SetEnabled(true) == Status::SUCCESS";
const char* const ENABLE_ENCODER = "encoder->SetEnabled(true) == Status::SUCCESS";
const std::string STARTED = "Encode is started and should run for specified time...\n";
const std::string DONE = "Done encoding. Stopping and disconnecting...\n";
// Report periods of a second: a fault that lasts the run is warned about each second.
const std::string EACH_SECOND = SMALL_OPTIONS + " netout0.report_seconds=1";
// Unpaced at 5 fps, a frame fills several datagrams of the largest size.
// (Rows where refusals matter send one packet a datagram, several in a cycle, so
// that a refusal is often reported on a later datagram's send.)
const std::string WHOLE_FRAMES = SMALL_OPTIONS + " enc0.fps=5 netout0.paced=0";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// A warning for a fault that lasts the run: at least twice, at most once a second.
void ExpectWarnedEachSecond(const Seen& seen, const std::string& warning, int seconds) {
    const size_t lines = Count(seen.run.err, warning);
    EXPECT_GE(lines, 2u) << warning << "\n" << seen.run.err;
    EXPECT_LE(lines, static_cast<size_t>(seconds) + 1) << "a flood of: " << warning;
}

// The sender would not take its settings: a reason on the log, nothing sent, the encoder ran.
// These rows run `-s 2`: the probe counts whole seconds of the clock, so `-s 1` may end
// a few milliseconds after the start.
Check RefusedAtEnable(const std::string& reason) {
    return [reason](const Seen& seen) {
        EXPECT_EQ(Count(seen.run.err, " E netout_probe: netout0: cannot enable: " + reason), 1u)
            << seen.run.err;
        EXPECT_TRUE(seen.datagrams.empty());
        EXPECT_EQ(seen.counters.datagrams + seen.counters.refused + seen.counters.failed, 0u);
        EXPECT_GT(EncodedFrames(seen.run.err), 5) << seen.run.err;
    };
}

// Every datagram fails to leave the host: each is given up, counted and warned about.
Check NothingLeaves(const std::string& error) {
    return [error](const Seen& seen) {
        ExpectWarnedEachSecond(seen, "failed, the last with " + error, 3);
        EXPECT_GT(seen.counters.failed, 20u);
        EXPECT_EQ(seen.counters.datagrams, 0u);
    };
}

Check OneCycle() {
    return [](const Seen& seen) {
        // The encoder's first deadline is due at once: one frame, sent at the stop.
        EXPECT_EQ(EncodedFrames(seen.run.err), 1) << seen.run.err;
        EXPECT_EQ(seen.counters.frames, 1u);
        EXPECT_FALSE(seen.datagrams.empty());
    };
}

// Whole TS packets, and a frame cut into datagrams of exactly the largest size.
Check DatagramsOf(size_t largest) {
    return [largest](const Seen& seen) {
        ASSERT_GT(seen.datagrams.size(), 5u);
        ExpectWellFormedTs(seen.datagrams, largest);
        size_t most = 0;
        for (const auto& datagram : seen.datagrams) most = std::max(most, datagram.bytes.size());
        EXPECT_EQ(most, largest);
        EXPECT_EQ(Count(seen.run.err, std::to_string(largest / 188) + " packets (" +
                                          std::to_string(largest) + " bytes) per datagram at most"),
                  1u)
            << seen.run.err;
    };
}

// The picture ffprobe finds in what arrived, as "width,height".
void ExpectPicture(const Seen& seen, const std::string& size) {
    const std::string path = seen.dir + "/capture.ts";
    WriteFile(path, Concatenate(seen.datagrams));
    EXPECT_EQ(ProbeStreams(path), std::vector<std::string>{"0,h264,video," + size});
}

// A group's stream across the link, started as `start` says: every datagram at
// the joined receiver on the far side with the hop limit asked for, a picture
// there; none at the receiver that did not join; at the sending side's a copy
// of each or none.
Check GroupReached(const std::string& start, int hops, bool copy_here) {
    return [=](const Seen& seen) {
        EXPECT_EQ(Count(seen.run.err, "netout0: sending to " + start + ", 7 packets"), 1u) << seen.run.err;
        ASSERT_GT(seen.datagrams.size(), 20u) << seen.run.err;
        EXPECT_EQ(seen.datagrams.size(), seen.counters.datagrams);
        for (const auto& datagram : seen.datagrams)
            ASSERT_EQ(datagram.hops, hops) << "the hop limit it arrived with";
        ExpectWellFormedTs(seen.datagrams, 1316);
        ExpectPicture(seen, "320,240");
        EXPECT_EQ(seen.not_joined, 0u);
        EXPECT_EQ(seen.near_side, copy_here ? seen.datagrams.size() : 0u);
    };
}

// 176x100 raw frames: dark left of column 88, bright right of it.
constexpr int EDGE_WIDTH = 176;
constexpr int EDGE_HEIGHT = 100;

void WriteEdgeFrame(const std::string& dir) {
    std::vector<uint8_t> frame;
    for (int row = 0; row < EDGE_HEIGHT; ++row)
        for (int x = 0; x < EDGE_WIDTH; ++x) frame.push_back(x < EDGE_WIDTH / 2 ? 40 : 200);
    frame.insert(frame.end(), EDGE_WIDTH * EDGE_HEIGHT / 2, 128);
    WriteFile(dir + "/frames.nv12", frame);
}

void ExpectEdgeInEveryRow(const Seen& seen) {
    ExpectPicture(seen, "176,100");
    const ToolResult luma = RunTool({"ffmpeg", "-v", "error", "-i", seen.dir + "/capture.ts",
                                     "-frames:v", "1", "-vf", "format=gray", "-f", "rawvideo", "-"});
    ASSERT_EQ(luma.out.size(), static_cast<size_t>(EDGE_WIDTH * EDGE_HEIGHT)) << luma.err;
    // A wrong line stride moves the edge further along with every row.
    for (int row : {0, EDGE_HEIGHT / 2, EDGE_HEIGHT - 1}) {
        const auto at = [&](int x) { return static_cast<uint8_t>(luma.out[row * EDGE_WIDTH + x]); };
        EXPECT_LT(at(40), 80) << "row " << row;
        EXPECT_GT(at(136), 160) << "row " << row;
    }
}

const std::vector<Fault> FAULTS = {
    {"HelpWithOptionsAfterIt", "`-h`, with other options after it", Rig::LISTENING,
     {"-h", "-p", "PORT", "-x"}, SMALL_OPTIONS, 0, Out::HELP, nullptr,
     [](const Seen& seen) { EXPECT_TRUE(seen.datagrams.empty()); }},
    {"UnknownOption", "An unknown option (`-x`)", Rig::LISTENING, {"-x"}, SMALL_OPTIONS, 255,
     Out::REJECTED, nullptr,
     [](const Seen& seen) { EXPECT_EQ(Count(seen.run.err, "invalid option -- 'x'"), 1u); }},
    {"MissingArgument", "An option without its value (`-p` last)", Rig::LISTENING, {"-s", "1", "-p"},
     SMALL_OPTIONS, 255, Out::REJECTED, nullptr,
     [](const Seen& seen) { EXPECT_EQ(Count(seen.run.err, "option requires an argument -- 'p'"), 1u); }},
    {"RunTimeZero", "`-s 0`", Rig::LISTENING, {"-s", "0", "-p", "PORT"}, SMALL_OPTIONS, 0, Out::RUN,
     nullptr, OneCycle()},
    {"RunTimeNegative", "`-s -5`", Rig::LISTENING, {"-s", "-5", "-p", "PORT"}, SMALL_OPTIONS, 0,
     Out::RUN, nullptr, OneCycle()},
    {"RunTimeText", "`-s abc`", Rig::LISTENING, {"-s", "abc", "-p", "PORT"}, SMALL_OPTIONS, 0,
     Out::RUN, nullptr, OneCycle()},
    {"RepeatedPort", "`-p` given twice", Rig::TWO_LISTENING,
     {"-s", "1", "-p", "OTHER_PORT", "-p", "PORT"}, SMALL_OPTIONS, 0, Out::RUN, nullptr,
     [](const Seen& seen) {
         EXPECT_FALSE(seen.datagrams.empty());
         EXPECT_EQ(seen.at_other_port, 0u) << "the first -p was used";
     }},
    {"Operands", "Words that are not options (`extra operands`)", Rig::LISTENING,
     {"-s", "1", "-p", "PORT", "extra", "operands"}, SMALL_OPTIONS, 0, Out::RUN, nullptr,
     [](const Seen& seen) { EXPECT_FALSE(seen.datagrams.empty()); }},
    {"SizeBelowOnePacket", "`-m` below one TS packet (`-m 100`)", Rig::LISTENING,
     {"-s", "2", "-p", "PORT", "-m", "100"}, SMALL_OPTIONS, 0, Out::RUN, ENABLE_SENDER,
     RefusedAtEnable("maximum message size 100 is outside 188..65507")},
    {"SizeAboveTheLargestDatagram", "`-m` above the largest UDP payload (`-m 70000`)",
     Rig::LISTENING, {"-s", "2", "-p", "PORT", "-m", "70000"}, SMALL_OPTIONS, 0, Out::RUN,
     ENABLE_SENDER, RefusedAtEnable("maximum message size 70000 is outside 188..65507")},
    {"SizeNotAMultipleOfAPacket", "`-m` not a multiple of 188 (`-m 1000`)", Rig::LISTENING,
     {"-s", "2", "-p", "PORT", "-m", "1000"}, WHOLE_FRAMES, 0, Out::RUN, nullptr, DatagramsOf(940)},
    {"SizeJustAboveOnePacket", "`-m 189`", Rig::LISTENING, {"-s", "2", "-p", "PORT", "-m", "189"},
     WHOLE_FRAMES, 0, Out::RUN, nullptr, DatagramsOf(188)},
    {"SizeAboveTheDefault", "`-m 4000`", Rig::LISTENING, {"-s", "2", "-p", "PORT", "-m", "4000"},
     WHOLE_FRAMES, 0, Out::RUN, nullptr, DatagramsOf(3948)},
    {"AddressNotAnAddress", "`-i` not an IP address (`-i not-an-address`)", Rig::LISTENING,
     {"-s", "2", "-p", "PORT", "-i", "not-an-address"}, SMALL_OPTIONS, 0, Out::RUN, ENABLE_SENDER,
     RefusedAtEnable("\"not-an-address\" is not an IPv4 or IPv6 address")},
    {"PortZero", "`-p 0`", Rig::NOBODY, {"-s", "2", "-p", "0"}, SMALL_OPTIONS, 0, Out::RUN,
     ENABLE_SENDER, RefusedAtEnable("port 0 is outside 1..65535")},
    {"PortAboveRange", "`-p 70000`", Rig::NOBODY, {"-s", "2", "-p", "70000"}, SMALL_OPTIONS, 0,
     Out::RUN, ENABLE_SENDER, RefusedAtEnable("port 70000 is outside 1..65535")},
    {"PortNegative", "`-p -5`", Rig::NOBODY, {"-s", "2", "-p", "-5"}, SMALL_OPTIONS, 0, Out::RUN,
     ENABLE_SENDER, RefusedAtEnable("port -5 is outside 1..65535")},
    {"PaceWindowTooLong", "A pacing window its allowance cannot carry the stream in (`netout0.pace_window_ms=20`)",
     Rig::LISTENING, {"-s", "2", "-p", "PORT"}, SMALL_OPTIONS + " netout0.pace_window_ms=20", 0, Out::RUN,
     ENABLE_SENDER,
     RefusedAtEnable("pace_factor 1.90 in a pace_window_ms of 20.0 lets 0.95 of the stream through; the window "
                     "needs a pace_factor above 2.00")},
    {"NobodyListening", "Nobody listening on the port", Rig::NOBODY, {"-s", "3", "-p", "PORT", "-m", "188"},
     EACH_SECOND, 0, Out::RUN, nullptr,
     [](const Seen& seen) {
         ExpectWarnedEachSecond(seen, "refused: nobody is listening there", 3);
         EXPECT_GT(seen.counters.refused, 20u);
         EXPECT_NEAR(seen.counters.refused, seen.counters.datagrams, 1) << "every datagram refused";
         EXPECT_EQ(seen.counters.failed, 0u) << "a refusal is no failure";
         EXPECT_EQ(Count(seen.run.err, "failed, the last with"), 0u) << seen.run.err;
     }},
    {"ReceiverJoinsLate", "A receiver that starts after the probe", Rig::JOINS_LATE,
     {"-s", "3", "-p", "PORT", "-m", "188"}, EACH_SECOND, 0, Out::RUN, nullptr,
     [](const Seen& seen) {
         EXPECT_GT(seen.counters.refused, 5u) << "refused until it joined";
         ASSERT_GT(seen.datagrams.size(), 20u);
         EXPECT_NEAR(seen.datagrams.size(), seen.counters.datagrams - seen.counters.refused, 1)
             << "it gets every datagram sent after it joined";
         ExpectWellFormedTs(seen.datagrams, 188);
         EXPECT_EQ(seen.counters.failed, 0u);
         EXPECT_EQ(Count(seen.run.err, "failed, the last with"), 0u) << seen.run.err;
     }},
    {"ReceiverLeaves", "The receiver goes away during the run", Rig::LEAVES,
     {"-s", "3", "-p", "PORT", "-m", "188"}, EACH_SECOND, 0, Out::RUN, nullptr,
     [](const Seen& seen) {
         EXPECT_GT(seen.datagrams.size(), 10u);
         EXPECT_GT(seen.counters.refused, 10u);
         // Any datagram is either received or refused (but one in the instant of the close).
         EXPECT_NEAR(seen.datagrams.size() + seen.counters.refused, seen.counters.datagrams, 1);
         const size_t warnings = Count(seen.run.err, "refused: nobody is listening there");
         EXPECT_TRUE(warnings >= 1 && warnings <= 3) << seen.run.err;
         EXPECT_EQ(seen.counters.failed, 0u);
     }},
    {"NoRoute", "No route to the address (loopback down)", Rig::NO_ROUTE,
     {"-s", "3", "-i", "127.0.0.1"}, EACH_SECOND, 0, Out::RUN, nullptr,
     NothingLeaves("(101) Network is unreachable")},
    {"Ipv6Off", "An IPv6 address where IPv6 is off (`-i ::1`)", Rig::NO_IPV6,
     {"-s", "3", "-i", "::1"}, EACH_SECOND, 0, Out::RUN, nullptr,
     NothingLeaves("(99) Cannot assign requested address")},
    {"GroupAcrossALink", "A group across a link (`-i 239.255.0.1`, `netout0.ttl=4`)", Rig::GROUP,
     {"-s", "3", "-i", "239.255.0.1", "-p", "PORT", "-m", "1316"}, SMALL_OPTIONS + " netout0.ttl=4", 0, Out::RUN,
     nullptr,
     GroupReached("the group 239.255.0.1:5000 (hop limit 4, on the interface the routing table picks, a copy to "
                  "this machine's receivers)",
                  4, true)},
    {"GroupIpv6", "An IPv6 group (`-i ff0e::77`)", Rig::GROUP, {"-s", "3", "-i", "ff0e::77", "-p", "PORT", "-m", "1316"},
     SMALL_OPTIONS, 0, Out::RUN, nullptr,
     GroupReached("the group [ff0e::77]:5000 (hop limit 1, on the interface the routing table picks, a copy to this "
                  "machine's receivers)",
                  1, true)},
    {"GroupNoCopyHere", "No copy to this machine (`netout0.loop=0`), the interface by its address, no route to groups",
     Rig::GROUP_UNROUTED, {"-s", "3", "-i", "239.255.0.1", "-p", "PORT", "-m", "1316"},
     SMALL_OPTIONS + " netout0.loop=0 netout0.interface=10.77.0.1", 0, Out::RUN, nullptr,
     GroupReached("the group 239.255.0.1:5000 (hop limit 1, on veth0 (index 2), no copy to this machine's receivers)",
                  1, false)},
    {"GroupHopLimitOutOfRange", "A hop limit outside 1..255 (`netout0.ttl=256`)", Rig::GROUP,
     {"-s", "2", "-i", "239.255.0.1", "-p", "PORT"}, SMALL_OPTIONS + " netout0.ttl=256", 0, Out::RUN,
     ENABLE_SENDER, RefusedAtEnable("hop limit (netout0.ttl) \"256\" is not a whole number in 1..255")},
    {"GroupInterfaceMissing", "An interface that is not there (`netout0.interface=eth9`)", Rig::GROUP,
     {"-s", "2", "-i", "239.255.0.1", "-p", "PORT"}, SMALL_OPTIONS + " netout0.interface=eth9", 0, Out::RUN,
     ENABLE_SENDER, RefusedAtEnable("no interface \"eth9\" (neither the name, the index nor an address of one)")},
    {"GroupInterfaceDown", "An interface that is down (`netout0.interface=lo`, down in the namespace)", Rig::GROUP,
     {"-s", "2", "-i", "239.255.0.1", "-p", "PORT"}, SMALL_OPTIONS + " netout0.interface=lo", 0, Out::RUN,
     ENABLE_SENDER, RefusedAtEnable("interface lo is down")},
    {"InterfaceForUnicast", "An interface for a unicast address (`netout0.interface=lo`)", Rig::LISTENING,
     {"-s", "2", "-i", "127.0.0.1", "-p", "PORT"}, SMALL_OPTIONS + " netout0.interface=lo", 0, Out::RUN,
     ENABLE_SENDER, RefusedAtEnable("netout0.interface chooses where a group is sent; 127.0.0.1:")},
    {"UnicastTtl", "A TTL for a unicast address (`netout0.ttl=9`)", Rig::LISTENING, {"-s", "2", "-p", "PORT"},
     SMALL_OPTIONS + " netout0.ttl=9", 0, Out::RUN, nullptr,
     [](const Seen& seen) {
         EXPECT_EQ(Count(seen.run.err, " (TTL 9), 21 packets"), 1u) << seen.run.err;
         ASSERT_GT(seen.datagrams.size(), 10u);
         for (const auto& datagram : seen.datagrams) ASSERT_EQ(datagram.hops, 9);
     }},
    {"GroupLinkGoesDown", "The group's interface goes down during the run", Rig::GROUP_LINK_DOWN,
     {"-s", "3", "-i", "239.255.0.1", "-p", "PORT", "-m", "1316"}, EACH_SECOND + " netout0.interface=veth0", 0,
     Out::RUN, nullptr,
     [](const Seen& seen) {
         ExpectWarnedEachSecond(seen, "failed, the last with (101) Network is unreachable", 3);
         EXPECT_GT(seen.counters.failed, 20u);
         EXPECT_GT(seen.datagrams.size(), 10u) << "sent until it went down";
         EXPECT_EQ(seen.datagrams.size(), seen.counters.datagrams);
     }},
    {"GroupNoRoute", "No route to the group (no interface named, none up)", Rig::NO_ROUTE,
     {"-s", "3", "-i", "239.255.0.1"}, EACH_SECOND, 0, Out::RUN, nullptr,
     NothingLeaves("(101) Network is unreachable")},
    {"LinkSlowerThanTheStream", "A link slower than the stream (200 kbit/s for 500)", Rig::GROUP_SLOW_LINK,
     {"-s", "3", "-i", "239.255.0.1", "-p", "PORT", "-m", "1316"}, EACH_SECOND, 0, Out::RUN, nullptr,
     [](const Seen& seen) {
         // The byte bound alone would hold half a minute of it before dropping any.
         ExpectWarnedEachSecond(seen, "packets of frames queued over half a second: the network does not keep up", 3);
         EXPECT_GT(seen.counters.dropped, 100u);
         EXPECT_EQ(Count(seen.run.err, "send queue full"), 0u) << seen.run.err;
         EXPECT_GT(seen.datagrams.size(), 30u) << "the stream goes on at what the link takes";
     }},
    {"SlowReceiver", "A receiver too slow to keep up", Rig::STALLED, {"-s", "2", "-p", "PORT"},
     SMALL_OPTIONS, 0, Out::RUN, nullptr,
     [](const Seen& seen) {
         EXPECT_GT(seen.kernel_drops, 10u);
         EXPECT_EQ(seen.datagrams.size() + seen.kernel_drops, seen.counters.datagrams);
         EXPECT_EQ(seen.counters.refused + seen.counters.failed + seen.counters.dropped, 0u);
         EXPECT_EQ(Count(seen.run.err, " W "), 0u) << "the sender sees nothing wrong";
     }},
    {"OddPictureSize", "Raw frames 176x100 (width not a multiple of 128, height not of 16)",
     Rig::LISTENING, {"-s", "2", "-p", "PORT"},
     "enc0.width=176 enc0.height=100 enc0.bitrate=200000 enc0.input=DIR/frames.nv12", 0, Out::RUN,
     // Addresses, not references: a Thumb function's address is odd, and UBSan
     // takes a reference bound to it for a misaligned one.
     nullptr, &ExpectEdgeInEveryRow, &WriteEdgeFrame},
    {"WidePictureSize", "A picture width that is not a multiple of 16 (854x480)", Rig::LISTENING,
     {"-s", "2", "-p", "PORT"}, "enc0.width=854 enc0.height=480 enc0.bitrate=500000", 0, Out::RUN,
     nullptr, [](const Seen& seen) { ExpectPicture(seen, "854,480"); }},
    {"EncoderCannotStart", "An encoder setting it cannot take (`enc0.width=99999`)", Rig::LISTENING,
     {"-s", "2", "-p", "PORT"}, "enc0.width=99999", 0, Out::RUN, ENABLE_ENCODER,
     [](const Seen& seen) {
         EXPECT_LT(seen.took, 5s) << "the loop must still see its clock";
         EXPECT_TRUE(seen.datagrams.empty());
     }},
    {"NotACaptureDevice", "An input that is a device but no capture device (`enc0.input=/dev/null`)",
     Rig::LISTENING, {"-s", "2", "-p", "PORT"}, SMALL_OPTIONS + " enc0.input=/dev/null", 0, Out::RUN,
     ENABLE_ENCODER,
     [](const Seen& seen) {
         EXPECT_EQ(Count(seen.run.err, "enc0: /dev/null: not a V4L2 device"), 1u) << seen.run.err;
         EXPECT_LT(seen.ran, 3s) << "the loop must still see its clock";
         EXPECT_TRUE(seen.datagrams.empty());
     }},
    {"EdidFileMissing", "An EDID file that is not there (`enc0.edid=DIR/none.bin`)", Rig::LISTENING,
     {"-s", "2", "-p", "PORT"}, SMALL_OPTIONS + " enc0.edid=DIR/none.bin", 0, Out::RUN, ENABLE_ENCODER,
     [](const Seen& seen) {
         EXPECT_EQ(Count(seen.run.err, "enc0: " + seen.dir + "/none.bin is no EDID: cannot open it: (2) "), 1u)
             << seen.run.err;
         EXPECT_TRUE(seen.datagrams.empty());
     }},
    {"StalledInput", "An input FIFO that nobody writes", Rig::LISTENING, {"-s", "2", "-p", "PORT"},
     "enc0.width=64 enc0.height=32 enc0.input=DIR/frames.fifo", 0, Out::RUN, nullptr,
     [](const Seen& seen) {
         EXPECT_LT(seen.took, 5s) << "the run must end on time";
         EXPECT_EQ(seen.counters.frames, 0u);
     },
     [](const std::string& dir) { ASSERT_EQ(mkfifo((dir + "/frames.fifo").c_str(), 0600), 0); }},
    {"KilledDuringTheRun", "Killed with SIGKILL during the run, its output a pipe", Rig::LISTENING,
     {"-s", "10", "-p", "PORT"}, SMALL_OPTIONS, 128 + SIGKILL, Out::KILLED, nullptr,
     [](const Seen& seen) {
         const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(seen.took);
         EXPECT_LT(took, 5s) << "killed after " << took.count() << " ms: the line came at the end";
     }},
};

// The appliance's HDMI input: vivid's input 3, small frames.
// The appliance names its video nodes: their numbers depend on the drivers' order.
const std::string HDMI_NODE = "/dev/v4l/by-name/vivid-000-vid-cap";
const std::string OUTPUT_NODE = "/dev/v4l/by-name/vivid-000-vid-out";
const std::string VICODEC_NODE = "/dev/v4l/by-name/stateful-encoder";
const std::string HDMI = SMALL_OPTIONS + " netout0.report_seconds=1 enc0.input=" + HDMI_NODE;
const std::string SIGNAL_MODE = "dv_timings_signal_mode=";  // 0 current timings, 1 no signal

// The stream went on: datagrams from the start to the end of a run of `seconds`
// with no gap of a second, and the probe ended on time; then the row's own check.
Check StreamGoesOn(int seconds, Check then) {
    return [seconds, then](const Seen& seen) {
        EXPECT_LT(seen.ran, std::chrono::seconds(seconds + 1))
            << "the run must end on time: "
            << std::chrono::duration_cast<std::chrono::milliseconds>(seen.ran).count() << " ms\n"
            << seen.run.err;
        for (const auto& done : seen.control_done)
            ASSERT_LT(done + 500ms, seen.ran) << "a change to the input came at the end of the run: the "
                                                 "appliance was too slow for this row";
        ASSERT_GT(seen.datagrams.size(), 10u) << seen.run.err;
        auto gap = std::chrono::steady_clock::duration::zero();
        for (size_t i = 1; i < seen.datagrams.size(); ++i)
            gap = std::max(gap, seen.datagrams[i].arrival - seen.datagrams[i - 1].arrival);
        EXPECT_LT(gap, 1s) << "the stream stopped for "
                           << std::chrono::duration_cast<std::chrono::milliseconds>(gap).count() << " ms";
        EXPECT_GT(seen.counters.frames, static_cast<unsigned long long>(5 * (seconds - 1)))
            << "frames the sender sent";
        // Booted with a receiver of the multi-planar interface only, the capture takes that.
        std::ifstream command_line("/proc/cmdline");
        const std::string kernel_args((std::istreambuf_iterator<char>(command_line)), {});
        if (kernel_args.find("vivid.multiplanar=2") != std::string::npos) {
            EXPECT_EQ(Count(seen.run.err, "(V4L2 capture: driver vivid, input 3 \"HDMI 0\" (DV timings), NV12 "
                                          "(multi-planar))"),
                      1u)
                << seen.run.err;
        }
        then(seen);
    };
}

// When the first log line that holds `fragment` was written ("2026-12-10 05:46:12.837 ...", local time).
std::chrono::system_clock::time_point LogTime(const std::string& log, const std::string& fragment) {
    const std::string line = Lines(log, fragment);
    tm local{};
    const char* rest = strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_TRUE(rest != nullptr && *rest == '.') << "no time on the line with " << fragment << ":\n" << log;
    if (rest == nullptr) return {};
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(mktime(&local)) +
           std::chrono::milliseconds(std::atoi(rest + 1));
}

// Lines that say the picture went, why, and that it came back.
void ExpectLosses(const Seen& seen, const std::string& reason, size_t lost, size_t back) {
    EXPECT_EQ(Count(seen.run.err, "enc0: " + HDMI_NODE + ": no picture: "), lost) << seen.run.err;
    EXPECT_EQ(Count(seen.run.err, "enc0: " + HDMI_NODE + ": no picture: " + reason), lost) << seen.run.err;
    EXPECT_EQ(Count(seen.run.err, "enc0: " + HDMI_NODE + ": picture back after "), back) << seen.run.err;
}

// The HDMI input, one row each; only the booted appliance has it.
const std::vector<Fault> DEVICE_FAULTS = {
    {"HdmiNoSignalAtTheStart", "The HDMI input without a signal from the start", Rig::LISTENING,
     {"-s", "3", "-p", "PORT"}, HDMI, 0, Out::RUN, nullptr,
     StreamGoesOn(3, [](const Seen& seen) {
         ExpectLosses(seen, "no signal: the input says so", 1, 0);
         EXPECT_EQ(Count(seen.run.err, "capturing "), 0u) << "nothing to capture";
     }),
     nullptr, {{-1ms, SIGNAL_MODE + "1"}}},
    {"HdmiEmptyEdid", "The HDMI input with an empty EDID, which its source needs to send a picture",
     Rig::LISTENING, {"-s", "3", "-p", "PORT"}, HDMI, 0, Out::RUN, nullptr,
     StreamGoesOn(3, [](const Seen& seen) {
         EXPECT_EQ(Count(seen.run.err, "enc0: " + HDMI_NODE + ": wrote the input's EDID: the built-in one (2 blocks, "
                                       "preferred mode 1920x1080 at 60.00 Hz, 12 CEA modes)"),
                   1u)
             << seen.run.err;
         ExpectLosses(seen, "", 0, 0);
         EXPECT_EQ(Count(seen.run.err, " 0 no-signal pictures in 0 losses"), 1u) << seen.run.err;
         std::vector<uint8_t> edid;
         ASSERT_EQ(vivid_controls::Edid(HDMI_NODE, 3, edid, false), "");
         ASSERT_EQ(edid.size(), 256u);
         EXPECT_EQ(std::string(edid.begin() + 113, edid.begin() + 120), "lumaset") << "the input's EDID is not ours";
     }),
     [](const std::string&) {
         std::vector<uint8_t> none;
         ASSERT_EQ(vivid_controls::Edid(HDMI_NODE, 3, none, true), "");
     }},
    {"HdmiSignalLostAndBack", "The HDMI input loses its signal and gets it back", Rig::LISTENING,
     {"-s", "6", "-p", "PORT"}, HDMI, 0, Out::RUN, nullptr,
     StreamGoesOn(6, [](const Seen& seen) {
         ExpectLosses(seen, "no signal", 1, 1);
         // Gone within a second of the first change, back within a second of the second.
         ASSERT_EQ(seen.control_done_at.size(), 2u);
         const auto lost_at = LogTime(seen.run.err, "no picture: ");
         const auto back_at = LogTime(seen.run.err, "picture back after ");
         EXPECT_GT(lost_at, seen.control_begun_at[0] - 10ms);  // the log keeps milliseconds
         EXPECT_LT(lost_at, seen.control_done_at[0] + 1s);
         EXPECT_GT(back_at, seen.control_begun_at[1] - 10ms);
         EXPECT_LT(back_at, seen.control_done_at[1] + 1s);
     }),
     nullptr, {{1000ms, SIGNAL_MODE + "1"}, {3000ms, SIGNAL_MODE + "0"}}},
    {"HdmiTimingsChange", "The HDMI source changes from 720p to 1080p", Rig::LISTENING,
     {"-s", "4", "-p", "PORT"}, HDMI, 0, Out::RUN, nullptr,
     StreamGoesOn(4, [](const Seen& seen) {
         EXPECT_EQ(Count(seen.run.err, "enc0: " + HDMI_NODE + ": capturing 1280x720 "), 1u) << seen.run.err;
         EXPECT_EQ(Count(seen.run.err, "enc0: " + HDMI_NODE + ": capturing 1920x1080 "), 1u) << seen.run.err;
         ExpectLosses(seen, "", 0, 0);
     }),
     nullptr, {{1000ms, SIGNAL_MODE + "4,dv_timings=1920x1080p60"}}},
    {"HdmiInterlaced", "An interlaced source (1080i, its fields in buffers of their own)", Rig::LISTENING,
     {"-s", "4", "-p", "PORT"}, HDMI, 0, Out::RUN, nullptr,
     StreamGoesOn(4, [](const Seen& seen) {
         EXPECT_EQ(Count(seen.run.err, "enc0: " + HDMI_NODE + ": capturing 1920x1080 NV12 at 30.00 fps, Rec.709 "
                                       "limited range, interlaced: each frame's two fields woven"),
                   1u)
             << seen.run.err;
         ExpectLosses(seen, "", 0, 0);
         EXPECT_EQ(Count(seen.run.err, " 0 frames too short, 0 no-signal pictures"), 1u) << seen.run.err;
     }),
     nullptr, {{-1ms, SIGNAL_MODE + "4,dv_timings=1920x1080i30"}}},
    {"HdmiUnplugged", "The capture device goes away during the run", Rig::LISTENING,
     {"-s", "4", "-p", "PORT"}, HDMI, 0, Out::RUN, nullptr,
     StreamGoesOn(4, [](const Seen& seen) {
         ExpectLosses(seen, "device gone: the device has gone away (", 1, 0);
         EXPECT_EQ(Count(seen.run.err, "(19) No such device"), 1u) << seen.run.err;
         EXPECT_LT(Count(seen.run.err, " enc0: "), 8u) << "a flood:\n" << seen.run.err;
     }),
     nullptr, {{1000ms, "disconnect=1"}}},
    {"HdmiBuffersWithErrors", "Buffers the driver flags as bad", Rig::LISTENING,
     {"-s", "6", "-p", "PORT"}, HDMI, 0, Out::RUN, nullptr,
     StreamGoesOn(6, [](const Seen& seen) {
         EXPECT_EQ(Count(seen.run.err, "enc0: " + HDMI_NODE + ": dropped 1 buffers the driver flagged as bad"), 1u)
             << "once, the rest counted:\n" << seen.run.err;
         EXPECT_NE(seen.run.err.find(", 3 bad buffers dropped,"), std::string::npos) << seen.run.err;
         ExpectLosses(seen, "", 0, 0);
     }),
     nullptr,
     {{1000ms, "inject_v4l2_buf_flag_error=1"}, {2000ms, "inject_v4l2_buf_flag_error=1"},
      {3000ms, "inject_v4l2_buf_flag_error=1"}}},
    {"HdmiOutputNode", "An output-only video node (`enc0.input=/dev/v4l/by-name/vivid-000-vid-out`)",
     Rig::LISTENING, {"-s", "2", "-p", "PORT"}, SMALL_OPTIONS + " enc0.input=" + OUTPUT_NODE, 0,
     Out::RUN, ENABLE_ENCODER,
     [](const Seen& seen) {
         EXPECT_EQ(Count(seen.run.err, "enc0: " + OUTPUT_NODE + ": not a video capture device"), 1u) << seen.run.err;
         EXPECT_LT(seen.ran, 3s) << "the loop must still see its clock";
         EXPECT_TRUE(seen.datagrams.empty());
     }},
    {"EncoderNotMemoryToMemory", "An encoder that is a capture node (`enc0.encoder=` the HDMI input)",
     Rig::LISTENING, {"-s", "2", "-p", "PORT"}, SMALL_OPTIONS + " enc0.encoder=" + HDMI_NODE, 0, Out::RUN,
     ENABLE_ENCODER,
     [](const Seen& seen) {
         EXPECT_EQ(Count(seen.run.err, "enc0: " + HDMI_NODE + ": not a memory-to-memory video device"), 1u)
             << seen.run.err;
         EXPECT_TRUE(seen.datagrams.empty());
     }},
    {"EncoderCodesNoH264", "An encoder of another codec (`enc0.encoder=` vicodec's)", Rig::LISTENING,
     {"-s", "2", "-p", "PORT"}, SMALL_OPTIONS + " enc0.encoder=" + VICODEC_NODE, 0, Out::RUN,
     ENABLE_ENCODER,
     [](const Seen& seen) {
         EXPECT_EQ(Count(seen.run.err, "enc0: " + VICODEC_NODE + ": codes FWHT, not H.264"), 1u) << seen.run.err;
         EXPECT_TRUE(seen.datagrams.empty());
     }},
    {"EncoderAutoPassesOverAnotherCodec", "`enc0.encoder=auto` where the only encoder codes FWHT",
     Rig::LISTENING, {"-s", "2", "-p", "PORT"}, SMALL_OPTIONS, 0, Out::RUN, nullptr,
     [](const Seen& seen) {
         EXPECT_EQ(Count(seen.run.err, ", from the test pattern, encoded by libx264"), 1u) << seen.run.err;
         EXPECT_FALSE(seen.datagrams.empty());
     }},
};

int FreePort() {
    UdpCapture gone;
    return gone.Port();
}

// The HDMI input's controls. vivid keeps them per input, so before the run
// the HDMI input is chosen first; during the run the probe has chosen it.
void SetControls(const std::string& controls, bool choose_input) {
    const std::string failure = vivid_controls::Set(HDMI_NODE, choose_input ? 3 : -1, controls);
    EXPECT_EQ(failure, "") << controls;
}

// Runs the row's command with its rig around it.
Seen RunRow(const Fault& row, const std::string& dir) {
    std::unique_ptr<UdpCapture> receiver;
    std::unique_ptr<UdpCapture> other;
    std::unique_ptr<StalledReceiver> stalled;
    int port = 3458;  // inside a private namespace nobody else is
    if (row.rig == Rig::LISTENING || row.rig == Rig::TWO_LISTENING || row.rig == Rig::LEAVES) {
        receiver = std::make_unique<UdpCapture>();
        port = receiver->Port();
    } else if (row.rig == Rig::NOBODY || row.rig == Rig::JOINS_LATE) {
        port = FreePort();
    } else if (row.rig == Rig::STALLED) {
        stalled = std::make_unique<StalledReceiver>();
        port = stalled->Port();
    }
    if (row.rig == Rig::TWO_LISTENING) other = std::make_unique<UdpCapture>();
    std::unique_ptr<LinkedNamespaces> link;
    std::unique_ptr<UdpCapture> not_joined;
    std::unique_ptr<UdpCapture> near_side;
    if (row.rig == Rig::GROUP || row.rig == Rig::GROUP_UNROUTED || row.rig == Rig::GROUP_LINK_DOWN ||
        row.rig == Rig::GROUP_SLOW_LINK) {
        link = std::make_unique<LinkedNamespaces>(row.rig == Rig::GROUP || row.rig == Rig::GROUP_SLOW_LINK);
        if (row.rig == Rig::GROUP_SLOW_LINK)
            link->Run(LinkedNamespaces::NEAR, {"tc", "qdisc", "add", "dev", "veth0", "root", "tbf", "rate", "200kbit",
                                               "burst", "4kb", "latency", "100ms"});
        const std::string group = *(std::find(row.args.begin(), row.args.end(), "-i") + 1);
        const std::string any = group.find(':') != std::string::npos ? "::" : "0.0.0.0";
        port = 5000;
        link->Inside(LinkedNamespaces::FAR, [&] {
            receiver = std::make_unique<UdpCapture>(any, port);
            receiver->Join(group, if_nametoindex("veth1"));
            // qemu-user passes no IP_MULTICAST_ALL: there, every socket on the port gets the group.
            if (!UnderEmulation()) {
                not_joined = std::make_unique<UdpCapture>(any, port);
                not_joined->TakeOnlyJoinedGroups();
            }
        });
        link->Inside(LinkedNamespaces::NEAR, [&] {
            near_side = std::make_unique<UdpCapture>(any, port);
            near_side->Join(group, if_nametoindex("veth0"));
        });
    }

    // Bounded, so a run that hangs ends as status 124.
    // Only a guard against a hang: under AddressSanitizer in the emulated
    // appliance the start and the leak check at the exit alone take ten
    // seconds, and twice that when the host is busy.
#ifdef LUMASET_APPLIANCE
    std::vector<std::string> command = {"timeout", "90"};
#else
    std::vector<std::string> command = {"timeout", "30"};
#endif
    if (row.rig == Rig::NO_ROUTE || row.rig == Rig::NO_IPV6) {
        const std::string setup = row.rig == Rig::NO_ROUTE
                                      ? "ip link set lo down"
                                      : "ip link set lo up && echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6";
        command.insert(command.end(), {"unshare", "-n", "sh", "-c", setup + " && exec \"$0\" \"$@\""});
    }
    if (link) {
        const auto enter = link->Enter(LinkedNamespaces::NEAR);
        command.insert(command.end(), enter.begin(), enter.end());
    }
    for (const std::string& word : LaunchCommand(PROBE)) command.push_back(word);
    for (const auto& arg : row.args)
        command.push_back(Replace(Replace(arg, "OTHER_PORT", other ? other->PortText() : ""), "PORT",
                                  std::to_string(port)));

    // `timeout` leads a process group of its own: the probe goes with it.
    std::promise<std::chrono::steady_clock::time_point> started;
    const std::shared_future<std::chrono::steady_clock::time_point> run_started = started.get_future().share();
    const bool kill_once_started = row.out == Out::KILLED;
    std::chrono::steady_clock::time_point done{};
    OutputWatch watch = [&, kill_once_started, told = false](pid_t pid, const std::string& out) mutable {
        if (!told && out.find(STARTED) != std::string::npos) {
            told = true;
            started.set_value(std::chrono::steady_clock::now());
            if (kill_once_started) kill(-pid, SIGKILL);
        }
        if (done == std::chrono::steady_clock::time_point{} && out.find(DONE) != std::string::npos)
            done = std::chrono::steady_clock::now();
    };
    for (const Control& control : row.controls)
        if (control.at < 0ms) SetControls(control.controls, true);
    Seen seen;
    seen.dir = dir;
    const auto start = std::chrono::steady_clock::now();
    auto running = std::async(std::launch::async, [&] {
        return RunTool(command, {"LUMASET_OPTIONS=" + Replace(row.options, "DIR", dir)}, watch);
    });
    if (row.rig == Rig::JOINS_LATE || row.rig == Rig::LEAVES || row.rig == Rig::GROUP_LINK_DOWN) {
        std::this_thread::sleep_for(1s);
        if (row.rig == Rig::JOINS_LATE)
            receiver = std::make_unique<UdpCapture>("127.0.0.1", port);
        else if (row.rig == Rig::LEAVES)
            receiver->Close();
        else
            link->Run(LinkedNamespaces::NEAR, {"ip", "link", "set", "veth0", "down"});
    }
    // Changes to the input come after the start, which takes seconds in the appliance.
    for (const Control& control : row.controls)
        if (control.at >= 0ms && run_started.wait_for(30s) == std::future_status::ready) {
            std::this_thread::sleep_until(run_started.get() + control.at);
            seen.control_begun.push_back(std::chrono::steady_clock::now() - run_started.get());
            seen.control_begun_at.push_back(std::chrono::system_clock::now());
            SetControls(control.controls, false);
            seen.control_done.push_back(std::chrono::steady_clock::now() - run_started.get());
            seen.control_done_at.push_back(std::chrono::system_clock::now());
        }
    seen.run = running.get();
    seen.took = std::chrono::steady_clock::now() - start;
    if (run_started.wait_for(0s) == std::future_status::ready && done > run_started.get())
        seen.ran = done - run_started.get();
    if (receiver) {
        receiver->Stop();
        seen.datagrams = receiver->Datagrams();
    }
    if (other) {
        other->Stop();
        seen.at_other_port = other->Datagrams().size();
    }
    for (const auto& [capture, count] : {std::make_pair(not_joined.get(), &seen.not_joined),
                                   std::make_pair(near_side.get(), &seen.near_side)})
        if (capture) {
            capture->Stop();
            *count = capture->Datagrams().size();
        }
    if (stalled) {
        seen.datagrams = stalled->Drain();
        seen.kernel_drops = stalled->Drops();
    }
    seen.counters = ShutdownCounters(seen.run.err);
    return seen;
}

class NetoutProbeFaults : public ::testing::TestWithParam<Fault> {};

TEST_P(NetoutProbeFaults, AsTheDocSays) {
    const Fault& row = GetParam();
    // (The rows that refuse an interface do so before the socket is made.)
    if (UnderEmulation() && row.options.find("netout0.interface=") != std::string::npos && row.assertion == nullptr)
        GTEST_SKIP() << "qemu-user passes no IP_MULTICAST_IF or IPV6_MULTICAST_IF";
    TempDir dir("netout-fault");
    if (row.prepare) row.prepare(dir.Path());
    const Seen seen = RunRow(row, dir.Path());
    const std::string& err = seen.run.err;
    ASSERT_EQ(seen.run.status, row.status) << "124: it hung; 1 with unshare: needs root\n"
                                            << "standard output:\n" << seen.run.out << err;
    switch (row.out) {
    case Out::HELP:
        EXPECT_EQ(seen.run.out, "Get Arguments\n" + USAGE);
        EXPECT_EQ(err, "") << "nothing was created, so nothing logs";
        break;
    case Out::REJECTED:
        EXPECT_EQ(seen.run.out, "Get Arguments\n" + USAGE);
        EXPECT_EQ(Count(err, "enc0"), 0u) << "nothing was created";
        break;
    case Out::RUN:
        EXPECT_EQ(seen.run.out, FULL_RUN);
        EXPECT_TRUE(seen.counters.found) << "no counters line at shutdown:\n" << err;
        break;
    case Out::KILLED:
        EXPECT_EQ(seen.run.out, FULL_RUN.substr(0, FULL_RUN.find(STARTED) + STARTED.size()))
            << "the progress lines before the kill were lost";
        EXPECT_FALSE(seen.counters.found);
        break;
    }
    if (row.assertion != nullptr) {
        EXPECT_NE(err.find(" F netout_probe: "), std::string::npos) << err;
        EXPECT_NE(err.find("] main():\n\tAssert '" + std::string(row.assertion) + "' failed."),
                  std::string::npos)
            << err;
    }
    EXPECT_EQ(Count(err, "Assert '"), row.assertion != nullptr ? 1u : 0u) << err;
    row.check(seen);
}

INSTANTIATE_TEST_SUITE_P(Table, NetoutProbeFaults, ::testing::ValuesIn(FAULTS),
                         [](const auto& info) { return std::string(info.param.name); });
#ifdef LUMASET_APPLIANCE
INSTANTIATE_TEST_SUITE_P(Device, NetoutProbeFaults, ::testing::ValuesIn(DEVICE_FAULTS),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

// The doc's table of faults names the rows above, in the same order.
TEST(NetoutProbeFaultDoc, ListsEveryRowOfTheTable) {
    std::ifstream doc(NETOUT_PROBE_DOC);
    ASSERT_TRUE(doc.good()) << "cannot read " << NETOUT_PROBE_DOC;
    std::vector<std::string> listed;
    bool in_section = false;
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind("## ", 0) == 0) in_section = line == "## Faults and bad input";
        if (!in_section || line.rfind("| ", 0) != 0 || line.rfind("| Fault or input |", 0) == 0) continue;
        listed.push_back(line.substr(2, line.find(" |", 2) - 2));
    }
    std::vector<std::string> rows;
    for (const Fault& row : FAULTS) rows.push_back(row.fault);
    for (const Fault& row : DEVICE_FAULTS) rows.push_back(row.fault);
    EXPECT_EQ(listed, rows);
}

}  // namespace
