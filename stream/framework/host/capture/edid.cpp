#include "edid.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <numeric>

namespace edid {

namespace {

constexpr std::array<uint8_t, 8> HEADER = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
constexpr uint8_t CEA_TAG = 0x02;
constexpr uint8_t VIDEO_BLOCK = 2;
constexpr uint8_t VENDOR_BLOCK = 3;
constexpr uint8_t EXTENDED_BLOCK = 7;

// A detailed timing descriptor: the active and blanking sizes, the sync
// offsets and widths, positive syncs.
struct Timing {
    uint32_t khz;
    uint16_t width, hblank, hoffset, hsync;
    uint16_t height, vblank, voffset, vsync;
};

void PutTiming(uint8_t* d, const Timing& t) {
    const uint32_t clock = t.khz / 10;
    d[0] = clock & 0xff;
    d[1] = clock >> 8;
    d[2] = t.width & 0xff;
    d[3] = t.hblank & 0xff;
    d[4] = static_cast<uint8_t>(((t.width >> 8) << 4) | (t.hblank >> 8));
    d[5] = t.height & 0xff;
    d[6] = t.vblank & 0xff;
    d[7] = static_cast<uint8_t>(((t.height >> 8) << 4) | (t.vblank >> 8));
    d[8] = t.hoffset & 0xff;
    d[9] = t.hsync & 0xff;
    d[10] = static_cast<uint8_t>(((t.voffset & 0xf) << 4) | (t.vsync & 0xf));
    d[11] = static_cast<uint8_t>(((t.hoffset >> 8) << 6) | ((t.hsync >> 8) << 4) |
                                 ((t.voffset >> 4) << 2) | (t.vsync >> 4));
    // The image is 800 x 450 mm, as the display says.
    d[12] = 800 & 0xff;
    d[13] = 450 & 0xff;
    d[14] = (800 >> 8) << 4 | 450 >> 8;
    d[17] = 0x1e;  // digital separate sync, both positive
}

// A display descriptor of `tag` whose text or data starts at byte 5.
uint8_t* PutDescriptor(uint8_t* d, uint8_t tag) {
    d[3] = tag;
    return d + 5;
}

void Seal(uint8_t* block) {
    const unsigned sum = std::accumulate(block, block + BLOCK - 1, 0u);
    block[BLOCK - 1] = static_cast<uint8_t>(256 - sum % 256);
}

std::vector<uint8_t> Build() {
    std::vector<uint8_t> bytes(2 * BLOCK, 0);
    uint8_t* base = bytes.data();
    std::copy(HEADER.begin(), HEADER.end(), base);
    base[8] = 0x31;  // maker "LMS", three 5-bit letters
    base[9] = 0xb3;
    base[10] = 0x01;  // product 1
    base[17] = 2026 - 1990;
    base[18] = 1;  // EDID 1.3
    base[19] = 3;
    base[20] = 0x80;  // digital input
    base[21] = 80;    // 80 x 45 cm, 16:9
    base[22] = 45;
    base[23] = 120;   // gamma 2.2
    base[24] = 0x0e;  // RGB colour, sRGB, the first timing preferred
    const uint8_t chromaticity[] = {0xee, 0x91, 0xa3, 0x54, 0x4c, 0x99, 0x26, 0x0f, 0x50, 0x54};
    std::memcpy(base + 25, chromaticity, sizeof(chromaticity));
    base[35] = 0x20;                                      // 640x480 at 60 Hz
    const uint8_t standard[] = {0xd1, 0xc0, 0x81, 0xc0};  // 1920x1080 and 1280x720, 16:9 at 60 Hz
    std::memset(base + 38, 0x01, 16);
    std::memcpy(base + 38, standard, sizeof(standard));
    PutTiming(base + 54, {148500, 1920, 280, 88, 44, 1080, 45, 4, 5});
    PutTiming(base + 72, {74250, 1280, 370, 110, 40, 720, 30, 5, 5});
    // Range limits: 23-61 Hz, 15-68 kHz, up to 150 MHz.
    uint8_t* range = PutDescriptor(base + 90, 0xfd);
    const uint8_t limits[] = {23, 61, 15, 68, 15, 0x00, 0x0a, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20};
    std::memcpy(range, limits, sizeof(limits));
    uint8_t* name = PutDescriptor(base + 108, 0xfc);
    std::memset(name, 0x20, 13);
    std::memcpy(name, "lumaset\n", 8);
    base[126] = 1;
    Seal(base);

    uint8_t* cea = base + BLOCK;
    cea[0] = CEA_TAG;
    cea[1] = 3;
    cea[3] = 0x81;  // underscanned; one native detailed timing (the base block's first)
    // 1080p60 (native, as the first detailed timing), 1080p50, 30, 25, 24; 720p60, 50; 576p and
    // 480p (16:9 and 4:3); VGA.
    const uint8_t codes[] = {16, 31, 34, 33, 32, 4, 19, 18, 17, 3, 2, 1};
    uint8_t* at = cea + 4;
    *at++ = static_cast<uint8_t>(VIDEO_BLOCK << 5 | sizeof(codes));
    at = std::copy(codes, codes + sizeof(codes), at);
    // HDMI's vendor block: its IEEE id and the source's physical address 1.0.0.0.
    const uint8_t hdmi[] = {VENDOR_BLOCK << 5 | 5, 0x03, 0x0c, 0x00, 0x10, 0x00};
    at = std::copy(hdmi, hdmi + sizeof(hdmi), at);
    // Video capabilities: the RGB range may be chosen by the source; every
    // format underscanned.
    const uint8_t capabilities[] = {EXTENDED_BLOCK << 5 | 2, 0x00, 0x4a};
    at = std::copy(capabilities, capabilities + sizeof(capabilities), at);
    cea[2] = static_cast<uint8_t>(at - cea);  // no detailed timings follow
    Seal(cea);
    return bytes;
}

}  // namespace

const std::vector<uint8_t>& BuiltIn() {
    static const std::vector<uint8_t> bytes = Build();
    return bytes;
}

std::string Check(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return "it is empty";
    if (bytes.size() % BLOCK != 0)
        return std::to_string(bytes.size()) + " bytes, not a whole number of 128-byte blocks";
    const size_t blocks = bytes.size() / BLOCK;
    if (blocks > MAX_BLOCKS) return std::to_string(blocks) + " blocks, more than an EDID holds";
    if (!std::equal(HEADER.begin(), HEADER.end(), bytes.begin()))
        return "it does not start with the EDID header";
    for (size_t block = 0; block < blocks; ++block) {
        const uint8_t* start = bytes.data() + block * BLOCK;
        if (std::accumulate(start, start + BLOCK, 0u) % 256 != 0)
            return "block " + std::to_string(block) + " has a bad checksum";
    }
    if (bytes[126] != blocks - 1)
        return "its base block says " + std::to_string(bytes[126]) + " extension blocks, " +
               std::to_string(blocks - 1) + " follow it";
    return "";
}

bool Load(const std::string& path, std::vector<uint8_t>& bytes, std::string& why) {
    bytes.clear();
    // Not blocking: a FIFO or a device in its place must not stop the start.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("cannot open it: (") + std::to_string(errno) + ") " + strerror(errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = "not a regular file";
    } else {
        // One byte more than an EDID holds tells a file that is too long.
        bytes.resize(MAX_BLOCKS * BLOCK + 1);
        size_t got = 0;
        ssize_t n = 0;
        while (got < bytes.size() && (n = read(fd, bytes.data() + got, bytes.size() - got)) > 0)
            got += static_cast<size_t>(n);
        if (n < 0)
            why = std::string("cannot read it: (") + std::to_string(errno) + ") " + strerror(errno);
        bytes.resize(got);
        if (n >= 0)
            why = got > MAX_BLOCKS * BLOCK ? "longer than the 256 blocks an EDID holds"
                                           : Check(bytes);
    }
    close(fd);
    if (!why.empty()) bytes.clear();
    return why.empty();
}

