// The capture source against a scripted V4L2 device, on a clock the test
// moves: the HDMI input's fault rows of the booted appliance, and what a
// source's rate, its time stamps and the loop's own lateness do to the
// stream, exact and untimed. The loop is the program's: each cycle the
// source says what it waits for and by when, the clock moves to the first
// of that deadline and the script's next step, and what the device then has
// ready is handed to the source.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "capture_source.h"
#include "edid.h"
#include "log_capture.h"
#include "scripted_capture.h"
#include "tool_runner.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int WIDTH = 160;
constexpr int HEIGHT = 90;
constexpr int FPS = 30;
constexpr uint8_t NO_SIGNAL_LUMA = 40;  // the no-signal picture's background, studio levels

// What reached the encoder in one frame slot.
struct Picture {
    int64_t slot;
    uint8_t luma;  // of its corner: a frame's own, or the no-signal picture's
    std::array<uint8_t, 4> lines;  // at lines 20 and 21, and 20 and 19 from the bottom
    ColorSpace colours;
    Clock::time_point made;
};

class CaptureRun {
public:
    CaptureRun() : m_start(Clock::time_point(std::chrono::hours(1000))), m_now(m_start) {}

    ScriptedCapture device;
    // How long each cycle's work keeps the loop from select: the encoder's.
    Clock::duration busy = 0ms;
    // The source's settings: the stream at 160x90, 30 fps.
    SourceSettings settings{"enc5", WIDTH, HEIGHT, FPS, "/dev/scripted", -1, {}, {}};

    // A step of the script, `at` after the start.
    void At(Clock::duration at, std::function<void()> step) { m_steps.emplace(m_start + at, std::move(step)); }
    // A frame every 1/rate from `from` to `to`, frame i of luma Luma(i), its
    // driver time stamp `skew` off its time.
    void Frames(Clock::duration from, Clock::duration to, double rate, Clock::duration skew = 0ms,
                uint32_t flags = 0, size_t bytes = SIZE_MAX) {
        const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / rate));
        int i = 0;
        for (Clock::duration at = from; at < to; at += period, ++i)
            At(at, [this, at, i, skew, flags, bytes] { device.SendFrame(m_start + at + skew, Luma(i), flags, bytes); });
    }
    uint8_t Luma(int frame) const {
        return static_cast<uint8_t>(luma >= 0 ? luma : 60 + (frame + luma_offset) / luma_step % 150);
    }
    int luma = -1;  // every frame's, when set
    int luma_step = 1, luma_offset = 0;  // frame i's luma is Luma((i + offset) / step)

    // Opens the source and runs the loop for `length`.
    void Run(Clock::duration length) {
        m_source = std::make_unique<CaptureSource>(
            settings, [this](const SourcePicture& picture) { Take(picture); }, device, [this] { return m_now; });
        ASSERT_EQ(m_source->Open(), Status::SUCCESS);
        m_source->Start(FrameSlots(m_now, FPS));
        const Clock::time_point end = m_start + length;
        for (int cycle = 0; cycle < 100000; ++cycle) {
            IOEventData data;
            m_source->Setup(data);
            const int fd = device.Descriptor();
            const bool read = fd >= 0 && FD_ISSET(fd, data.GetFdsRead());
            const bool error = fd >= 0 && FD_ISSET(fd, data.GetFdsError());
            // select: at once when the device has something, else at the first deadline or step.
            Clock::time_point next = data.GetDeadline();
            if (!m_steps.empty()) next = std::min(next, m_steps.begin()->first);
            if ((read && device.Readable()) || (error && device.Exceptional())) next = m_now;
            if (next > end) break;
            m_now = std::max(m_now, next);
            RunSteps();
            const bool read_ready = read && device.Readable();
            const bool error_ready = error && device.Exceptional();
            FD_ZERO(data.GetFdsRead());
            FD_ZERO(data.GetFdsWrite());
            FD_ZERO(data.GetFdsError());
            if (read_ready) FD_SET(fd, data.GetFdsRead());
            if (error_ready) FD_SET(fd, data.GetFdsError());
            const size_t before = pictures.size();
            // With nothing ready this is the timeout's work: the source checks its clock in both.
            m_source->Handle(data);
            most_in_a_cycle = std::max(most_in_a_cycle, pictures.size() - before);
            // Every buffer taken is given back within the cycle.
            if (device.Streaming() && device.WithTheDriver() != device.Allocated()) ++buffers_kept;
            m_now += busy;
            RunSteps();
            ++cycles;
        }
        ended = m_now;
        m_source->LogSummary();
    }

    Clock::duration At(const Picture& picture) const { return picture.made - m_start; }
    std::vector<Picture> pictures;
    size_t most_in_a_cycle = 0;
    int buffers_kept = 0;
    int cycles = 0;
    Clock::time_point ended;
    LogCapture log;

