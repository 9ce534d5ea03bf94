#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

// Whole progressive NV12 frames from what an interlaced capture gives:
// fields in buffers of their own (V4L2_FIELD_ALTERNATE) paired and woven,
// fields one after the other in a buffer (SEQ_TB, SEQ_BT) woven, and
// interleaved fields (INTERLACED) deinterlaced by blending each line with
// the next, which leaves no comb where the picture moves (libyuv throughout).
namespace interlace {

// The field orders taken: NONE, ALTERNATE, SEQ_TB, SEQ_BT, INTERLACED(_TB, _BT).
bool IsTaken(uint32_t field);
// "NONE", "ALTERNATE", "TOP", ...
const char* FieldName(uint32_t field);

// Makes each frame of one field order, in NV12 at the frame's size
// (width x height, height a multiple of 4).
class Frames {
public:
    using Clock = std::chrono::steady_clock;

    void Reset(uint32_t field, int width, int height);
    bool Progressive() const;
    // Takes one buffer's picture, converted to NV12 at its own size (a field
    // for ALTERNATE, else the whole frame) and stamped `time`. True when
    // Frame() now holds a whole frame; its time is its first field's.
    bool Take(const uint8_t* nv12, uint32_t buffer_field, uint32_t sequence, Clock::time_point time);
    const std::vector<uint8_t>& Frame() const { return m_frame; }
    Clock::time_point Time() const { return m_time; }

private:
    void Weave(const uint8_t* top_y, const uint8_t* top_uv, const uint8_t* bottom_y,
               const uint8_t* bottom_uv);

    uint32_t m_field = 0;
    int m_width = 0;
    int m_height = 0;
    std::vector<uint8_t> m_frame;
    // ALTERNATE: the field waiting for the other of its frame.
    std::vector<uint8_t> m_waiting;
    bool m_have_waiting = false;
    uint32_t m_waiting_field = 0;
    uint32_t m_waiting_sequence = 0;
    Clock::time_point m_waiting_time;
    Clock::time_point m_time;
};

}  // namespace interlace