std::vector<uint8_t> VideoCodes(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> codes;
    for (size_t start = BLOCK; start + BLOCK <= bytes.size(); start += BLOCK) {
        const uint8_t* block = bytes.data() + start;
        if (block[0] != CEA_TAG || block[2] < 4) continue;
        const size_t end = std::min<size_t>(block[2], BLOCK - 1);
        for (size_t at = 4; at < end;) {
            const uint8_t tag = block[at] >> 5;
            const size_t length = block[at] & 0x1f;
            if (at + 1 + length > end) break;
            if (tag == VIDEO_BLOCK)
                for (size_t i = 1; i <= length; ++i) {
                    const uint8_t code = block[at + i];
                    // Codes 1 to 64 may carry the native flag in their top bit.
                    codes.push_back(code >= 129 && code <= 192 ? code & 0x7f : code);
                }
            at += 1 + length;
        }
    }
    return codes;
}

std::string Describe(const std::vector<uint8_t>& bytes) {
    std::string text = std::to_string(bytes.size() / BLOCK) + " blocks";
    if (bytes.size() >= BLOCK) {
        const uint8_t* d = bytes.data() + 54;
        const double clock = (d[0] | d[1] << 8) * 10000.0;
        const unsigned width = d[2] | (d[4] >> 4) << 8;
        const unsigned hblank = d[3] | (d[4] & 0xf) << 8;
        const unsigned height = d[5] | (d[7] >> 4) << 8;
        const unsigned vblank = d[6] | (d[7] & 0xf) << 8;
        const double total = static_cast<double>(width + hblank) * (height + vblank);
        if (clock > 0 && total > 0) {
            char mode[80];
            snprintf(mode, sizeof(mode), ", preferred mode %ux%u%s at %.2f Hz", width, height,
                     (d[17] & 0x80) != 0 ? "i" : "", clock / total);
            text += mode;
        }
    }
    return text + ", " + std::to_string(VideoCodes(bytes).size()) + " CEA modes";
}

}  // namespace edid
