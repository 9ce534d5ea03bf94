#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace morwick {

class C2DWorkers;

// The 2D blit engine: plane copies, chroma (de)interleaving and scaling on
// libyuv, and a few worker threads that run a frame's independent pieces
// side by side. Every plane comes with its own pointer, row stride and size;
// nothing is read or written outside width x height of a plane.
class C2DLibrary {
public:
    // Same numbering as the scaler's requests.
    enum Filter : uint32_t {
        FILTER_NONE = 0,      // nearest pixel
        FILTER_LINEAR = 1,    // horizontal interpolation only
        FILTER_BILINEAR = 2,  // bilinear
        FILTER_BOX = 3,       // area average when shrinking, bilinear when growing
    };

    struct Plane {
        uint8_t* data;
        int stride;
        int width;   // pixels (bytes per pixel: 1, or 2 for interleaved chroma)
        int height;
    };

    // Threads: LUMASET_C2D_THREADS when set (1 to 16), otherwise the CPUs
    // of the machine, at most 4. The calling thread counts as one.
    C2DLibrary();
    explicit C2DLibrary(unsigned threads);
    ~C2DLibrary();
    C2DLibrary(const C2DLibrary&) = delete;
    C2DLibrary& operator=(const C2DLibrary&) = delete;

    unsigned GetThreadCount() const;

    // A piece of a frame's work that may start once the tasks it waits for
    // (earlier indices of the same list) are done.
    struct Task {
        std::function<void()> work;
        std::vector<size_t> after;
    };

    // Runs every task once, spread over the caller and the worker threads,
    // and returns when all are done. Among the tasks ready to run, the one
    // listed first goes first, so list the costly ones early.
    void Run(const std::vector<Task>& tasks);

    // width x height bytes from src to dst.
    void CopyPlane(const Plane& src, const Plane& dst) const;
    // Interleaved chroma (src width = pixel pairs) into two planes, and back.
    void SplitChroma(const Plane& src_uv, const Plane& dst_u, const Plane& dst_v) const;
    void MergeChroma(const Plane& src_u, const Plane& src_v, const Plane& dst_uv) const;
    // One 8-bit plane to another size.
    void ScalePlane(const Plane& src, const Plane& dst, Filter filter) const;

private:
    std::unique_ptr<C2DWorkers> m_workers;
};

}  // namespace morwick
