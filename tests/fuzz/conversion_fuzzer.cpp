// Feeds the plain <-> Venus NV12 conversion arbitrary sizes and buffers.
// Buffers are allocated to their exact sizes so that AddressSanitizer sees
// any byte read or written outside them; beyond that, every byte the
// conversion writes must be the right source byte, and the Venus alignment
// space must stay untouched.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "log.h"

void ConvertBetweenNV12AndVenusNV12(unsigned char* src, unsigned int src_size, unsigned char* dst,
                                    unsigned int dst_size, int width, int height, bool to_venus);

namespace {

const uint8_t UNTOUCHED = 0xA5;

template <typename T>
T Take(const uint8_t*& data, size_t& size) {
    T value{};
    const size_t n = size < sizeof value ? size : sizeof value;
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

// Where a byte of the destination comes from in the source; false for a byte
// no row covers (alignment space, or beyond the frame).
bool SourceOf(uint64_t dst_offset, uint64_t width, uint64_t height, bool to_venus,
              uint64_t& src_offset) {
    const uint64_t stride = (width + 127) / 128 * 128, scanlines = (height + 31) / 32 * 32;
    const uint64_t dst_step = to_venus ? stride : width, src_step = to_venus ? width : stride;
    const uint64_t dst_chroma = to_venus ? stride * scanlines : width * height;
    const uint64_t src_chroma = to_venus ? width * height : stride * scanlines;
    const bool chroma = dst_offset >= dst_chroma;
    const uint64_t in_plane = dst_offset - (chroma ? dst_chroma : 0);
    if (dst_step == 0) return false;
    const uint64_t row = in_plane / dst_step, col = in_plane % dst_step;
    if (col >= width || row >= (chroma ? height / 2 : height)) return false;
    src_offset = (chroma ? src_chroma : 0) + row * src_step + col;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Format every diagnostic, but keep the fuzzer's output readable.
    Log::Instance().SetCapture([](Log::Level, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Sizes small enough to run thousands of cases a second, with the
    // alignment boundaries (128 columns, 32 rows) and negative sizes inside the range.
    const int width = static_cast<int>(Take<uint16_t>(data, size) % 300) - 4;
    const int height = static_cast<int>(Take<uint16_t>(data, size) % 100) - 4;
    const bool to_venus = Take<uint8_t>(data, size) & 1;
    const unsigned dst_size = Take<uint32_t>(data, size) % (1u << 16);
    const unsigned src_size = Take<uint32_t>(data, size) % (1u << 16);

    // Exact-size heap buffers: one byte too far is a sanitizer report. The
    // source repeats the rest of the input, so whole frames come cheaply.
    std::unique_ptr<uint8_t[]> src(new uint8_t[src_size ? src_size : 1]);
    for (unsigned i = 0; i < src_size; ++i)
        src[i] = size ? data[i % size] : static_cast<uint8_t>(i * 31 + i / 251);
    std::unique_ptr<uint8_t[]> dst(new uint8_t[dst_size ? dst_size : 1]);
    std::memset(dst.get(), UNTOUCHED, dst_size);

    ConvertBetweenNV12AndVenusNV12(src.get(), src_size, dst.get(), dst_size, width, height,
                                   to_venus);

    for (uint64_t offset = 0; offset < dst_size; ++offset) {
        if (dst[offset] == UNTOUCHED) continue;
        uint64_t from = 0;
        const bool covered = width > 0 && height > 0 &&
                             SourceOf(offset, static_cast<uint64_t>(width),
                                      static_cast<uint64_t>(height), to_venus, from);
        if (!covered || from >= src_size || dst[offset] != src[from]) __builtin_trap();
    }
    return 0;
}