private:
    void RunSteps() {
        while (!m_steps.empty() && m_steps.begin()->first <= m_now) {
            auto step = std::move(m_steps.begin()->second);
            m_steps.erase(m_steps.begin());
            step();
        }
    }
    void Take(const SourcePicture& picture) {
        const uint8_t* y = picture.picture.y;
        const int stride = picture.picture.y_stride;
        const int bottom = settings.height - 20;
        pictures.push_back({picture.slot,
                            y[stride + 1],
                            {y[20 * stride + 1], y[21 * stride + 1], y[bottom * stride + 1], y[(bottom + 1) * stride + 1]},
                            picture.color_space,
                            picture.made});
    }

    Clock::time_point m_start;
    Clock::time_point m_now;
    std::multimap<Clock::time_point, std::function<void()>> m_steps;
    std::unique_ptr<CaptureSource> m_source;
};

// Slots filled, each once and in order, from the first picture to the last.
void ExpectEverySlotOnce(const CaptureRun& run) {
    ASSERT_FALSE(run.pictures.empty());
    for (size_t i = 1; i < run.pictures.size(); ++i)
        ASSERT_EQ(run.pictures[i].slot, run.pictures[i - 1].slot + 1) << "picture " << i;
}

size_t Lines(const CaptureRun& run, const std::string& text) { return run.log.Matching(text).size(); }

Clock::duration SlotTime(int64_t slot) { return std::chrono::milliseconds(1000) * slot / FPS; }

// The first slot after `after` that shows the no-signal picture, or a frame.
Clock::duration FirstShowing(const CaptureRun& run, bool no_signal, Clock::duration after) {
    for (const Picture& picture : run.pictures)
        if (SlotTime(picture.slot) >= after && (picture.luma == NO_SIGNAL_LUMA) == no_signal)
            return SlotTime(picture.slot);
    return 1h;
}

// A 160x90 grey JPEG, as a grabber sends it.
std::vector<uint8_t> GrayJpeg() {
    const ToolResult made = RunTool({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=0x808080:size=160x90", "-frames:v",
                                     "1", "-c:v", "mjpeg", "-pix_fmt", "yuvj420p", "-f", "image2pipe", "-"});
    EXPECT_EQ(made.status, 0) << made.err;
    return std::vector<uint8_t>(made.out.begin(), made.out.end());
}

// The log says `text` once, and every slot was filled once.
std::function<void(const CaptureRun&)> Says(std::string text) {
    return [text](const CaptureRun& run) {
        ExpectEverySlotOnce(run);
        EXPECT_EQ(Lines(run, text), 1u) << text;
    };
}

