#include "image.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>
#include <png.h>

namespace frames {

Image::Image(int w, int h, uint32_t fill_argb)
    : width(w), height(h), bgra(static_cast<size_t>(w) * h * 4) {
    for (size_t i = 0; i < bgra.size(); i += 4) std::memcpy(&bgra[i], &fill_argb, 4);
}

Image ImageFromNV12(const uint8_t* nv12, size_t size, int width, int height) {
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    if (width <= 0 || height <= 0 || size < w * h + w * (h / 2)) return {};
    Image image(width, height);
    // BT.601 limited range, the frames' colour space.
    libyuv::NV12ToARGB(nv12, width, nv12 + w * h, width, image.bgra.data(), width * 4, width,
                       height);
    return image;
}

Image FitInside(const Image& image, int max_width, int max_height) {
    if (image.width == 0 || image.height == 0) return {};
    const double scale = std::min(static_cast<double>(max_width) / image.width,
                                  static_cast<double>(max_height) / image.height);
    const int w = std::max(1, static_cast<int>(image.width * scale + 0.5));
    const int h = std::max(1, static_cast<int>(image.height * scale + 0.5));
    Image fitted(w, h);
    libyuv::ARGBScale(image.bgra.data(), image.width * 4, image.width, image.height,
                      fitted.bgra.data(), w * 4, w, h, libyuv::kFilterBox);
    return fitted;
}

void Blit(const Image& image, Image& canvas, int x, int y) {
    for (int row = std::max(0, -y); row < image.height && y + row < canvas.height; ++row) {
        const int first = std::max(0, -x);
        const int last = std::min(image.width, canvas.width - x);
        if (last <= first) return;
        std::memcpy(canvas.Row(y + row) + (x + first) * 4, image.Row(row) + first * 4,
                    static_cast<size_t>(last - first) * 4);
    }
}

bool WritePng(const Image& image, const std::string& path, std::string& error) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
    // Alpha is always opaque; dropping it keeps the file an ordinary RGB PNG.
    std::vector<uint8_t> rgb(static_cast<size_t>(image.width) * image.height * 3);
    libyuv::ARGBToRAW(image.bgra.data(), image.width * 4, rgb.data(), image.width * 3, image.width,
                      image.height);
    if (!png_image_write_to_file(&png, path.c_str(), 0, rgb.data(), image.width * 3, nullptr)) {
        error = png.message;
        return false;
    }
    return true;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

}  // namespace frames
