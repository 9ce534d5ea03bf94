// The plain <-> Venus NV12 conversion: where rows land, what it leaves
// alone, and how it stops at buffers that are too small.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "conversion.h"
#include "log_capture.h"

namespace {

const char* const SIZE_ERROR = "Unexpected buffer size. Not large enough";
const uint8_t UNTOUCHED = 0xA5;

// Venus geometry of the probe's frame sizes, worked out by hand.
struct Geometry {
    int width, height;
    unsigned stride, chroma_offset, venus_end, plain_size;
};
const Geometry SIZES[] = {
    {1920, 1080, 1920, 2088960, 3125760, 3110400},
    {1280, 720, 1280, 942080, 1402880, 1382400},
    {854, 480, 896, 430080, 645078, 614880},
    {640, 360, 640, 245760, 360960, 345600},
};

void PrintTo(const Geometry& g, std::ostream* os) { *os << g.width << "x" << g.height; }

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
        if (b == UNTOUCHED) b = 0;  // so an untouched byte is never mistaken for a copied one
    }
    return bytes;
}

void Convert(std::vector<uint8_t>& src, std::vector<uint8_t>& dst, int width, int height,
             bool to_venus) {
    ConvertBetweenNV12AndVenusNV12(src.data(), static_cast<unsigned>(src.size()), dst.data(),
                                   static_cast<unsigned>(dst.size()), width, height, to_venus);
}

// Every byte of a Venus buffer either holds its plain counterpart or was left alone.
void ExpectVenusLayout(const Geometry& g, const std::vector<uint8_t>& plain,
                       const std::vector<uint8_t>& venus) {
    const size_t w = static_cast<size_t>(g.width), h = static_cast<size_t>(g.height);
    for (size_t offset = 0; offset < venus.size(); ++offset) {
        const bool chroma = offset >= g.chroma_offset;
        const size_t row = (offset - (chroma ? g.chroma_offset : 0)) / g.stride;
        const size_t col = (offset - (chroma ? g.chroma_offset : 0)) % g.stride;
        const bool pixel = col < w && row < (chroma ? h / 2 : h);
        if (pixel) {
            const size_t plain_offset = (chroma ? w * h : 0) + row * w + col;
            ASSERT_EQ(venus[offset], plain[plain_offset]) << "Venus offset " << offset;
        } else {
            ASSERT_EQ(venus[offset], UNTOUCHED) << "alignment byte written at " << offset;
        }
    }
}

class ConversionLayout : public ::testing::TestWithParam<Geometry> {};

TEST_P(ConversionLayout, PlainToVenusPutsRowsAtStrideAndLeavesAlignmentAlone) {
    const Geometry g = GetParam();
    LogCapture log;
    auto plain = Pattern(g.plain_size, 1);
    std::vector<uint8_t> venus(g.venus_end + 4096, UNTOUCHED);
    Convert(plain, venus, g.width, g.height, true);
    ExpectVenusLayout(g, plain, venus);
    EXPECT_TRUE(log.Matching(SIZE_ERROR).empty());
}

TEST_P(ConversionLayout, VenusToPlainPacksRowsAndRoundTrips) {
    const Geometry g = GetParam();
    LogCapture log;
    auto plain = Pattern(g.plain_size, 2);
    std::vector<uint8_t> venus(g.venus_end, UNTOUCHED);  // exactly to the last chroma byte
    Convert(plain, venus, g.width, g.height, true);
    std::vector<uint8_t> back(g.plain_size, UNTOUCHED);
    Convert(venus, back, g.width, g.height, false);
    EXPECT_EQ(back, plain);
    EXPECT_TRUE(log.Matching(SIZE_ERROR).empty());
}

TEST_P(ConversionLayout, OneByteShortOfTheLastChromaRowStopsBeforeIt) {
    const Geometry g = GetParam();
    LogCapture log;
    auto plain = Pattern(g.plain_size, 3);
    std::vector<uint8_t> venus(g.venus_end - 1, UNTOUCHED);
    Convert(plain, venus, g.width, g.height, true);
    EXPECT_EQ(log.Matching(SIZE_ERROR).size(), 1u);
    // Everything up to the last chroma row was copied, that row not at all.
    const size_t last_row = g.chroma_offset + (g.height / 2 - 1) * size_t{g.stride};
    const size_t last_plain_row = g.plain_size - g.width;
    EXPECT_EQ(venus[last_row - g.stride], plain[last_plain_row - g.width]);
    for (size_t i = last_row; i < venus.size(); ++i) ASSERT_EQ(venus[i], UNTOUCHED) << i;
}