struct Row {
    const char* name;
    std::function<void(CaptureRun&)> script;
    Clock::duration length;
    std::function<void(const CaptureRun&)> check;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// A device of the multi-planar interface only, offering `formats`: it streams `fourcc`.
Row MultiPlanar(const char* name, std::vector<uint32_t> formats, std::string fourcc) {
    return {name,
            [formats](CaptureRun& run) {
                run.device.caps = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING, run.device.formats = formats;
                run.Frames(0ms, 2000ms, 60);
            },
            2s,
            [fourcc](const CaptureRun& run) {
                ExpectEverySlotOnce(run);
                EXPECT_EQ(Lines(run, "capturing 320x180 " + fourcc + " at 60.00 fps"), 1u);
                for (const Picture& picture : run.pictures) EXPECT_GE(picture.luma, run.Luma(0));
                EXPECT_GE(run.pictures.size(), 59u);
            }};
}

const std::vector<Row> ROWS = {
    // The appliance's HDMI rows.
    {"HdmiNoSignalAtTheStart", [](CaptureRun& run) { run.device.timings_error = ENOLINK; }, 3s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         for (const Picture& picture : run.pictures) EXPECT_EQ(picture.luma, NO_SIGNAL_LUMA);
         EXPECT_GE(run.pictures.size(), 89u);
         EXPECT_EQ(Lines(run, "enc5: /dev/scripted: no picture: no signal: the input says so"), 1u);
         EXPECT_EQ(Lines(run, "capturing "), 0u);
     }},
    {"HdmiSignalLostAndBack",
     [](CaptureRun& run) {
         run.Frames(0ms, 1000ms, 60);
         run.At(1000ms, [&run] { run.device.timings_error = ENOLINK, run.device.inputs[1].status = V4L2_IN_ST_NO_SIGNAL; });
         run.At(3000ms, [&run] { run.device.timings_error = 0, run.device.inputs[1].status = 0; });
         run.Frames(3000ms, 5000ms, 60);
     },
     5s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         EXPECT_LT(FirstShowing(run, true, 0ms), 2000ms) << "the loss shows within a second";
         EXPECT_LT(FirstShowing(run, false, 2000ms), 4000ms) << "the picture is back within a second";
         EXPECT_EQ(Lines(run, "no picture: no signal"), 1u);
         EXPECT_EQ(Lines(run, "picture back after "), 1u);
     }},
    {"HdmiTimingsChange",
     [](CaptureRun& run) {
         run.Frames(0ms, 4000ms, 60);
         run.At(1000ms, [&run] { run.device.source = ScriptedCapture::Timings(640, 360, 60), run.device.SourceChange(); });
     },
     4s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         EXPECT_EQ(Lines(run, "capturing 320x180 "), 1u);
         EXPECT_EQ(Lines(run, "capturing 640x360 "), 1u);
         EXPECT_EQ(run.device.Current().bt.width, 640u);
         EXPECT_EQ(Lines(run, "no picture"), 0u);
         EXPECT_EQ(run.device.edid, std::vector<uint8_t>(256, 0x5a)) << "the input's own EDID was replaced";
     }},
    {"HdmiEmptyEdidGetsOurs", [](CaptureRun& run) { run.device.edid.clear(), run.Frames(0ms, 2s, 60); }, 2s,
     [](const CaptureRun& run) {
         EXPECT_EQ(run.device.edid, edid::BuiltIn());
         EXPECT_EQ(Lines(run, "enc5: /dev/scripted: wrote the input's EDID: the built-in one (2 blocks, "
                              "preferred mode 1920x1080 at 60.00 Hz, 12 CEA modes)"),
                   1u);
         EXPECT_EQ(FirstShowing(run, false, 0ms), 0ms) << "no picture at once";
         EXPECT_EQ(Lines(run, "no picture"), 0u);
     }},
    {"HdmiEdidFromAFile",
     [](CaptureRun& run) { run.settings.edid = edid::BuiltIn(), run.settings.edid_path = "/etc/edid.bin", run.Frames(0ms, 1s, 60); },
     1s,
     [](const CaptureRun& run) {
         EXPECT_EQ(run.device.edid, edid::BuiltIn()) << "the input's own EDID was kept";
         EXPECT_EQ(Lines(run, "wrote the input's EDID: /etc/edid.bin (2 blocks,"), 1u);
     }},
    {"HdmiReceiverKeepsNoEdid",
     [](CaptureRun& run) {
         run.device.keeps_edid = false;
         run.settings.edid = edid::BuiltIn(), run.settings.edid_path = "/etc/edid.bin";
         run.Frames(0ms, 1000ms, 60);
     },
     1s,
     [](const CaptureRun& run) {
         EXPECT_EQ(Lines(run, "EDID"), 1u);
         EXPECT_EQ(Lines(run, "enc5: /dev/scripted: the input keeps no EDID; /etc/edid.bin is not written"), 1u);
         EXPECT_EQ(Lines(run, "no picture"), 0u);
     }},
    {"HdmiUnplugged",
     [](CaptureRun& run) {
         run.Frames(0ms, 1000ms, 60);
         run.At(1000ms, [&run] { run.device.Unplug(); });
     },
     4s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         EXPECT_EQ(Lines(run, "no picture: device gone: the device has gone away ("), 1u);
         EXPECT_EQ(Lines(run, "(19) No such device"), 1u);
         EXPECT_EQ(run.device.Descriptor(), -1) << "closed, and never opened again";
         EXPECT_LT(run.log.Records().size(), 6u);
         EXPECT_EQ(run.pictures.back().luma, NO_SIGNAL_LUMA);
     }},
    {"HdmiBuffersWithErrors",
     [](CaptureRun& run) {
         run.Frames(0ms, 6000ms, 60);
         for (auto at : {1000ms, 2000ms, 3000ms})
             run.At(at + 1ms, [&run, at] { run.device.SendFrame(Clock::time_point(std::chrono::hours(1000)) + at, 1, V4L2_BUF_FLAG_ERROR); });
     },
     6s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         EXPECT_EQ(Lines(run, "enc5: /dev/scripted: dropped 1 buffers the driver flagged as bad"), 1u);
         EXPECT_EQ(Lines(run, ", 3 bad buffers dropped,"), 1u);
         EXPECT_EQ(Lines(run, "no picture"), 0u);
         for (const Picture& picture : run.pictures) EXPECT_NE(picture.luma, 1) << "a bad buffer was shown";
     }},
    {"HdmiSignalComesAndGoes",
     [](CaptureRun& run) {
         run.Frames(0ms, 9000ms, 60);
         for (auto at : {1000ms, 3000ms, 5000ms, 7000ms}) {
             run.At(at, [&run] { run.device.timings_error = ENOLINK, run.device.inputs[1].status = V4L2_IN_ST_NO_SIGNAL; });
             run.At(at + 1000ms, [&run] { run.device.timings_error = 0, run.device.inputs[1].status = 0; });
         }
     },
     9s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         // The first loss at 1 s, those at 3 and 5 s counted, that at 7 s said with them.
         EXPECT_EQ(Lines(run, "no picture: no signal"), 2u);
         EXPECT_EQ(Lines(run, "says \"NO SIGNAL\" (3 times since the last report)"), 1u);
         EXPECT_EQ(Lines(run, " in 4 losses of the picture"), 1u);
     }},
    // A source's rate and its time stamps.
    {"SixtyIntoThirty",
     [](CaptureRun& run) {
         run.busy = 25ms;  // frames come two at a time, as to an appliance busy encoding
         run.Frames(0ms, 3000ms, 60);
     },
     3s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         for (size_t i = 1; i < run.pictures.size(); ++i)
             EXPECT_NE(run.pictures[i].luma, run.pictures[i - 1].luma) << "slot " << run.pictures[i].slot << " repeats";
         EXPECT_EQ(Lines(run, "slots repeated"), 1u);
         EXPECT_EQ(Lines(run, " 0 slots repeated"), 1u);
     }},
    {"TwentyFourIntoThirty", [](CaptureRun& run) { run.device.source = ScriptedCapture::Timings(320, 180, 24), run.Frames(0ms, 3000ms, 24); }, 3s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         int repeats = 0;
         for (size_t i = 1; i < run.pictures.size(); ++i) {
             const bool repeat = run.pictures[i].luma == run.pictures[i - 1].luma;
             repeats += repeat;
             if (repeat && i > 1) {
                 EXPECT_NE(run.pictures[i - 1].luma, run.pictures[i - 2].luma) << "two repeats in a row";
             }
         }
         EXPECT_NEAR(repeats, 18, 2) << "one slot in five";
     }},
    {"StampsAhead", [](CaptureRun& run) { run.Frames(0ms, 2000ms, 30, 1s); }, 2s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         EXPECT_EQ(Lines(run, "the driver's time stamps are 1.000 s off the clock"), 1u);
         EXPECT_GE(run.pictures.size(), 58u);
     }},
    {"StampsBehind", [](CaptureRun& run) { run.Frames(0ms, 2000ms, 30, -5s); }, 2s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         EXPECT_EQ(Lines(run, "the driver's time stamps are -5.000 s off the clock"), 1u);
         EXPECT_GE(run.pictures.size(), 58u);
     }},
    // The stall that counts as no signal, and what comes after it.
    {"StallOfASecond",
     [](CaptureRun& run) {
         run.Frames(0ms, 1000ms, 60);
         run.Frames(3000ms, 5000ms, 60);
     },
     5s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         EXPECT_EQ(Lines(run, "no picture: no signal: no frame from the device for 1.0 s"), 1u);
         EXPECT_LT(FirstShowing(run, true, 0ms), 2100ms);
         EXPECT_LT(FirstShowing(run, false, 2100ms), 4000ms) << "the picture is back within a second";
     }},
    {"FirstFrameAfterASecondAndAHalf", [](CaptureRun& run) { run.Frames(1500ms, 4000ms, 30); }, 4s,
     [](const CaptureRun& run) {
         EXPECT_LT(FirstShowing(run, false, 0ms), 1600ms) << "the device started";
         EXPECT_LE(run.device.stream_ons, 2) << "started again and again";
         EXPECT_GT(run.pictures.size(), 60u);
     }},
    {"FramesTooShortToConvert", [](CaptureRun& run) { run.Frames(0ms, 3000ms, 30, 0ms, 0, 1000); }, 3s,
     [](const CaptureRun& run) {
         EXPECT_EQ(Lines(run, "dropped 1 frames too short to convert (1000 bytes of 86400)"), 1u)
             << "said once, and not as flagged by the driver";
         EXPECT_EQ(Lines(run, "flagged as bad"), 0u);
         EXPECT_EQ(Lines(run, "no picture: no signal: no frame from the device for"), 1u);
         ASSERT_FALSE(run.pictures.empty());
         EXPECT_EQ(run.pictures.back().luma, NO_SIGNAL_LUMA);
     }},
    {"ALateLoop",
     [](CaptureRun& run) {
         run.Frames(0ms, 3000ms, 30);
         run.At(1000ms, [&run] { run.busy = 300ms; });
         run.At(1300ms, [&run] { run.busy = 0ms; });
     },
     3s,
     [](const CaptureRun& run) {
         EXPECT_LE(run.most_in_a_cycle, 2u) << "a burst of encodes in one cycle";
         EXPECT_GT(run.pictures.size(), 70u);
     }},
    // Devices of the multi-planar interface only: NV12 in two planes, and in one.
    MultiPlanar("MultiPlanarNv12M", {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_NV12M}, "NM12"),
    MultiPlanar("MultiPlanarNv12InOnePlane", {V4L2_PIX_FMT_NV12}, "NV12"),
    // A USB grabber of MJPG only: each frame decoded, one that does not decode dropped and counted.
    {"MjpgOnly",
     [](CaptureRun& run) {
         run.device.inputs = {{"Camera", false}};
         run.device.formats = {V4L2_PIX_FMT_H264, V4L2_PIX_FMT_MJPEG};
         run.device.jpeg = GrayJpeg();
         run.Frames(0ms, 3000ms, 15);  // cut frames between whole ones, in slots of their own
         for (auto at : {1033ms, 1533ms, 2033ms})
             run.At(at, [&run, at] { run.device.SendFrame(Clock::time_point(std::chrono::hours(1000)) + at, 0, 0, 200); });
     },
     3s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         EXPECT_EQ(Lines(run, "capturing 160x90 MJPG at 30.00 fps, Rec.709 limited range, each frame decoded with libyuv"), 1u);
         EXPECT_EQ(Lines(run, "dropped 1 MJPG frames that do not decode (the last 200 bytes)"), 1u);
         EXPECT_EQ(Lines(run, ", 3 bad buffers dropped,"), 1u);
         for (const Picture& picture : run.pictures) EXPECT_NEAR(picture.luma, 128, 2) << "slot " << picture.slot;
     }},
    // A webcam or grabber is asked for the stream's rate, at the size it lists nearest the stream's.
    {"WebcamAskedForTheStreamsRate",  // at 5 fps until asked; 320x180 the smallest that holds 160x90
     [](CaptureRun& run) {
         run.device.inputs = {{"Camera", false}}, run.device.fps = 5;
         run.device.sizes[V4L2_PIX_FMT_NV12] = {{1280, 720}, {320, 180}, {640, 360}, {120, 90}};
         run.Frames(0ms, 2s, 30);
     },
     2s, Says("capturing 320x180 NV12 at 30.00 fps")},
    {"GrabberOfMjpgAtTheRate",  // its YUYV at 5 fps only
     [](CaptureRun& run) {
         run.device.inputs = {{"Camera", false}}, run.device.formats = {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG};
         run.device.fastest = {{V4L2_PIX_FMT_YUYV, 5}, {V4L2_PIX_FMT_MJPEG, 60}}, run.device.jpeg = GrayJpeg();
         run.Frames(0ms, 2s, 30);
     },
     2s, Says("capturing 160x90 MJPG at 30.00 fps")},
    // What reaches the encoder with each picture.
    {"ColoursReachTheEncoder",
     [](CaptureRun& run) {
         run.device.quantization = V4L2_QUANTIZATION_FULL_RANGE;
         run.Frames(0ms, 1000ms, 30);
     },
     1s,
     [](const CaptureRun& run) {
         ASSERT_FALSE(run.pictures.empty());
         EXPECT_EQ(run.pictures.back().colours, CS_YCBCR709_FULL);
     }},
    {"AWebcamAtItsOwnSize",
     [](CaptureRun& run) {
         run.device.inputs = {{"Camera", false}};
         run.device.fps = 30;
         run.Frames(0ms, 2000ms, 30);
     },
     2s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         EXPECT_EQ(Lines(run, "capturing 160x90 NV12 at 30.00 fps"), 1u);
     }},
};

