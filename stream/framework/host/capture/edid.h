#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The EDID an HDMI receiver shows its source: the table of modes the sink
// takes. A source sends no picture until it has read one, and HDMI-to-CSI
// bridges start with none.
namespace edid {

constexpr size_t BLOCK = 128;
constexpr size_t MAX_BLOCKS = 256;

// The framework's own: EDID 1.3 with a CEA-861 extension, listing the modes
// the encoder takes (1080p at 60, 50, 30, 25 and 24 Hz, 720p at 60 and 50 Hz,
// 576p, 480p and VGA), 1080p60 preferred.
const std::vector<uint8_t>& BuiltIn();

// Empty when `bytes` are whole EDID blocks with a good header and checksums,
// and as many extensions as the base block says; else why not.
std::string Check(const std::vector<uint8_t>& bytes);

// Reads and checks a file of raw EDID blocks; false with `why` when it is
// none (missing, not a regular file, the wrong length, a bad header or checksum).
bool Load(const std::string& path, std::vector<uint8_t>& bytes, std::string& why);

// "2 blocks, preferred mode 1920x1080 at 60.00 Hz, 10 CEA modes"
std::string Describe(const std::vector<uint8_t>& bytes);

// The CEA-861 video identification codes its extensions list.
std::vector<uint8_t> VideoCodes(const std::vector<uint8_t>& bytes);

}  // namespace edid
