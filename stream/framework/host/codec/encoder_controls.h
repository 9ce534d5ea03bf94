#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "v4l2_node.h"

// The controls an encoder is asked for before it streams: bit rate (constant),
// a key frame a second, no B-frames, and for H.264 its profile, its level and
// SPS/PPS with every IDR. Each control is set on its own, so that one the
// driver lacks or refuses leaves the others; what it took is read back.
class EncoderControls {
public:
    struct Wanted {
        uint32_t coded;  // the coded format's fourcc
        int width;
        int height;
        int fps;
        int64_t bit_rate;
    };

    // Sets every control. Never fails: what could not be set is in Skipped().
    void Apply(V4l2Node& node, const Wanted& wanted);
    // Puts back the driver's own value of every control that was changed.
    void Restore(V4l2Node& node);

    // "GOP size 30 taken as 16": what the driver took otherwise than asked.
    const std::vector<std::string>& Differences() const { return m_differences; }
    // "bit rate: the driver has no such control": what was not set.
    const std::vector<std::string>& Skipped() const { return m_skipped; }
    // "bit rate 4000000, GOP size 16": what the driver holds now.
    std::string Describe() const;

    // The lowest H.264 level (a V4L2 menu value) whose limits hold the stream.
    static int32_t H264Level(int width, int height, int fps, int64_t bit_rate);

private:
    struct Set {
        uint32_t id;
        const char* what;
        int64_t asked;
        int64_t taken;
        int64_t driver_default;
        bool menu;
        std::string shown;  // the taken value as the driver names it
    };
    void SetOne(V4l2Node& node, uint32_t id, const char* what, int64_t value);

    std::vector<Set> m_set;
    std::vector<std::string> m_differences;
    std::vector<std::string> m_skipped;
};