// A source of 160x180 interlaced frames streamed at their own size, each
// frame's top field of luma L and its bottom field L + 40, in `field` order:
// `lines` is what every picture must show at lines 20 and 21, and 20 and 19
// from the bottom (woven: L then L + 40; blended: L + 20). L is 100, but for
// fields in buffers of their own: there it changes with each frame, and the
// device lost the first frame's top field, so that only the right two make a
// frame.
Row Interlaced(const char* name, uint32_t field, std::array<int, 4> lines, const char* said) {
    const bool alternate = field == V4L2_FIELD_ALTERNATE;
    return {name,
            [field, alternate](CaptureRun& run) {
                run.settings.height = 180;
                run.luma = alternate ? -1 : 100;
                run.luma_step = 2, run.luma_offset = 1;
                run.device.fields_lost_at_start = 1;
                run.device.interlaced_field = field;
                run.device.source = ScriptedCapture::Timings(160, 180, 30, true);
                run.Frames(0ms, 2000ms, alternate ? 60 : 30);
            },
            2s,
            [lines, said, alternate](const CaptureRun& run) {
                ExpectEverySlotOnce(run);
                EXPECT_GE(run.pictures.size(), 58u);
                for (const Picture& picture : run.pictures) {
                    const int top = alternate ? picture.lines[0] - lines[0] : 100;
                    for (size_t i = 0; i < lines.size(); ++i)
                        EXPECT_EQ(picture.lines[i], top + lines[i]) << "slot " << picture.slot << ", line " << i;
                }
                EXPECT_EQ(Lines(run, std::string("capturing 160x180 NV12 at 30.00 fps, Rec.709 limited range, ") + said), 1u);
                EXPECT_EQ(Lines(run, " 0 slots repeated"), 1u);
            }};
}

