#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "color_space.h"
#include "encoder_controls.h"
#include "status.h"
#include "v4l2_node.h"
#include "v4l2_queue.h"

// A V4L2 stateful memory-to-memory video encoder (a board's hardware encoder)
// as the kernel's encoder interface has it: raw NV12 frames into its OUTPUT
// queue in the layout its driver chooses, coded frames out of its CAPTURE
// queue, each with the time stamp of the frame it came from. The caller's
// select loop waits on Descriptor() in its read set for coded frames; raw
// buffers are taken back whenever a frame goes in. Nothing here blocks but
// Drain, which is bounded.
//
// Nothing here logs: a failed step returns a status and leaves its reason,
// naming the step, in Error().
class V4l2Encoder {
public:
    using Clock = std::chrono::steady_clock;

    struct Settings {
        uint32_t coded = 0;  // the coded format's fourcc (H264, FWHT, ...)
        int width = 0;       // the pictures' size, even
        int height = 0;
        int fps = 0;
        int64_t bit_rate = 0;
        ColorSpace color_space = CS_UNKNOWN;
    };
    // One NV12 picture of the settings' size.
    struct Picture {
        const uint8_t* y;
        int y_stride;
        const uint8_t* uv;
        int uv_stride;
    };
    struct CodedFrame {
        const uint8_t* data = nullptr;
        size_t size = 0;
        uint64_t timestamp_us = 0;  // the one its raw frame went in with
        bool key = false;           // the driver says so
        bool error = false;         // the driver flagged it as bad
        bool last = false;          // the last of a drain
        uint32_t index = 0;
    };
    enum class Taken { FRAME, NONE, DRAINED, FAILED };

    V4l2Encoder() = default;
    ~V4l2Encoder();
    V4l2Encoder(const V4l2Encoder&) = delete;
    V4l2Encoder& operator=(const V4l2Encoder&) = delete;

    // Whether the node encodes `coded` from NV12: SUCCESS, or the reason in
    // `why` (not a memory-to-memory device, codes FWHT, takes no NV12).
    static Status Probe(const std::string& path, uint32_t coded, std::string& why);

    // The coded format and size on CAPTURE, then NV12 on OUTPUT (the driver
    // answers the layout), the visible size, the frame rate and the controls,
    // the buffers, and both queues streaming.
    Status Open(const std::string& path, const Settings& settings);
    void Close();
    bool IsOpen() const { return m_node.IsOpen(); }
    int Descriptor() const { return m_node.Descriptor(); }

    // "driver vicodec, NV12 640x368 in 1 plane (640 bytes a line) for 640x360, ..."
    std::string Describe() const;
    // What the driver took otherwise than asked ("GOP size 30 taken as 16"),
    // and what it lacks or refused ("frame rate: ...").
    const std::vector<std::string>& Differences() const { return m_differences; }
    const std::vector<std::string>& Skipped() const { return m_skipped; }
    // The raw buffers' layout, as the driver answered it.
    const V4l2Queue::Format& RawFormat() const { return m_raw; }

    // Copies the picture into a free raw buffer in the driver's layout (its
    // padding filled from the picture's edges) and queues it with the time
    // stamp. FAILURE_BUSY when every raw buffer is with the driver.
    Status Encode(const Picture& picture, uint64_t timestamp_us);
    // A coded frame if one is ready; a FRAME goes back with Release.
    Taken Take(CodedFrame& frame);
    Status Release(const CodedFrame& frame);

    // Asks for what is queued to be encoded (V4L2_ENC_CMD_STOP) and hands each
    // coded frame to `each` until the last, or until the deadline passes
    // (FAILURE_TRY_AGAIN). The encoder is closed afterwards.
    Status Drain(Clock::time_point deadline, const std::function<void(const CodedFrame&)>& each);

    const std::string& Error() const { return m_node.Error(); }
    // The last failure was ENODEV: the device is gone.
    bool Gone() const { return m_node.Gone(); }

private:
    Status Check(uint32_t coded);
    Status SetFormats();
    void SetVisibleSize();
    void SetFrameRate();
    Status Stream();
    Status Reclaim();
    void Fill(uint32_t index, const Picture& picture, uint32_t* used);

    V4l2Node m_node;
    // Made once the node says which interface it has; released before it closes.
    std::unique_ptr<V4l2Queue> m_output;
    std::unique_ptr<V4l2Queue> m_capture;
    Settings m_settings;
    V4l2Queue::Format m_raw;
    V4l2Queue::Format m_coded;
    EncoderControls m_controls;
    std::string m_rate;  // the frame rate the driver took, for Describe
    std::vector<std::string> m_differences;
    std::vector<std::string> m_skipped;
};
