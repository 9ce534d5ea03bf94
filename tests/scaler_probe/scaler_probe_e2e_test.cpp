// The real scaler_probe, run in a folder of its own: usage, and the files it
// writes from a good frame, their contents and its reports. Faults and bad
// input are the table of scaler_probe_faults_test.cpp.
#include <gtest/gtest.h>

#include "probe_run.h"
#include "reference_scale.h"
#include "test_frame.h"

namespace {

const char* const USAGE =
    "Usage:\n\tscaler_probe [-h]\n\nDescription:\n\tThis test app tests the Morwick video scaler. "
    "It tests upscale, passthrough,\n\tand chained downscaling, as well as duplicate requests for "
    "the same output.\n\n\tIt expects a file named 'source_image_720.yuv' to be in same directory "
    "that this\n\tapp is run in, and the file should contain a raw NV12 1280x720 frame.\n\n\tThe "
    "input frame will be scaled to the following resolutions:\n\t\t1920x1080\n\t\t1280x720 "
    "(Passthrough)\n\t\t854x480\n\t\t640x360\n\n\tEach scaled output will be written as a raw NV12 "
    "frame to the following files:\n\t\tscaled_1080.yuv\n\t\tscaled_720.yuv\n\t\tscaled_480.yuv\n\t\t"
    "scaled_360.yuv\n\t\tscaled_360_dup.yuv (Tests duplicate outputs)\n\n";

const double LUMA_PSNR = 37.0;
const double CHROMA_PSNR = 44.0;
const char* const SIZE_ERROR = "Unexpected buffer size. Not large enough";
const char* const REPORTS[] = {"Scaler Setup:\n", "Scaler Setup with the duplicate 360 output removed:\n",
                               "Scaler Setup with all outputs removed:\n"};

struct Output {
    const char* file;
    int width, height;
};
const Output OUTPUTS[] = {{"scaled_1080.yuv", 1920, 1080}, {"scaled_720.yuv", 1280, 720},
                          {"scaled_480.yuv", 854, 480},    {"scaled_360.yuv", 640, 360},
                          {"scaled_360_dup.yuv", 640, 360}};

size_t FrameBytes(const Output& o) { return size_t(o.width) * o.height * 3 / 2; }

class ScalerProbe : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_folder.Ok()) << "cannot make a temporary folder"; }

    void Input(const std::vector<uint8_t>& bytes) {
        WriteBytes(m_folder.File("source_image_720.yuv"), bytes);
    }

    // The three reports, in order, each once.
    void ExpectReports(const ProbeRun& run) {
        size_t at = 0;
        for (const char* report : REPORTS) {
            EXPECT_EQ(CountOf(run.err, report), 1u) << report << "in\n" << run.err;
            const size_t found = run.err.find(report);
            EXPECT_TRUE(found != std::string::npos && found >= at) << report << "out of order";
            at = found == std::string::npos ? at : found;
        }
    }

    void ExpectOneFramePerOutput() {
        for (const Output& o : OUTPUTS)
            EXPECT_EQ(ReadBytes(m_folder.File(o.file)).size(), FrameBytes(o)) << o.file;
    }

    ProbeFolder m_folder;
};

TEST_F(ScalerProbe, HelpPrintsTheUsageAndTouchesNothing) {
    const ProbeRun run = m_folder.Probe({"-h"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, USAGE);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(m_folder.Listing().empty());

    // "-h" only counts as the first argument; extra arguments do not matter.
    EXPECT_EQ(m_folder.Probe({"-h", "extra"}).out, USAGE);
}

TEST_F(ScalerProbe, CorrectInputGivesFiveFramesThatMatchAReferenceScaler) {
    const auto frame = frames::MakeTestFrame(1280, 720);
    Input(frame);
    // A first argument other than "-h" is a normal run.
    const ProbeRun run = m_folder.Probe({"-help"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.find(SIZE_ERROR), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(" failed with status "), std::string::npos) << run.err;
    ExpectReports(run);
    ExpectOneFramePerOutput();

    EXPECT_TRUE(ReadBytes(m_folder.File("scaled_720.yuv")) == frame) << "passthrough changed the frame";
    EXPECT_TRUE(ReadBytes(m_folder.File("scaled_360.yuv")) ==
                ReadBytes(m_folder.File("scaled_360_dup.yuv")));

    // Against libswscale (area down, bilinear up). The test frame's hard
    // full-contrast edges and fine gratings keep correct scalers that filter
    // differently near 39-40 dB luma; a one-pixel shift falls below the bar.
    for (const Output& o : {OUTPUTS[0], OUTPUTS[2], OUTPUTS[3]}) {
        const auto output = ReadBytes(m_folder.File(o.file));
        const auto reference = ReferenceScaleNV12(frame, 1280, 720, o.width, o.height);
        const auto psnr = CompareNV12(output, reference, o.width, o.height);
        EXPECT_GE(psnr.luma, LUMA_PSNR) << o.file;
        EXPECT_GE(psnr.chroma, CHROMA_PSNR) << o.file;
        std::printf("%s: PSNR luma %.1f dB, chroma %.1f dB\n", o.file, psnr.luma, psnr.chroma);

        // The comparison must be able to fail: the same frame one pixel to the left does.
        std::vector<uint8_t> shifted(output.begin() + 1, output.end());
        shifted.push_back(0);
        EXPECT_LT(CompareNV12(shifted, reference, o.width, o.height).luma, LUMA_PSNR) << o.file;
    }

    // The duplicate's removal leaves one 640x360 output; the last report has none.
    const std::string after_duplicate = run.err.substr(run.err.find(REPORTS[1]));
    const std::string last = run.err.substr(run.err.find(REPORTS[2]));
    EXPECT_NE(after_duplicate.substr(0, after_duplicate.find(REPORTS[2])).find("640x360"),
              std::string::npos) << after_duplicate;
    for (const char* size : {"640x360", "854x480", "1920x1080"})
        EXPECT_EQ(last.find(size), std::string::npos) << last;
}

}  // namespace
