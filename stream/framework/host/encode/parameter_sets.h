#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// An H.264 stream's parameter sets for receivers that join late: the SPS and
// PPS seen last go in front of each IDR picture that comes without them, as
// from a driver that sends its headers once, or on their own.
class ParameterSets {
public:
    struct Unit {
        const uint8_t* data = nullptr;
        size_t size = 0;  // 0: the unit held only parameter sets, kept for the next picture
        bool idr = false;
    };

    // One Annex B access unit as it goes on; valid until the next call.
    Unit Apply(const uint8_t* data, size_t size);

private:
    // The last SPS and PPS units, with their start codes.
    std::vector<uint8_t> m_sps;
    std::vector<uint8_t> m_pps;
    std::vector<uint8_t> m_unit;  // a unit with the sets put in
};
