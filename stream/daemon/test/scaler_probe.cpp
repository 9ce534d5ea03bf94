// Pushes one 1280x720 NV12 frame through a scaler with five outputs
// (upscale, passthrough, two chained downscales and a duplicate request)
// and writes every output frame to its own file.

#include <sys/stat.h>

#include <linux/videodev2.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "buffer.h"
#include "buffer_format.h"
#include "buffer_metadata.h"
#include "buffer_pool.h"
#include "c2d_library.h"
#include "color_space.h"
#include "diagnostics.h"
#include "local_file_sink.h"
#include "metadata_memory.h"
#include "stream_sink.h"
#include "stream_source.h"
#include "timebase.h"
#include "video_scaler.h"

std::string help =
    "Usage:\n"
    "\tscaler_probe [-h]\n"
    "\n"
    "Description:\n"
    "\tThis test app tests the Morwick video scaler. It tests upscale, passthrough,\n"
    "\tand chained downscaling, as well as duplicate requests for the same output.\n"
    "\n"
    "\tIt expects a file named 'source_image_720.yuv' to be in same directory that this\n"
    "\tapp is run in, and the file should contain a raw NV12 1280x720 frame.\n"
    "\n"
    "\tThe input frame will be scaled to the following resolutions:\n"
    "\t\t1920x1080\n"
    "\t\t1280x720 (Passthrough)\n"
    "\t\t854x480\n"
    "\t\t640x360\n"
    "\n"
    "\tEach scaled output will be written as a raw NV12 frame to the following files:\n"
    "\t\tscaled_1080.yuv\n"
    "\t\tscaled_720.yuv\n"
    "\t\tscaled_480.yuv\n"
    "\t\tscaled_360.yuv\n"
    "\t\tscaled_360_dup.yuv (Tests duplicate outputs)\n"
    "\n";

namespace {

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// True when `count` bytes at each offset lie inside their buffer. Written
// so that no sum can wrap.
bool RowFits(uint64_t src_offset, unsigned int src_size, uint64_t dst_offset,
             unsigned int dst_size, uint64_t count) {
    return src_offset < src_size && dst_offset < dst_size && count <= src_size - src_offset &&
           count <= dst_size - dst_offset;
}

// The size word of a scaler request: height in bits 0-13, width in bits 14-27.
constexpr uint32_t SurfaceSize(uint32_t width, uint32_t height) {
    return (width << 14) | height;
}

}  // namespace

// Copies an NV12 frame between the plain layout (rows `width` bytes apart)
// and the Venus layout (rows `stride` bytes apart, chroma after `scanlines`
// luma rows). Every row is checked against both buffers before it is copied;
// the copy stops at the first row that does not fit, keeping earlier rows.
void ConvertBetweenNV12AndVenusNV12(unsigned char* src, unsigned int src_size, unsigned char* dst,
                                    unsigned int dst_size, int width, int height, bool to_venus) {
    if (height <= 0) return;
    // A negative width cannot fit any buffer: the first row check refuses it.
    const uint64_t row_bytes = width < 0 ? UINT64_MAX : static_cast<uint64_t>(width);
    const uint64_t stride = width < 0 ? 0 : AlignUp(row_bytes, 128);
    const uint64_t scanlines = AlignUp(static_cast<uint64_t>(height), 32);
    const uint64_t src_step = to_venus ? row_bytes : stride;
    const uint64_t dst_step = to_venus ? stride : row_bytes;

    // Offsets rather than pointers: they may run past a buffer without
    // forming an invalid pointer, and the check sees them before any use.
    uint64_t src_offset = 0;
    uint64_t dst_offset = 0;
    uint64_t& venus_offset = to_venus ? dst_offset : src_offset;
    auto copy_row = [&]() {
        if (!RowFits(src_offset, src_size, dst_offset, dst_size, row_bytes)) return false;
        std::memmove(dst + dst_offset, src + src_offset, row_bytes);
        src_offset += src_step;
        dst_offset += dst_step;
        return true;
    };

    for (int row = 0; row < height; ++row) {
        if (!copy_row()) {
            DIAG_MESSAGE("Unexpected buffer size. Not large enough");
            return;
        }
    }

    // The Venus chroma plane starts after the luma alignment rows; the plain
    // one right after the last luma row, where its cursor already stands.
    venus_offset = stride * scanlines;
    if (height < 2) return;

    for (int row = 0; row < height / 2; ++row) {
        if (!copy_row()) {
            DIAG_MESSAGE("Unexpected buffer size. Not large enough");
            return;
        }
    }
}

