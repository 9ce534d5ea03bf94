#include "capture_format.h"

#include <linux/videodev2.h>

#include <algorithm>

#include <libyuv/convert.h>
#include <libyuv/convert_from.h>
#include <libyuv/planar_functions.h>

namespace capture_format {

const std::vector<uint32_t>& Preferred() {
    static const std::vector<uint32_t> formats = {
        V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_NV12M,  V4L2_PIX_FMT_NV21,  V4L2_PIX_FMT_YUYV,
        V4L2_PIX_FMT_UYVY, V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_YVU420};
    return formats;
}

bool IsCompressed(uint32_t fourcc) {
    return fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG;
}

bool IsTaken(uint32_t fourcc) {
    const auto& formats = Preferred();
    return IsCompressed(fourcc) || std::find(formats.begin(), formats.end(), fourcc) != formats.end();
}

uint32_t PlanesOf(uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_NV12M ? 2 : 1; }

namespace {

// Bytes of the luma plane (or of the packed picture) and of the chroma that
// follows it, in the same plane or (NV12M) in the second.
bool Planes(const Layout& layout, size_t& first, size_t& rest) {
    if (layout.width < 2 || layout.height < 2 || layout.width % 2 != 0 || layout.height % 2 != 0)
        return false;
    const size_t line = layout.bytes_per_line;
    const size_t height = static_cast<size_t>(layout.height);
    const size_t width = static_cast<size_t>(layout.width);
    switch (layout.fourcc) {
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
        if (line < width) return false;
        first = line * height;
        rest = line * height / 2;
        return true;
    case V4L2_PIX_FMT_NV12M:
        if (line < width || layout.chroma_bytes_per_line < width) return false;
        first = line * height;
        rest = layout.chroma_bytes_per_line * height / 2;
        return true;
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
        if (line < 2 * width) return false;
        first = line * height;
        rest = 0;
        return true;
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        first = 1;  // a frame's size is its own
        rest = 0;
        return true;
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
        // Each chroma plane has half the luma's bytes per line.
        if (line < width || line % 2 != 0) return false;
        first = line * height;
        rest = 2 * (line / 2) * (height / 2);
        return true;
    default: return false;
    }
}

}  // namespace

PlaneBytes BytesOf(const Layout& layout) {
    PlaneBytes bytes;
    size_t first = 0;
    size_t rest = 0;
    if (!Planes(layout, first, rest)) return bytes;
    bytes.plane[0] = first;
    bytes.plane[PlanesOf(layout.fourcc) - 1] += rest;
    return bytes;
}

bool Holds(const Layout& layout, const Frame& frame) {
    const PlaneBytes bytes = BytesOf(layout);
    return bytes.Total() > 0 && frame.size[0] >= bytes.plane[0] && frame.size[1] >= bytes.plane[1];
}

bool ToNv12(const Layout& layout, const Frame& in, const Nv12Target& target) {
    if (!Holds(layout, in)) return false;
    const uint8_t* frame = in.plane[0];
    const int line = static_cast<int>(layout.bytes_per_line);
    const int w = layout.width;
    const int h = layout.height;
    const uint8_t* second = frame + line * static_cast<size_t>(h);
    int result = -1;
    switch (layout.fourcc) {
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG: {
        // A picture of another size would be read as this one's.
        int jpeg_width = 0;
        int jpeg_height = 0;
        // libyuv refuses one cut short or damaged.
        if (libyuv::MJPGSize(frame, in.size[0], &jpeg_width, &jpeg_height) != 0 ||
            jpeg_width != w || jpeg_height != h)
            return false;
        result = libyuv::MJPGToNV12(frame, in.size[0], target.y, target.y_stride, target.uv,
                                    target.uv_stride, w, h, w, h);
        break;
    }
    case V4L2_PIX_FMT_NV12:
        result = libyuv::NV12Copy(frame, line, second, line, target.y, target.y_stride, target.uv,
                                  target.uv_stride, w, h);
        break;
    case V4L2_PIX_FMT_NV12M:
        result = libyuv::NV12Copy(frame, line, in.plane[1],
                                  static_cast<int>(layout.chroma_bytes_per_line), target.y,
                                  target.y_stride, target.uv, target.uv_stride, w, h);
        break;
    case V4L2_PIX_FMT_NV21:
        result = libyuv::NV21ToNV12(frame, line, second, line, target.y, target.y_stride, target.uv,
                                    target.uv_stride, w, h);
        break;
    case V4L2_PIX_FMT_YUYV:
        result = libyuv::YUY2ToNV12(frame, line, target.y, target.y_stride, target.uv,
                                    target.uv_stride, w, h);
        break;
    case V4L2_PIX_FMT_UYVY:
        result = libyuv::UYVYToNV12(frame, line, target.y, target.y_stride, target.uv,
                                    target.uv_stride, w, h);
        break;
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420: {
        const uint8_t* third = second + (line / 2) * static_cast<size_t>(h / 2);
        const bool yv12 = layout.fourcc == V4L2_PIX_FMT_YVU420;
        result = libyuv::I420ToNV12(frame, line, yv12 ? third : second, line / 2,
                                    yv12 ? second : third, line / 2, target.y, target.y_stride,
                                    target.uv, target.uv_stride, w, h);
        break;
    }
    default: break;
    }
    return result == 0;
}

ColorSpace FromV4l2(uint32_t colorspace, uint32_t ycbcr_enc, uint32_t quantization) {
    if (colorspace == V4L2_COLORSPACE_DEFAULT && ycbcr_enc == V4L2_YCBCR_ENC_DEFAULT)
        return CS_UNKNOWN;  // the driver says nothing: neither do we
    if (ycbcr_enc == V4L2_YCBCR_ENC_DEFAULT) ycbcr_enc = V4L2_MAP_YCBCR_ENC_DEFAULT(colorspace);
    if (quantization == V4L2_QUANTIZATION_DEFAULT)
        quantization = V4L2_MAP_QUANTIZATION_DEFAULT(false, colorspace, ycbcr_enc);
    const bool full = quantization == V4L2_QUANTIZATION_FULL_RANGE;
    switch (ycbcr_enc) {
    case V4L2_YCBCR_ENC_601:
    case V4L2_YCBCR_ENC_XV601: return full ? CS_YCBCR601_FULL : CS_YCBCR601_LIMITED;
    case V4L2_YCBCR_ENC_709:
    case V4L2_YCBCR_ENC_XV709: return full ? CS_YCBCR709_FULL : CS_YCBCR709_LIMITED;
    case V4L2_YCBCR_ENC_BT2020: return full ? CS_UNKNOWN : CS_YCBCR2020_LIMITED;
    default: return CS_UNKNOWN;
    }
}

const char* Describe(ColorSpace space) {
    switch (space) {
    case CS_YCBCR601_LIMITED: return "BT.601 limited range";
    case CS_YCBCR601_FULL: return "BT.601 full range";
    case CS_YCBCR709_LIMITED: return "Rec.709 limited range";
    case CS_YCBCR709_FULL: return "Rec.709 full range";
    case CS_YCBCR2020_LIMITED: return "BT.2020 limited range";
    default: return "unspecified colours";
    }
}

}  // namespace capture_format
