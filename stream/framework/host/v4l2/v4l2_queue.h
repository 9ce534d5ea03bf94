#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <linux/videodev2.h>

#include "status.h"
#include "v4l2_node.h"

// One buffer queue of a V4L2 node, capture or output, single- or
// multi-planar, with mapped buffers: its formats, its buffers (request, map,
// queue, dequeue) and its streaming. A capture device has one; a
// memory-to-memory device has two, OUTPUT (what goes in) and CAPTURE (what
// comes out). Failures are kept on the node.
class V4l2Queue {
public:
    enum class Direction { CAPTURE, OUTPUT };
    static constexpr size_t MAX_PLANES = VIDEO_MAX_PLANES;

    struct Plane {
        uint32_t bytes_per_line = 0;
        uint32_t size = 0;
    };
    // A format in either interface's terms.
    struct Format {
        uint32_t fourcc = 0;
        uint32_t width = 0;
        uint32_t height = 0;
        uint32_t field = V4L2_FIELD_NONE;
        uint32_t colorspace = 0;
        uint32_t xfer_func = 0;
        uint32_t ycbcr_enc = 0;
        uint32_t quantization = 0;
        uint32_t planes = 1;
        std::array<Plane, MAX_PLANES> plane{};
    };
    // One mapped plane of a buffer.
    struct Mapping {
        uint8_t* data = nullptr;
        size_t length = 0;
    };
    // A buffer as the driver handed it back.
    struct Buffer {
        uint32_t index = 0;
        uint32_t flags = 0;
        timeval timestamp{};
        uint32_t sequence = 0;
        uint32_t field = 0;
        std::array<uint32_t, MAX_PLANES> used{};  // bytes of each plane
    };
    enum class Dequeued {
        BUFFER,
        NONE,    // nothing ready yet
        LAST,    // the last buffer was taken already (EPIPE)
        FAILED,  // the reason on the node; Gone() for ENODEV
    };

    V4l2Queue(V4l2Node& node, Direction direction, bool multi_planar);
    ~V4l2Queue();
    V4l2Queue(const V4l2Queue&) = delete;
    V4l2Queue& operator=(const V4l2Queue&) = delete;

    uint32_t Type() const { return m_type; }
    bool MultiPlanar() const { return m_multi_planar; }
    // "CAPTURE", "OUTPUT": the queue's name in its failures.
    const char* Name() const;

    Status EnumFormats(std::vector<uint32_t>& fourccs);
    // Asks for the format and gives back, in place, the one the driver took.
    Status SetFormat(Format& format);
    Status GetFormat(Format& format);

    // Requests `count` buffers and maps every plane of each; fewer than
    // `fewest` is refused. Mapped for writing too on an OUTPUT queue.
    Status Allocate(uint32_t count, uint32_t fewest);
    // Stops streaming, unmaps and frees the buffers.
    void Release();
    uint32_t Count() const { return static_cast<uint32_t>(m_buffers.size()); }
    uint32_t PlaneCount() const { return m_planes; }
    const Mapping& Map(uint32_t index, uint32_t plane) const { return m_buffers[index][plane]; }
    // Buffers with the driver: queued and not yet dequeued.
    uint32_t Queued() const { return m_queued; }
    bool IsQueued(uint32_t index) const { return m_with_driver[index]; }

    // Hands a buffer to the driver; an OUTPUT buffer with the bytes of each
    // plane and its time stamp.
    Status Queue(uint32_t index, const uint32_t* used = nullptr, const timeval* timestamp = nullptr);
    // Never blocks on a node opened without blocking.
    Dequeued Dequeue(Buffer& buffer);

    Status StreamOn();
    void StreamOff();
    bool IsStreaming() const { return m_streaming; }

private:
    void Prepare(v4l2_buffer& buffer, std::array<v4l2_plane, MAX_PLANES>& planes, uint32_t index) const;
    void Unmap();

    V4l2Node& m_node;
    Direction m_direction;
    bool m_multi_planar;
    uint32_t m_type;
    uint32_t m_planes = 1;
    std::vector<std::array<Mapping, MAX_PLANES>> m_buffers;
    std::vector<bool> m_with_driver;
    uint32_t m_queued = 0;
    bool m_streaming = false;
    bool m_requested = false;
};
