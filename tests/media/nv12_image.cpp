#include "nv12_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <linux/videodev2.h>
#include <stdexcept>

namespace {

uint8_t Clamp8(double value) { return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L)); }

// Repeatable pseudo-random texture in [0, 1).
double Hash(int x, int y) {
    uint32_t h = static_cast<uint32_t>(x) * 374761393u + static_cast<uint32_t>(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return ((h ^ (h >> 16)) & 0xFFFF) / 65536.0;
}

}  // namespace

Nv12Image MakeTestFrame(int width, int height) {
    Nv12Image image{width, height, {}, {}, {}};
    image.y.resize(static_cast<size_t>(width) * height);
    const double cx = width * 0.62, cy = height * 0.45, radius = height * 0.22;
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            const double fx = static_cast<double>(col) / width, fy = static_cast<double>(row) / height;
            double luma = 40 + 150 * fx * (0.6 + 0.4 * fy);                           // lit wall
            luma += 18 * std::sin(fx * 9.0 + fy * 5.0);                                // soft shading
            if (std::hypot(col - cx, row - cy) < radius) luma = 215 - 40 * fy;         // bright disc, sharp rim
            if (col > width / 8 && col < width / 3 && row > height / 2 && row < height * 5 / 6)
                luma = 30 + 12 * ((col / 6 + row / 6) % 2);                            // dark box, fine checks
            luma += 14 * (Hash(col / 2, row / 2) - 0.5);                               // grain
            luma += 10 * std::sin(col * 0.35) * std::sin(row * 0.28) * (fy > 0.8);     // woven texture strip
            image.y[static_cast<size_t>(row) * width + col] = Clamp8(luma);
        }
    }
    const int cw = width / 2, ch = height / 2;
    image.u.resize(static_cast<size_t>(cw) * ch);
    image.v.resize(image.u.size());
    for (int row = 0; row < ch; ++row) {
        for (int col = 0; col < cw; ++col) {
            const double fx = static_cast<double>(col) / cw, fy = static_cast<double>(row) / ch;
            double cb = 128 + 60 * (fx - 0.5) + 20 * std::sin(fy * 6.0);
            double cr = 128 + 70 * (0.5 - fy) + 15 * std::cos(fx * 7.0);
            if (std::hypot(col - cx / 2, row - cy / 2) < radius / 2) {  // the disc is orange
                cb = 70;
                cr = 190;
            }
            if (col > cw * 3 / 4 && row < ch / 4) {  // a blue sign with a hard edge
                cb = 200;
                cr = 90;
            }
            cb += 6 * (Hash(col + 7, row) - 0.5);
            cr += 6 * (Hash(col, row + 11) - 0.5);
            image.u[static_cast<size_t>(row) * cw + col] = Clamp8(cb);
            image.v[static_cast<size_t>(row) * cw + col] = Clamp8(cr);
        }
    }
    return image;
}

morwick::BufferFormat VenusFormat(int width, int height) {
    morwick::BufferFormat format;
    if (morwick::GetBufferFormat(width, height, V4L2_PIX_FMT_NV12, CS_YCBCR601_LIMITED, format) != Status::SUCCESS)
        throw std::invalid_argument("no Venus layout");
    return format;
}

void StoreVenus(const Nv12Image& image, Buffer& buffer) {
    const morwick::BufferFormat format = VenusFormat(image.width, image.height);
    uint8_t* base = buffer.GetAddress();
    const size_t size = buffer.GetSize();
    const auto store = [&](size_t offset, const uint8_t* row, size_t count) {
        if (offset < size) memcpy(base + offset, row, std::min(count, size - offset));
    };
    for (int row = 0; row < image.height; ++row)
        store(static_cast<size_t>(row) * format.stride, &image.y[static_cast<size_t>(row) * image.width],
              image.width);
    const int cw = image.width / 2;
    std::vector<uint8_t> line(static_cast<size_t>(image.width));
    for (int row = 0; row < image.height / 2; ++row) {
        for (int col = 0; col < cw; ++col) {
            line[2 * col] = image.u[static_cast<size_t>(row) * cw + col];
            line[2 * col + 1] = image.v[static_cast<size_t>(row) * cw + col];
        }
        store(format.chroma_offset + static_cast<size_t>(row) * format.stride, line.data(), line.size());
    }
    BufferMetadata metadata;
    metadata.is_video_frame = 1;
    metadata.plane_count = 2;
    metadata.width = image.width;
    metadata.height = image.height;
    metadata.pixel_format = V4L2_PIX_FMT_NV12;
    metadata.color_space = CS_YCBCR601_LIMITED;
    buffer.SetMetadata(metadata);
}

