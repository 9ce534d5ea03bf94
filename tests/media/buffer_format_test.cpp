#include <gtest/gtest.h>

#include <linux/videodev2.h>

#include "buffer_format.h"

using morwick::BufferFormat;
using morwick::GetBufferFormat;

TEST(BufferFormat, VenusNv12LayoutOfTheScalerSizes) {
    struct Expected {
        int width, height;
        uint32_t size, stride, scanlines, chroma_scanlines, chroma_offset;
    };
    for (const Expected& e : {Expected{1920, 1080, 3145728, 1920, 1088, 544, 2088960},
                              Expected{1280, 720, 1425408, 1280, 736, 368, 942080},
                              Expected{854, 480, 659456, 896, 480, 240, 430080},
                              Expected{640, 360, 380928, 640, 384, 192, 245760},
                              Expected{2, 1, 20480, 128, 32, 16, 4096}}) {
        BufferFormat format;
        ASSERT_EQ(GetBufferFormat(e.width, e.height, V4L2_PIX_FMT_NV12, CS_YCBCR601_LIMITED, format), Status::SUCCESS);
        EXPECT_EQ(format.size, e.size) << e.width << "x" << e.height;
        EXPECT_EQ(format.stride, e.stride) << e.width << "x" << e.height;
        EXPECT_EQ(format.scanlines, e.scanlines) << e.width << "x" << e.height;
        EXPECT_EQ(format.chroma_scanlines, e.chroma_scanlines) << e.width << "x" << e.height;
        EXPECT_EQ(format.chroma_offset, e.chroma_offset) << e.width << "x" << e.height;
    }
}

TEST(BufferFormat, RefusesOtherFormatsAndSizes) {
    BufferFormat format;
    format.size = 123;
    EXPECT_EQ(GetBufferFormat(1280, 720, V4L2_PIX_FMT_YUV420, CS_YCBCR601_LIMITED, format), Status::FAILURE_UNSUPPORTED);
    EXPECT_EQ(GetBufferFormat(1280, 720, V4L2_PIX_FMT_NV21, CS_YCBCR601_LIMITED, format), Status::FAILURE_UNSUPPORTED);
    EXPECT_EQ(GetBufferFormat(0, 720, V4L2_PIX_FMT_NV12, CS_YCBCR601_LIMITED, format), Status::FAILURE_INVALID);
    EXPECT_EQ(GetBufferFormat(1280, 0, V4L2_PIX_FMT_NV12, CS_YCBCR601_LIMITED, format), Status::FAILURE_INVALID);
    EXPECT_EQ(GetBufferFormat(-1280, 720, V4L2_PIX_FMT_NV12, CS_YCBCR601_LIMITED, format), Status::FAILURE_INVALID);
    EXPECT_EQ(GetBufferFormat(1280, -720, V4L2_PIX_FMT_NV12, CS_YCBCR601_LIMITED, format), Status::FAILURE_INVALID);
    EXPECT_EQ(GetBufferFormat(100000, 100000, V4L2_PIX_FMT_NV12, CS_YCBCR601_LIMITED, format), Status::FAILURE_INVALID);
    EXPECT_EQ(format.size, 123u);  // left alone on failure
}
