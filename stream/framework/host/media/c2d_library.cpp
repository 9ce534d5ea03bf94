#include "c2d_library.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

#include <libyuv/planar_functions.h>
#include <libyuv/rotate.h>
#include <libyuv/scale.h>

#include "c2d_workers.h"
#include "scratch_memory.h"

namespace morwick {

namespace {

constexpr unsigned MAX_DEFAULT_THREADS = 4;
constexpr unsigned MAX_THREADS = 16;

// Scratch planes of the calling thread, kept between frames so that a frame
// costs no allocations (and no fresh pages).
uint8_t* Scratch(size_t bytes) {
    thread_local ScratchMemory scratch;
    return scratch.Reserve(bytes);
}

// Vertical-only bilinear resampling is libyuv's fast path (row interpolation);
// its horizontal filter gathers pixel pairs one at a time. A horizontal
// resampling is therefore done as a vertical one between two transposes,
// through `turned` (src_width x height) and `scaled` (dst_width x height).
void ScaleWidth(const uint8_t* src, int src_stride, int src_width, int height, uint8_t* dst, int dst_stride,
                int dst_width, uint8_t* turned, uint8_t* scaled) {
    libyuv::TransposePlane(src, src_stride, turned, height, src_width, height);
    libyuv::ScalePlane(turned, height, height, src_width, scaled, height, height, dst_width, libyuv::kFilterBilinear);
    libyuv::TransposePlane(scaled, height, dst, dst_stride, height, dst_width);
}

size_t Bytes(int width, int height) { return ScratchMemory::Piece(static_cast<size_t>(width) * height); }

unsigned DefaultThreads() {
    if (const char* text = getenv("LUMASET_C2D_THREADS")) {
        const long value = strtol(text, nullptr, 10);
        if (value >= 1 && value <= static_cast<long>(MAX_THREADS)) return static_cast<unsigned>(value);
    }
    return std::clamp(std::thread::hardware_concurrency(), 1u, MAX_DEFAULT_THREADS);
}

}  // namespace

C2DLibrary::C2DLibrary() : C2DLibrary(DefaultThreads()) {}

C2DLibrary::C2DLibrary(unsigned threads)
    : m_workers(std::make_unique<C2DWorkers>(std::clamp(threads, 1u, MAX_THREADS))) {}

C2DLibrary::~C2DLibrary() = default;

unsigned C2DLibrary::GetThreadCount() const { return m_workers->GetThreadCount(); }

void C2DLibrary::Run(const std::vector<Task>& tasks) { m_workers->Run(tasks); }

void C2DLibrary::CopyPlane(const Plane& src, const Plane& dst) const {
    libyuv::CopyPlane(src.data, src.stride, dst.data, dst.stride, dst.width, dst.height);
}

void C2DLibrary::SplitChroma(const Plane& src_uv, const Plane& dst_u, const Plane& dst_v) const {
    libyuv::SplitUVPlane(src_uv.data, src_uv.stride, dst_u.data, dst_u.stride, dst_v.data, dst_v.stride,
                         dst_u.width, dst_u.height);
}

void C2DLibrary::MergeChroma(const Plane& src_u, const Plane& src_v, const Plane& dst_uv) const {
    libyuv::MergeUVPlane(src_u.data, src_u.stride, src_v.data, src_v.stride, dst_uv.data, dst_uv.stride,
                         src_u.width, src_u.height);
}

void C2DLibrary::ScalePlane(const Plane& src, const Plane& dst, Filter filter) const {
    // Box averaging applies only when both sides shrink by more than half;
    // otherwise libyuv filters bilinearly, and so do we, one axis at a time,
    // except for the ratios libyuv has whole-frame kernels for.
    const auto both = [&](int dst_part, int src_part) {
        return dst.width * src_part == src.width * dst_part && dst.height * src_part == src.height * dst_part;
    };
    const bool box = filter == FILTER_BOX && dst.width * 2 < src.width && dst.height * 2 < src.height;
    const bool bilinear = filter == FILTER_BILINEAR || (filter == FILTER_BOX && !box);
    const bool kernel = both(1, 2) || both(3, 4) || both(3, 8);
    if (!bilinear || kernel || src.width == dst.width) {
        libyuv::ScalePlane(src.data, src.stride, src.width, src.height, dst.data, dst.stride, dst.width,
                           dst.height, static_cast<libyuv::FilterMode>(filter));
        return;
    }
    // Resample the width where there are fewer rows: before growing, after shrinking.
    if (dst.height == src.height) {
        uint8_t* turned = Scratch(Bytes(src.width, src.height) + Bytes(dst.width, src.height));
        ScaleWidth(src.data, src.stride, src.width, src.height, dst.data, dst.stride, dst.width, turned,
                   turned + Bytes(src.width, src.height));
    } else if (dst.height > src.height) {
        uint8_t* between =
            Scratch(Bytes(dst.width, src.height) + Bytes(src.width, src.height) + Bytes(dst.width, src.height));
        uint8_t* turned = between + Bytes(dst.width, src.height);
        ScaleWidth(src.data, src.stride, src.width, src.height, between, dst.width, dst.width, turned,
                   turned + Bytes(src.width, src.height));
        libyuv::ScalePlane(between, dst.width, dst.width, src.height, dst.data, dst.stride, dst.width, dst.height,
                           libyuv::kFilterBilinear);
    } else {
        uint8_t* between =
            Scratch(Bytes(src.width, dst.height) + Bytes(src.width, dst.height) + Bytes(dst.width, dst.height));
        uint8_t* turned = between + Bytes(src.width, dst.height);
        libyuv::ScalePlane(src.data, src.stride, src.width, src.height, between, src.width, src.width, dst.height,
                           libyuv::kFilterBilinear);
        ScaleWidth(between, src.width, src.width, dst.height, dst.data, dst.stride, dst.width, turned,
                   turned + Bytes(src.width, dst.height));
    }
}

}  // namespace morwick
