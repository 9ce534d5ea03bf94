#include "interlace.h"

#include <linux/videodev2.h>

#include <libyuv/planar_functions.h>

namespace interlace {

bool IsTaken(uint32_t field) {
    switch (field) {
    case V4L2_FIELD_NONE:
    case V4L2_FIELD_ALTERNATE:
    case V4L2_FIELD_SEQ_TB:
    case V4L2_FIELD_SEQ_BT:
    case V4L2_FIELD_INTERLACED:
    case V4L2_FIELD_INTERLACED_TB:
    case V4L2_FIELD_INTERLACED_BT: return true;
    default: return false;
    }
}

const char* FieldName(uint32_t field) {
    switch (field) {
    case V4L2_FIELD_ANY: return "ANY";
    case V4L2_FIELD_NONE: return "NONE";
    case V4L2_FIELD_TOP: return "TOP";
    case V4L2_FIELD_BOTTOM: return "BOTTOM";
    case V4L2_FIELD_INTERLACED: return "INTERLACED";
    case V4L2_FIELD_SEQ_TB: return "SEQ_TB";
    case V4L2_FIELD_SEQ_BT: return "SEQ_BT";
    case V4L2_FIELD_ALTERNATE: return "ALTERNATE";
    case V4L2_FIELD_INTERLACED_TB: return "INTERLACED_TB";
    case V4L2_FIELD_INTERLACED_BT: return "INTERLACED_BT";
    default: return "unknown";
    }
}

void Frames::Reset(uint32_t field, int width, int height) {
    m_field = field;
    m_width = width;
    m_height = height;
    m_have_waiting = false;
    const size_t bytes = static_cast<size_t>(width) * height * 3 / 2;
    m_frame.assign(Progressive() ? 0 : bytes, 0);
    m_waiting.assign(field == V4L2_FIELD_ALTERNATE ? bytes / 2 : 0, 0);
}

bool Frames::Progressive() const { return m_field == V4L2_FIELD_NONE; }

// The two fields' luma and chroma lines go to alternate lines of the frame,
// the top field's first.
void Frames::Weave(const uint8_t* top_y, const uint8_t* top_uv, const uint8_t* bottom_y,
                   const uint8_t* bottom_uv) {
    const int w = m_width;
    const int rows = m_height / 2;
    uint8_t* y = m_frame.data();
    uint8_t* uv = y + static_cast<size_t>(w) * m_height;
    libyuv::CopyPlane(top_y, w, y, 2 * w, w, rows);
    libyuv::CopyPlane(bottom_y, w, y + w, 2 * w, w, rows);
    libyuv::CopyPlane(top_uv, w, uv, 2 * w, w, rows / 2);
    libyuv::CopyPlane(bottom_uv, w, uv + w, 2 * w, w, rows / 2);
}

bool Frames::Take(const uint8_t* nv12, uint32_t buffer_field, uint32_t sequence,
                  Clock::time_point time) {
    const int w = m_width;
    const int h = m_height;
    const size_t luma = static_cast<size_t>(w) * h;
    m_time = time;
    switch (m_field) {
    case V4L2_FIELD_ALTERNATE: {
        // The two fields of a frame share its sequence number; either may come first.
        const bool top = buffer_field == V4L2_FIELD_TOP;
        if (!top && buffer_field != V4L2_FIELD_BOTTOM) return false;
        if (m_have_waiting && m_waiting_sequence == sequence && m_waiting_field != buffer_field) {
            m_have_waiting = false;
            m_time = m_waiting_time;
            const uint8_t* t = top ? nv12 : m_waiting.data();
            const uint8_t* b = top ? m_waiting.data() : nv12;
            Weave(t, t + luma / 2, b, b + luma / 2);
            return true;
        }
        std::copy(nv12, nv12 + m_waiting.size(), m_waiting.begin());
        m_have_waiting = true;
        m_waiting_field = buffer_field;
        m_waiting_sequence = sequence;
        m_waiting_time = time;
        return false;
    }
    case V4L2_FIELD_SEQ_TB:
    case V4L2_FIELD_SEQ_BT: {
        // Each plane holds its first field's lines, then its second's.
        const uint8_t* first_y = nv12;
        const uint8_t* second_y = nv12 + luma / 2;
        const uint8_t* first_uv = nv12 + luma;
        const uint8_t* second_uv = first_uv + luma / 4;
        if (m_field == V4L2_FIELD_SEQ_TB)
            Weave(first_y, first_uv, second_y, second_uv);
        else
            Weave(second_y, second_uv, first_y, first_uv);
        return true;
    }
    default: {
        // Interleaved fields: each line blended with the next, the last kept.
        const uint8_t* uv = nv12 + luma;
        uint8_t* y = m_frame.data();
        uint8_t* out_uv = y + luma;
        libyuv::InterpolatePlane(nv12, w, nv12 + w, w, y, w, w, h - 1, 128);
        libyuv::CopyPlane(nv12 + luma - w, w, y + luma - w, w, w, 1);
        libyuv::InterpolatePlane(uv, w, uv + w, w, out_uv, w, w, h / 2 - 1, 128);
        libyuv::CopyPlane(uv + luma / 2 - w, w, out_uv + luma / 2 - w, w, w, 1);
        return true;
    }
    }
}

}  // namespace interlace