// Writes every frame it is given, in the plain NV12 layout, to one file.
class AndroidBufferFileSink : public StreamSink {
public:
    explicit AndroidBufferFileSink(const std::string& path) : m_file_sink(path, "w") {}
    ~AndroidBufferFileSink() override = default;

    Status PushBuffer(const std::shared_ptr<Buffer>& buffer) override;

private:
    LocalFileSink m_file_sink;
};

Status AndroidBufferFileSink::PushBuffer(const std::shared_ptr<Buffer>& buffer) {
    const BufferMetadata metadata = buffer->GetMetadata();
    const int width = metadata.width;
    const int height = metadata.height;
    // Sized in 64 bits: a product past 32 bits is refused, never wrapped.
    const int64_t pixels = static_cast<int64_t>(width) * height;
    const int64_t frame_size = pixels + pixels / 2;
    if (width < 0 || height < 0 || frame_size > INT32_MAX) {
        DIAG_MESSAGE("Unexpected frame size. Not a frame");
        return Status::FAILURE_INVALID;
    }

    morwick::MetadataMemory memory(buffer->GetData());
    std::vector<unsigned char> dst_buf(static_cast<size_t>(frame_size));
    ConvertBetweenNV12AndVenusNV12(static_cast<unsigned char*>(memory.GetMemory()->pointer()),
                                   memory.GetMemory()->size(), dst_buf.data(), dst_buf.size(),
                                   width, height, false);

    // What the conversion could not fill stays zero; the frame is whole either way.
    return DIAG_STATUS(m_file_sink.Write(dst_buf.data(), dst_buf.size()));
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "-h") == 0) {
        printf("%s", help.c_str());
        return 0;
    }

    std::string image_file_path = "source_image_720.yuv";

    std::shared_ptr<morwick::C2DLibrary> c2d_library(new morwick::C2DLibrary());
    morwick::VideoScaler scaler(c2d_library, morwick::VideoScaler::Configuration{9});

    const morwick::VideoScaler::SurfaceConfiguration surface_1080 = {SurfaceSize(1920, 1080),
                                                                     V4L2_PIX_FMT_NV12, 3};
    const morwick::VideoScaler::SurfaceConfiguration surface_720 = {0, V4L2_PIX_FMT_NV12, 3};
    const morwick::VideoScaler::SurfaceConfiguration surface_480 = {SurfaceSize(854, 480),
                                                                    V4L2_PIX_FMT_NV12, 3};
    const morwick::VideoScaler::SurfaceConfiguration surface_360 = {SurfaceSize(640, 360),
                                                                    V4L2_PIX_FMT_NV12, 3};
    const morwick::VideoScaler::SurfaceConfiguration surface_360_dup = {SurfaceSize(640, 360),
                                                                        V4L2_PIX_FMT_NV12, 3};

    std::shared_ptr<StreamSource> output_360 = scaler.AddOutput(surface_360);
    std::shared_ptr<StreamSource> output_1080 = scaler.AddOutput(surface_1080);
    std::shared_ptr<StreamSource> output_720 = scaler.AddOutput(surface_720);
    std::shared_ptr<StreamSource> output_480 = scaler.AddOutput(surface_480);
    std::shared_ptr<StreamSource> output_360_dup = scaler.AddOutput(surface_360_dup);
    // A refused request would leave nothing to attach a sink to.
    if (!output_360 || !output_1080 || !output_720 || !output_480 || !output_360_dup) {
        DIAG_MESSAGE("The scaler refused an output request");
        exit(-1);
    }

    auto sink_1080 = std::make_shared<AndroidBufferFileSink>("scaled_1080.yuv");
    auto sink_720 = std::make_shared<AndroidBufferFileSink>("scaled_720.yuv");
    auto sink_480 = std::make_shared<AndroidBufferFileSink>("scaled_480.yuv");
    auto sink_360 = std::make_shared<AndroidBufferFileSink>("scaled_360.yuv");
    auto sink_360_dup = std::make_shared<AndroidBufferFileSink>("scaled_360_dup.yuv");

    output_1080->AddSink(sink_1080);
    output_720->AddSink(sink_720);
    output_480->AddSink(sink_480);
    output_360->AddSink(sink_360);
    output_360_dup->AddSink(sink_360_dup);

    using morwick::GetBufferFormat;
    morwick::BufferFormat buffer_format;
    if (DIAG_STATUS(GetBufferFormat(1280, 720, V4L2_PIX_FMT_NV12, CS_YCBCR601_LIMITED,
                                    buffer_format)) != Status::SUCCESS) {
        exit(-1);
    }

    const morwick::AndroidMetadataBufferPool::Configuration pool_configuration = {
        1, buffer_format.scanlines, 4096, 0x2000000, 0, buffer_format.stride, buffer_format.size};
    auto input_buffer_pool =
        std::make_shared<morwick::AndroidMetadataBufferPool>("scaler_input_pool", pool_configuration);

    std::shared_ptr<Buffer> image_buffer;
    if (DIAG_STATUS(input_buffer_pool->GetBuffer(image_buffer, 1000)) != Status::SUCCESS) {
        exit(-1);
    }
    image_buffer->SetFlags(image_buffer->GetFlags());

    BufferMetadata metadata;
    metadata.is_video_frame = 1;
    metadata.plane_count = 2;
    metadata.width = 1280;
    metadata.height = 720;
    metadata.pixel_format = V4L2_PIX_FMT_NV12;
    metadata.color_space = CS_YCBCR601_LIMITED;
    image_buffer->SetMetadata(metadata);

    struct stat st;
    if (DIAG_ERRNO(stat(image_file_path.c_str(), &st)) < 0) {
        exit(-1);
    }

    std::vector<unsigned char> image_data(static_cast<uint32_t>(st.st_size));
    // Bytes that cannot be read stay zero and the run goes on, but a file that
    // cannot be opened or read is said so, once. A short file is no read error:
    // it ends in end-of-file, and the conversion reports its size.
    errno = 0;
    std::ifstream image_file(image_file_path, std::ios::in | std::ios::binary);
    image_file.read(reinterpret_cast<char*>(image_data.data()),
                    static_cast<std::streamsize>(image_data.size()));
    if (!image_file.is_open() || image_file.bad()) {
        DIAG_MESSAGE("Unable to read source_image_720.yuv: %m");
    }
    image_file.close();

    {
        morwick::MetadataMemory memory(image_buffer->GetData());
        ConvertBetweenNV12AndVenusNV12(image_data.data(), image_data.size(),
                                       static_cast<unsigned char*>(memory.GetMemory()->pointer()),
                                       memory.GetMemory()->size(), 1280, 720, true);
    }

    DIAG_STATUS(scaler.PushBuffer(image_buffer));

    info("Scaler Setup:");
    info("%s", scaler.str().c_str());

    output_1080->RemoveSink(sink_1080);
    output_720->RemoveSink(sink_720);
    output_480->RemoveSink(sink_480);
    output_360->RemoveSink(sink_360);
    output_360_dup->RemoveSink(sink_360_dup);

    output_1080.reset();
    output_720.reset();
    output_480.reset();
    output_360.reset();
    output_360_dup.reset();

    scaler.RemoveOutput(surface_360_dup);
    info("Scaler Setup with the duplicate 360 output removed:");
    info("%s", scaler.str().c_str());

    scaler.RemoveOutput(surface_1080);
    scaler.RemoveOutput(surface_720);
    scaler.RemoveOutput(surface_480);
    scaler.RemoveOutput(surface_360);
    info("Scaler Setup with all outputs removed:");
    info("%s", scaler.str().c_str());

    return 0;
}
