#include "parameter_sets.h"

#include <cstring>

namespace {

enum NalType : uint8_t { SLICE = 1, IDR = 5, SPS = 7, PPS = 8, AUD = 9 };

// Where the start code at or after `from` begins (its leading zero byte
// included when it is a four-byte one), and where its NAL unit begins.
bool NextStartCode(const uint8_t* data, size_t size, size_t from, size_t& begin, size_t& payload) {
    for (size_t at = from; at + 3 <= size;) {
        const void* zero = memchr(data + at, 0, size - at);
        if (zero == nullptr) return false;
        at = static_cast<size_t>(static_cast<const uint8_t*>(zero) - data);
        if (at + 3 <= size && data[at + 1] == 0 && data[at + 2] == 1) {
            begin = at > from && data[at - 1] == 0 ? at - 1 : at;
            payload = at + 3;
            return true;
        }
        ++at;
    }
    return false;
}

}  // namespace

ParameterSets::Unit ParameterSets::Apply(const uint8_t* data, size_t size) {
    bool sps = false, pps = false, idr = false, picture = false;
    size_t insert = 0;  // after the access unit delimiter
    std::vector<uint8_t> sets[2];  // SPS, PPS
    size_t begin = 0, payload = 0;
    bool found = NextStartCode(data, size, 0, begin, payload);
    while (found && payload < size) {
        size_t next_begin = size, next_payload = size;
        const bool more = NextStartCode(data, size, payload, next_begin, next_payload);
        const uint8_t type = data[payload] & 0x1F;
        if (type == AUD && insert == begin) insert = more ? next_begin : size;
        if (type == SPS || type == PPS) {
            std::vector<uint8_t>& set = sets[type == SPS ? 0 : 1];
            set.insert(set.end(), data + begin, data + (more ? next_begin : size));
            sps = sps || type == SPS;
            pps = pps || type == PPS;
        }
        idr = idr || type == IDR;
        picture = picture || (type >= SLICE && type <= IDR);
        begin = next_begin;
        payload = next_payload;
        found = more;
    }
    if (sps) m_sps = std::move(sets[0]);
    if (pps) m_pps = std::move(sets[1]);
    if (!picture && (sps || pps)) return {data, 0, false};
    if (!idr || (sps && pps) || m_sps.empty() || m_pps.empty()) return {data, size, idr};
    m_unit.assign(data, data + insert);
    if (!sps) m_unit.insert(m_unit.end(), m_sps.begin(), m_sps.end());
    if (!pps) m_unit.insert(m_unit.end(), m_pps.begin(), m_pps.end());
    m_unit.insert(m_unit.end(), data + insert, data + size);
    return {m_unit.data(), m_unit.size(), true};
}