const std::array<int, 4> WOVEN = {0, 40, 0, 40};
const std::vector<Row> FIELD_ROWS = {
    Interlaced("FieldsAlternate", V4L2_FIELD_ALTERNATE, WOVEN, "interlaced: each frame's two fields woven"),
    Interlaced("FieldsTopThenBottom", V4L2_FIELD_SEQ_TB, WOVEN, "interlaced: the fields of each buffer woven"),
    Interlaced("FieldsBottomThenTop", V4L2_FIELD_SEQ_BT, WOVEN, "interlaced: the fields of each buffer woven"),
    Interlaced("FieldsInterleaved", V4L2_FIELD_INTERLACED, {20, 20, 20, 20},
               "interlaced: deinterlaced by blending each line with the next"),
    // Modes the receiver or the encoder cannot take: out of range, not no signal.
    {"FieldsOfOneParityOnly",
     [](CaptureRun& run) {
         run.device.interlaced_field = V4L2_FIELD_TOP, run.device.source = ScriptedCapture::Timings(320, 180, 30, true);
         run.Frames(0ms, 2s, 30);
     },
     2s,
     Says("no picture: out of range: the receiver cannot capture the source's mode: gives the fields in the order "
          "TOP, of which no whole frames can be made; the stream goes on with a picture that says \"OUT OF RANGE\"")},
    {"ModeTheReceiverRefuses", [](CaptureRun& run) { run.device.set_timings_error = EINVAL, run.Frames(0ms, 2s, 60); }, 2s,
     Says("no picture: out of range: the receiver cannot capture the source's mode: VIDIOC_S_DV_TIMINGS: (22) Invalid "
          "argument")},
    // The rate and the timings as a receiver measures them.
    {"ReducedFrameRate", [](CaptureRun& run) { run.device.source.bt.flags = V4L2_DV_FL_REDUCED_FPS, run.Frames(0ms, 1s, 60); },
     1s, Says("capturing 320x180 NV12 at 59.94 fps")},
    {"PixelClockMeasuredApart",  // 200 kHz up, 200 down, then 800 kHz up
     [](CaptureRun& run) {
         run.Frames(0ms, 4s, 60);
         for (auto [at, by] : std::vector<std::pair<Clock::duration, int>>{{1s, 200000}, {2s, -400000}, {3s, 1000000}})
             run.At(at, [&run, by = by] { run.device.source.bt.pixelclock += by; });
     },
     4s,
     [](const CaptureRun& run) {
         ExpectEverySlotOnce(run);
         EXPECT_EQ(run.device.stream_ons, 2) << "restarted for a clock within 250 kHz, or not for one beyond";
     }},
};

