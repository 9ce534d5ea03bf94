#include "reference_scale.h"

#include <cmath>
#include <stdexcept>

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

std::vector<uint8_t> ScalePlane(const uint8_t* src, int width, int height, int stride,
                                int out_width, int out_height) {
    // Area averaging down, bilinear up: the filters a careful scaler would choose.
    const int flags = (out_width < width ? SWS_AREA : SWS_BILINEAR) | SWS_ACCURATE_RND;
    SwsContext* context = sws_getContext(width, height, AV_PIX_FMT_GRAY8, out_width, out_height,
                                         AV_PIX_FMT_GRAY8, flags, nullptr, nullptr, nullptr);
    if (!context) throw std::runtime_error("sws_getContext refused the sizes");
    std::vector<uint8_t> out(static_cast<size_t>(out_width) * out_height);
    uint8_t* dst = out.data();
    const int out_stride = out_width;
    sws_scale(context, &src, &stride, 0, height, &dst, &out_stride);
    sws_freeContext(context);
    return out;
}

double Psnr(double squared_error, size_t count) {
    if (squared_error == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(count) / squared_error);
}

}  // namespace

std::vector<uint8_t> ReferenceScaleNV12(const std::vector<uint8_t>& nv12, int width, int height,
                                        int out_width, int out_height) {
    const size_t luma = static_cast<size_t>(width) * height;
    const size_t pairs = luma / 4;
    std::vector<uint8_t> u(pairs), v(pairs);
    for (size_t i = 0; i < pairs; ++i) {
        u[i] = nv12[luma + 2 * i];
        v[i] = nv12[luma + 2 * i + 1];
    }
    const auto y_out = ScalePlane(nv12.data(), width, height, width, out_width, out_height);
    const auto u_out = ScalePlane(u.data(), width / 2, height / 2, width / 2, out_width / 2, out_height / 2);
    const auto v_out = ScalePlane(v.data(), width / 2, height / 2, width / 2, out_width / 2, out_height / 2);

    std::vector<uint8_t> out(y_out);
    out.reserve(y_out.size() + 2 * u_out.size());
    for (size_t i = 0; i < u_out.size(); ++i) {
        out.push_back(u_out[i]);
        out.push_back(v_out[i]);
    }
    return out;
}

FramePsnr CompareNV12(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int width,
                      int height) {
    const size_t luma = static_cast<size_t>(width) * height;
    const size_t total = luma + luma / 2;
    if (a.size() < total || b.size() < total) return {0, 0};
    double luma_error = 0, chroma_error = 0;
    for (size_t i = 0; i < total; ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        (i < luma ? luma_error : chroma_error) += d * d;
    }
    return {Psnr(luma_error, luma), Psnr(chroma_error, total - luma)};
}
