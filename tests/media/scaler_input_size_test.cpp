// The scaler's check of an input buffer's size, at the byte where it matters:
// a frame whose buffer ends at its last chroma byte is scaled, one byte less
// is refused. Each buffer ends where an inaccessible page begins, so a scaler
// that accepts too little and reads past the end faults instead of passing.
#include <gtest/gtest.h>

#include <linux/videodev2.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <ostream>
#include <string>

#include "guarded_memory.h"
#include "log_capture.h"
#include "nv12_image.h"
#include "video_scaler.h"

using morwick::C2DLibrary;
using morwick::VideoScaler;
using Surface = VideoScaler::SurfaceConfiguration;

namespace {

// Bytes from the start of a Venus frame to the end of its last chroma row's pixels.
size_t LastChromaByte(int width, int height) {
    const morwick::BufferFormat format = VenusFormat(width, height);
    return format.chroma_offset + static_cast<size_t>(format.stride) * (height / 2 - 1) + width;
}

// Keeps the first frame it is given.
class FirstFrameSink : public StreamSink {
public:
    Status PushBuffer(const std::shared_ptr<Buffer>& buffer) override {
        const BufferMetadata metadata = buffer->GetMetadata();
        if (frame.width == 0) frame = LoadVenus(buffer->GetAddress(), metadata.width, metadata.height);
        return Status::SUCCESS;
    }
    Nv12Image frame;
};

struct InputSizeRow {
    const char* name;
    int width, height;
    size_t short_by;  // bytes the buffer lacks of the frame's last chroma byte
};

// Widths that are no multiple of 128 leave padding after the last chroma
// row's pixels; 1280x720, the probe's frame, has none.
const InputSizeRow INPUT_SIZE_ROWS[] = {
    {"EndsAtTheLastChromaByte854x480", 854, 480, 0},
    {"OneByteShort854x480", 854, 480, 1},
    {"EndsAtTheLastChromaByte1000x562", 1000, 562, 0},
    {"OneByteShort1000x562", 1000, 562, 1},
    {"EndsAtTheLastChromaByte1280x720", 1280, 720, 0},
    {"OneByteShort1280x720", 1280, 720, 1},
};

// Names the row in test names and failures.
void PrintTo(const InputSizeRow& row, std::ostream* out) { *out << row.name; }

class ScalerInputSize : public ::testing::TestWithParam<InputSizeRow> {};

}  // namespace

TEST_P(ScalerInputSize, TakesExactlyTheBytesTheFrameNeeds) {
    const InputSizeRow& row = GetParam();
    const size_t needed = LastChromaByte(row.width, row.height);
    const size_t size = needed - row.short_by;
    GuardedMemory memory(size);
    ASSERT_NE(memory.Data(), nullptr) << "no guarded memory: " << strerror(errno);
    const Nv12Image image = MakeTestFrame(row.width, row.height);
    std::shared_ptr<Buffer> buffer = Buffer::Borrow(memory.Data(), size);
    ASSERT_NE(buffer, nullptr);
    StoreVenus(image, *buffer);

    // A copy reads every pixel row to its end; a scaled output reads them all too.
    VideoScaler scaler(std::make_shared<C2DLibrary>(2), VideoScaler::Configuration{1});
    auto same = std::make_shared<FirstFrameSink>(), half = std::make_shared<FirstFrameSink>();
    const uint32_t box = C2DLibrary::FILTER_BOX;
    ASSERT_EQ(scaler.AddOutput({0, V4L2_PIX_FMT_NV12, box})->AddSink(same), Status::SUCCESS);
    ASSERT_EQ(scaler.AddOutput({Surface::SizeWord(640, 360), V4L2_PIX_FMT_NV12, box})->AddSink(half),
              Status::SUCCESS);

    LogCapture log;
    const Status status = scaler.PushBuffer(buffer);
    const std::string refusal = "VideoScaler: a " + std::to_string(row.width) + "x" + std::to_string(row.height) +
                                " frame needs " + std::to_string(needed) + " bytes, the buffer holds " +
                                std::to_string(size);
    if (row.short_by > 0) {
        EXPECT_NE(status, Status::SUCCESS);
        EXPECT_EQ(log.Matching(refusal).size(), 1u) << refusal;
        EXPECT_EQ(log.Records().size(), 1u);
        EXPECT_EQ(same->frame.width, 0) << "a refused frame was delivered";
        return;
    }
    EXPECT_EQ(status, Status::SUCCESS);
    EXPECT_TRUE(log.Records().empty()) << log.Records()[0].text;
    EXPECT_TRUE(same->frame.y == image.y && same->frame.u == image.u && same->frame.v == image.v)
        << "the passthrough copy differs from the input";
    const Nv12Image reference = ReferenceScale(image, 640, 360, false);
    ASSERT_EQ(half->frame.width, 640);
    EXPECT_GE(Psnr(half->frame.y, reference.y), 38.0);
    EXPECT_GE(Psnr(half->frame.u, reference.u), 38.0);
    EXPECT_GE(Psnr(half->frame.v, reference.v), 38.0);
}

INSTANTIATE_TEST_SUITE_P(Rows, ScalerInputSize, ::testing::ValuesIn(INPUT_SIZE_ROWS));