INSTANTIATE_TEST_SUITE_P(ProbeSizes, ConversionLayout, ::testing::ValuesIn(SIZES),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

TEST(ConversionHeights, TinyOddAndEmptyHeights) {
    LogCapture log;
    const int width = 200;  // stride 256
    auto plain = Pattern(width * 8, 4);

    // Height 1: one luma row and no chroma.
    std::vector<uint8_t> venus(256 * 64, UNTOUCHED);
    Convert(plain, venus, width, 1, true);
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + width, venus.begin()));
    EXPECT_EQ(venus[width], UNTOUCHED);
    EXPECT_EQ(venus[256 * 32], UNTOUCHED) << "a chroma row was copied for height 1";

    // Height 5: five luma rows, then two chroma rows at stride * 32.
    venus.assign(256 * 64, UNTOUCHED);
    Convert(plain, venus, width, 5, true);
    for (int row = 0; row < 5; ++row)
        EXPECT_TRUE(std::equal(plain.begin() + row * width, plain.begin() + (row + 1) * width,
                               venus.begin() + row * 256)) << "luma row " << row;
    for (int row = 0; row < 2; ++row)
        EXPECT_TRUE(std::equal(plain.begin() + (5 + row) * width,
                               plain.begin() + (6 + row) * width,
                               venus.begin() + 256 * 32 + row * 256)) << "chroma row " << row;
    EXPECT_EQ(venus[256 * 32 + 2 * 256], UNTOUCHED) << "a third chroma row for height 5";

    // Height 0 or negative: nothing at all.
    for (int height : {0, -1, -720}) {
        venus.assign(256 * 64, UNTOUCHED);
        Convert(plain, venus, width, height, true);
        EXPECT_EQ(std::count(venus.begin(), venus.end(), UNTOUCHED), 256 * 64) << height;
    }
    EXPECT_TRUE(log.Records().empty());
}

TEST(ConversionEmpty, ZeroWidthAndEmptyBuffers) {
    LogCapture log;
    std::vector<uint8_t> src(64, 1), dst(64, UNTOUCHED);

    // No bytes per row: nothing to copy and nothing wrong.
    Convert(src, dst, 0, 720, true);
    Convert(src, dst, 0, 720, false);
    EXPECT_EQ(std::count(dst.begin(), dst.end(), UNTOUCHED), 64);
    EXPECT_TRUE(log.Records().empty());

    // An empty source: the first check refuses, once.
    ConvertBetweenNV12AndVenusNV12(src.data(), 0, dst.data(), 64, 0, 720, true);
    EXPECT_EQ(log.Matching(SIZE_ERROR).size(), 1u);

    // Null, empty buffers on either side: refused, never touched.
    log.Clear();
    ConvertBetweenNV12AndVenusNV12(nullptr, 0, dst.data(), 64, 16, 2, true);
    ConvertBetweenNV12AndVenusNV12(src.data(), 64, nullptr, 0, 16, 2, false);
    EXPECT_EQ(log.Matching(SIZE_ERROR).size(), 2u);
}

TEST(ConversionBounds, ShortSourceStopsAtTheFirstRowThatWouldReadPastIt) {
    LogCapture log;
    // 500000 bytes hold 390 whole rows of 1280; row 391 would end at 500480.
    auto plain = Pattern(500000, 5);
    std::vector<uint8_t> venus(1425408, UNTOUCHED);
    Convert(plain, venus, 1280, 720, true);

    const auto errors = log.Matching(SIZE_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].text.find("[test/scaler_probe:"), std::string::npos) << errors[0].text;
    EXPECT_NE(errors[0].text.find(" ConvertBetweenNV12AndVenusNV12():\n\t"), std::string::npos);
    EXPECT_EQ(errors[0].level, Log::Level::ERROR);
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 390 * 1280, venus.begin()));
    EXPECT_EQ(std::count(venus.begin() + 390 * 1280, venus.end(), UNTOUCHED),
              static_cast<long>(venus.size() - 390 * 1280));
}

TEST(ConversionBounds, LumaAndChromaFailuresComeFromTheirOwnCheck) {
    LogCapture log;
    std::vector<uint8_t> venus(1425408, UNTOUCHED);
    auto luma_short = Pattern(1280 * 100, 6);
    Convert(luma_short, venus, 1280, 720, true);
    auto chroma_short = Pattern(1280 * 720 + 1280 * 100, 7);
    Convert(chroma_short, venus, 1280, 720, true);

    const auto errors = log.Matching(SIZE_ERROR);
    ASSERT_EQ(errors.size(), 2u);
    // The prefix's line numbers ("[file:line]") differ between the two planes.
    auto line = [](const std::string& text) { return text.substr(text.find('[')); };
    EXPECT_NE(line(errors[0].text).substr(0, 30), line(errors[1].text).substr(0, 30));
    // The chroma failure came after the whole luma plane and 100 chroma rows.
    EXPECT_TRUE(std::equal(chroma_short.begin() + 1280 * 720, chroma_short.end(),
                           venus.begin() + 942080));
    EXPECT_EQ(venus[942080 + 100 * 1280], UNTOUCHED);
}

TEST(ConversionBounds, LongSourceIgnoresTheExtraBytes) {
    LogCapture log;
    auto plain = Pattern(1382400 + 5000, 8);
    std::vector<uint8_t> venus(1425408, UNTOUCHED);
    Convert(plain, venus, 1280, 720, true);
    EXPECT_TRUE(log.Records().empty());
    plain.resize(1382400);
    ExpectVenusLayout(SIZES[1], plain, venus);
}

TEST(ConversionBounds, HugeWidthsNeverWrapTheChecks) {
    LogCapture log;
    std::vector<uint8_t> src(4096, 1), dst(4096, UNTOUCHED);
    // Sizes whose products pass 32 bits (and a width no buffer holds) are refused at once.
    Convert(src, dst, 0x7fffffff, 2, true);
    Convert(src, dst, 0x7fffff80, 0x7fffffe0, false);
    Convert(src, dst, -1280, 720, true);
    EXPECT_EQ(log.Matching(SIZE_ERROR).size(), 3u);
    EXPECT_EQ(std::count(dst.begin(), dst.end(), UNTOUCHED), 4096);
}

}  // namespace