Nv12Image LoadVenus(const uint8_t* data, int width, int height) {
    const morwick::BufferFormat format = VenusFormat(width, height);
    Nv12Image image{width, height, {}, {}, {}};
    image.y.resize(static_cast<size_t>(width) * height);
    for (int row = 0; row < height; ++row)
        memcpy(&image.y[static_cast<size_t>(row) * width], data + static_cast<size_t>(row) * format.stride, width);
    const int cw = width / 2, ch = height / 2;
    image.u.resize(static_cast<size_t>(cw) * ch);
    image.v.resize(image.u.size());
    for (int row = 0; row < ch; ++row) {
        const uint8_t* line = data + format.chroma_offset + static_cast<size_t>(row) * format.stride;
        for (int col = 0; col < cw; ++col) {
            image.u[static_cast<size_t>(row) * cw + col] = line[2 * col];
            image.v[static_cast<size_t>(row) * cw + col] = line[2 * col + 1];
        }
    }
    return image;
}

std::vector<uint8_t> ReferenceBilinear(const std::vector<uint8_t>& src, int src_width, int src_height,
                                       int dst_width, int dst_height) {
    std::vector<uint8_t> dst(static_cast<size_t>(dst_width) * dst_height);
    const double sx = static_cast<double>(src_width) / dst_width, sy = static_cast<double>(src_height) / dst_height;
    const auto at = [&](int x, int y) {
        x = std::clamp(x, 0, src_width - 1);
        y = std::clamp(y, 0, src_height - 1);
        return static_cast<double>(src[static_cast<size_t>(y) * src_width + x]);
    };
    for (int row = 0; row < dst_height; ++row) {
        const double y = (row + 0.5) * sy - 0.5;
        const int y0 = static_cast<int>(std::floor(y));
        const double wy = y - y0;
        for (int col = 0; col < dst_width; ++col) {
            const double x = (col + 0.5) * sx - 0.5;
            const int x0 = static_cast<int>(std::floor(x));
            const double wx = x - x0;
            const double top = at(x0, y0) * (1 - wx) + at(x0 + 1, y0) * wx;
            const double bottom = at(x0, y0 + 1) * (1 - wx) + at(x0 + 1, y0 + 1) * wx;
            dst[static_cast<size_t>(row) * dst_width + col] = Clamp8(top * (1 - wy) + bottom * wy);
        }
    }
    return dst;
}

std::vector<uint8_t> ReferenceArea(const std::vector<uint8_t>& src, int src_width, int src_height, int dst_width,
                                   int dst_height) {
    std::vector<uint8_t> dst(static_cast<size_t>(dst_width) * dst_height);
    const double sx = static_cast<double>(src_width) / dst_width, sy = static_cast<double>(src_height) / dst_height;
    // Each output pixel averages the input area it covers, partial pixels weighted by their share.
    for (int row = 0; row < dst_height; ++row) {
        const double top = row * sy, bottom = (row + 1) * sy;
        for (int col = 0; col < dst_width; ++col) {
            const double left = col * sx, right = (col + 1) * sx;
            double sum = 0, weight = 0;
            for (int y = static_cast<int>(top); y < static_cast<int>(std::ceil(bottom)) && y < src_height; ++y) {
                const double wy = std::min(bottom, y + 1.0) - std::max(top, static_cast<double>(y));
                for (int x = static_cast<int>(left); x < static_cast<int>(std::ceil(right)) && x < src_width; ++x) {
                    const double w = wy * (std::min(right, x + 1.0) - std::max(left, static_cast<double>(x)));
                    sum += w * src[static_cast<size_t>(y) * src_width + x];
                    weight += w;
                }
            }
            dst[static_cast<size_t>(row) * dst_width + col] = Clamp8(sum / weight);
        }
    }
    return dst;
}

Nv12Image ReferenceScale(const Nv12Image& src, int width, int height, bool area) {
    const auto scale = area ? ReferenceArea : ReferenceBilinear;
    Nv12Image dst{width, height, {}, {}, {}};
    dst.y = scale(src.y, src.width, src.height, width, height);
    dst.u = scale(src.u, src.width / 2, src.height / 2, width / 2, height / 2);
    dst.v = scale(src.v, src.width / 2, src.height / 2, width / 2, height / 2);
    return dst;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) throw std::invalid_argument("planes differ in size");
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    if (sum == 0) return std::numeric_limits<double>::infinity();
    return 10 * std::log10(255.0 * 255.0 / (sum / a.size()));
}
