#include "c2d_library.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

#include "c2d_workers.h"

namespace morwick {

namespace {

constexpr unsigned MAX_DEFAULT_THREADS = 4;
constexpr unsigned MAX_THREADS = 16;

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
    libyuv::ScalePlane(src.data, src.stride, src.width, src.height, dst.data, dst.stride, dst.width,
                       dst.height, static_cast<libyuv::FilterMode>(filter));
}

}  // namespace morwick
