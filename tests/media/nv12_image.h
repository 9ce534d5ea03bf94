#pragma once

#include <cstdint>
#include <vector>

#include "buffer.h"
#include "buffer_format.h"

// An NV12 frame held as three separate planes, for building inputs and
// checking outputs independently of the code under test.
struct Nv12Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> y, u, v;  // u, v: (width/2) x (height/2)
};

// A deterministic, natural-looking frame: smooth gradients, hard-edged shapes,
// fine texture and saturated colour.
Nv12Image MakeTestFrame(int width, int height);

// The Venus layout of a width x height NV12 frame.
morwick::BufferFormat VenusFormat(int width, int height);

// Writes the frame into a buffer in the Venus layout, as far as the buffer
// holds its pixels, and sets its metadata.
void StoreVenus(const Nv12Image& image, Buffer& buffer);
// Reads a frame in the Venus layout.
Nv12Image LoadVenus(const uint8_t* data, int width, int height);

// Independent float resamplers of one 8-bit plane (pixel centres aligned,
// edges clamped): bilinear interpolation, and the exact area average.
std::vector<uint8_t> ReferenceBilinear(const std::vector<uint8_t>& src, int src_width, int src_height,
                                       int dst_width, int dst_height);
std::vector<uint8_t> ReferenceArea(const std::vector<uint8_t>& src, int src_width, int src_height, int dst_width,
                                   int dst_height);
Nv12Image ReferenceScale(const Nv12Image& src, int width, int height, bool area);

// Peak signal-to-noise ratio in dB (infinity for equal planes).
double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