class CaptureSourceRows : public ::testing::TestWithParam<Row> {};

TEST_P(CaptureSourceRows, KeepOneSteadyStream) {
    const Row& row = GetParam();
    CaptureRun run;
    row.script(run);
    run.Run(row.length);
    EXPECT_EQ(run.buffers_kept, 0) << "a buffer was not given back to the driver";
    EXPECT_LT(run.cycles, 20000) << "the loop spun";
    row.check(run);
    if (::testing::Test::HasFailure())
        for (const auto& record : run.log.Records()) std::cout << record.text << "\n";
}

INSTANTIATE_TEST_SUITE_P(Scripted, CaptureSourceRows, ::testing::ValuesIn(ROWS),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Modes, CaptureSourceRows, ::testing::ValuesIn(FIELD_ROWS),
                         [](const auto& info) { return std::string(info.param.name); });

// Devices the capture cannot take are refused at the start with what they offer.
TEST(CaptureSourceOpen, RefusesADeviceItCannotTakeAndSaysWhy) {
    struct Refusal {
        uint32_t caps;
        std::vector<uint32_t> formats;
        const char* why;
    };
    const std::vector<Refusal> refusals = {
        {V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING, {V4L2_PIX_FMT_NV12}, "not a video capture device"},
        {V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, {V4L2_PIX_FMT_H264},
         "offers none of the pixel formats the encoder takes (NV12, NM12, NV21, YUYV, UYVY, YU12, YV12, MJPG); it offers H264"},
        {V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, {V4L2_PIX_FMT_NV12M}, "offers none of the pixel formats"},
        {V4L2_CAP_VIDEO_CAPTURE, {V4L2_PIX_FMT_NV12}, "cannot stream through mapped buffers"},
    };
    for (const Refusal& refusal : refusals) {
        ScriptedCapture device;
        device.caps = refusal.caps;
        device.formats = refusal.formats;
        LogCapture log;
        CaptureSource source({"enc5", WIDTH, HEIGHT, FPS, "/dev/scripted", -1, {}, {}}, [](const SourcePicture&) {}, device);
        EXPECT_NE(source.Open(), Status::SUCCESS) << refusal.why;
        EXPECT_EQ(log.Matching(std::string("enc5: /dev/scripted: ") + refusal.why).size(), 1u) << refusal.why;
        EXPECT_EQ(device.Descriptor(), -1) << "left open: " << refusal.why;
    }
}

}  // namespace
