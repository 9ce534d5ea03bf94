// The test-frame generator and the NV12 viewer that the probe's tests and
// demo rely on: a stable frame, true colours in the PNG, and a contact sheet
// that shows bad files instead of failing on them.
#include <gtest/gtest.h>

#include <png.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "contact_sheet.h"
#include "image.h"
#include "test_frame.h"

namespace {

struct Png {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* At(int x, int y) const { return &rgb[(size_t(y) * width + x) * 3]; }
};

Png ReadPng(const std::string& path) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    Png png;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return png;
    image.format = PNG_FORMAT_RGB;
    png.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, png.rgb.data(), 0, nullptr)) return png;
    png.width = static_cast<int>(image.width);
    png.height = static_cast<int>(image.height);
    return png;
}

// A flat NV12 frame of one BT.601 limited-range colour.
std::vector<uint8_t> Flat(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
    std::vector<uint8_t> frame(size_t(width) * height, y);
    for (int i = 0; i < width * height / 4; ++i) {
        frame.push_back(u);
        frame.push_back(v);
    }
    return frame;
}

class FrameTools : public ::testing::Test {
protected:
    void SetUp() override {
        char path[] = "/tmp/frame_tools_test.XXXXXX";
        ASSERT_NE(mkdtemp(path), nullptr);
        m_dir = path;
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }
    std::string File(const char* name) const { return m_dir + "/" + name; }

    std::string m_dir;
};

TEST_F(FrameTools, TestFrameIsStableAndFullOfContrastAndColour) {
    const auto frame = frames::MakeTestFrame(1280, 720);
    ASSERT_EQ(frame.size(), 1382400u);
    EXPECT_EQ(frame, frames::MakeTestFrame(1280, 720)) << "two calls gave different frames";
    EXPECT_TRUE(frames::MakeTestFrame(1279, 720).empty());
    EXPECT_TRUE(frames::MakeTestFrame(0, 720).empty());

    // Near black to near white in luma, and chroma far off grey both ways.
    const auto luma = std::minmax_element(frame.begin(), frame.begin() + 921600);
    const auto chroma = std::minmax_element(frame.begin() + 921600, frame.end());
    EXPECT_LT(*luma.first, 40);
    EXPECT_GT(*luma.second, 220);
    EXPECT_LT(*chroma.first, 60);
    EXPECT_GT(*chroma.second, 200);
}

TEST_F(FrameTools, PngKeepsRedGreenAndBlueApart) {
    struct Case {
        uint8_t y, u, v;
        uint8_t r, g, b;
    };
    // BT.601 limited-range codes of the primaries.
    for (const Case& c : {Case{81, 90, 240, 255, 0, 0}, Case{145, 54, 34, 0, 255, 0},
                          Case{41, 240, 110, 0, 0, 255}}) {
        const auto nv12 = Flat(64, 32, c.y, c.u, c.v);
        const frames::Image image = frames::ImageFromNV12(nv12.data(), nv12.size(), 64, 32);
        std::string error;
        ASSERT_TRUE(frames::WritePng(image, File("flat.png"), error)) << error;
        const Png png = ReadPng(File("flat.png"));
        ASSERT_EQ(png.width, 64);
        ASSERT_EQ(png.height, 32);
        const uint8_t* p = png.At(10, 10);
        EXPECT_NEAR(p[0], c.r, 6);
        EXPECT_NEAR(p[1], c.g, 6);
        EXPECT_NEAR(p[2], c.b, 6);
    }
    EXPECT_EQ(frames::ImageFromNV12(nullptr, 100, 64, 32).width, 0) << "a short frame was drawn";
}

TEST_F(FrameTools, ContactSheetShowsGoodAndBadFilesSideBySide) {
    const auto white = Flat(640, 360, 235, 128, 128);
    std::FILE* good = std::fopen(File("good.yuv").c_str(), "wb");
    ASSERT_NE(good, nullptr);
    std::fwrite(white.data(), 1, white.size(), good);
    std::fclose(good);
    std::fclose(std::fopen(File("empty.yuv").c_str(), "wb"));

    std::vector<frames::SheetEntry> entries(3);
    ASSERT_TRUE(frames::ParseSheetEntry(File("good.yuv") + ":640x360", entries[0]));
    ASSERT_TRUE(frames::ParseSheetEntry(File("empty.yuv") + ":640x360:empty one", entries[1]));
    ASSERT_TRUE(frames::ParseSheetEntry(File("missing.yuv") + ":1920x1080", entries[2]));
    EXPECT_EQ(entries[1].label, "empty one");
    frames::SheetEntry bad;
    EXPECT_FALSE(frames::ParseSheetEntry("file.yuv:640by360", bad));
    EXPECT_FALSE(frames::ParseSheetEntry("file.yuv", bad));

    frames::Image sheet;
    std::string error;
    ASSERT_TRUE(frames::MakeContactSheet(entries, sheet, error)) << error;
    ASSERT_TRUE(frames::WritePng(sheet, File("sheet.png"), error)) << error;
    const Png png = ReadPng(File("sheet.png"));
    ASSERT_EQ(png.width, 12 + 3 * (640 + 12));
    ASSERT_EQ(png.height, 12 + 30 + 360 + 12);

    // The good tile is white; the others are the grey of "nothing to show".
    const int tile_y = 12 + 30 + 180;
    EXPECT_GT(png.At(12 + 320, tile_y)[1], 240);
    for (int column : {1, 2}) {
        const uint8_t* p = png.At(12 + column * 652 + 320, tile_y);
        EXPECT_EQ(p[0], 0x50) << "tile " << column;
    }
}

}  // namespace
