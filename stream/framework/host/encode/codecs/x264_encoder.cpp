#include "x264_encoder.h"

#include <cstdint>

extern "C" {
#include <x264.h>
}

#include "library_log.h"
#include "log.h"

namespace {

// The H.264 VUI codes (primaries, transfer, matrix) of each colour space, so
// that a player shows the colours as they were captured.
void SetColours(x264_param_t& param, ColorSpace space) {
    struct Codes {
        int primaries, transfer, matrix;
        bool full;
    };
    Codes codes{};
    switch (space) {
    case CS_YCBCR601_LIMITED: codes = {6, 6, 6, false}; break;  // SMPTE 170M
    case CS_YCBCR601_FULL: codes = {6, 6, 6, true}; break;
    case CS_YCBCR709_LIMITED: codes = {1, 1, 1, false}; break;  // BT.709
    case CS_YCBCR709_FULL: codes = {1, 1, 1, true}; break;
    case CS_YCBCR2020_LIMITED: codes = {9, 14, 9, false}; break;  // BT.2020, non-constant luminance
    default: return;  // unspecified
    }
    param.vui.i_colorprim = codes.primaries;
    param.vui.i_transfer = codes.transfer;
    param.vui.i_colmatrix = codes.matrix;
    param.vui.b_fullrange = codes.full ? 1 : 0;
}

}  // namespace

X264Encoder::~X264Encoder() { Close(); }

void X264Encoder::Close() {
    if (m_encoder != nullptr) {
        x264_encoder_close(m_encoder);
        m_encoder = nullptr;
    }
}

Status X264Encoder::Open(const H264Settings& settings) {
    Close();
    const Log& log = Log::Instance();
    if (settings.width <= 0 || settings.height <= 0 || settings.width > MAX_SIDE ||
        settings.height > MAX_SIDE || settings.width % 2 != 0 || settings.height % 2 != 0) {
        log.Errorf("H.264 encoder: frame size %dx%d is not an even size from 2x2 to %dx%d",
                   settings.width, settings.height, MAX_SIDE, MAX_SIDE);
        return Status::FAILURE_INVALID;
    }
    if (settings.fps <= 0 || settings.fps > 240) {
        log.Errorf("H.264 encoder: frame rate %d is outside 1..240", settings.fps);
        return Status::FAILURE_INVALID;
    }
    if (settings.bitrate_kbps < 50 || settings.bitrate_kbps > 200000) {
        log.Errorf("H.264 encoder: bit rate %d kbit/s is outside 50..200000", settings.bitrate_kbps);
        return Status::FAILURE_INVALID;
    }

    x264_param_t param;
    if (x264_param_default_preset(&param, "ultrafast", "zerolatency") < 0) {
        log.Errorf("H.264 encoder: x264 does not know the preset ultrafast/zerolatency");
        return Status::FAILURE_UNSUPPORTED;
    }
    param.i_log_level = X264LogLevel();
    param.pf_log = &X264Log;
    param.i_csp = X264_CSP_NV12;
    param.i_width = settings.width;
    param.i_height = settings.height;
    param.i_fps_num = static_cast<uint32_t>(settings.fps);
    param.i_fps_den = 1;
    param.i_timebase_num = 1;
    param.i_timebase_den = 90000;
    param.b_vfr_input = 0;
    // One thread: the whole frame is done before Encode returns. Slice threads
    // (x264's own count under zerolatency, as ffmpeg uses) take about 2 ms off a
    // 720p frame on two cores but cost about 6% more CPU, and behind the sender's
    // pacing the frame leaves only some 0.6 ms sooner.
    param.i_threads = 1;
    param.b_sliced_threads = 0;
    param.i_keyint_max = settings.fps;
    param.i_keyint_min = settings.fps;
    param.i_scenecut_threshold = 0;
    param.b_repeat_headers = 1;
    param.b_annexb = 1;
    param.b_aud = 1;  // the TS muxer would otherwise copy every frame to add one
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = settings.bitrate_kbps;
    param.rc.i_vbv_max_bitrate = settings.bitrate_kbps;
    // Never 0, which x264 takes as no cap at all.
    param.rc.i_vbv_buffer_size = (settings.bitrate_kbps + settings.fps - 1) / settings.fps;
    param.rc.f_vbv_buffer_init = 0.9f;
    SetColours(param, settings.color_space);
    if (x264_param_apply_profile(&param, "high") < 0) {
        log.Errorf("H.264 encoder: x264 refuses the high profile for these settings");
        return Status::FAILURE_INVALID;
    }

    m_encoder = x264_encoder_open(&param);
    if (m_encoder == nullptr) {
        log.Errorf("H.264 encoder: x264_encoder_open failed for %dx%d at %d fps, %d kbit/s",
                   settings.width, settings.height, settings.fps, settings.bitrate_kbps);
        return Status::FAILURE_INVALID;
    }
    m_settings = settings;
    return Status::SUCCESS;
}

Status X264Encoder::Encode(const Nv12Picture& picture, int64_t pts, EncodedAccessUnit& unit) {
    unit = EncodedAccessUnit{};
    if (m_encoder == nullptr) {
        Log::Instance().Errorf("H.264 encoder: Encode called before Open");
        return Status::FAILURE_INVALID_STATE;
    }
    x264_picture_t in;
    x264_picture_init(&in);
    in.img.i_csp = X264_CSP_NV12;
    in.img.i_plane = 2;
    in.img.plane[0] = const_cast<uint8_t*>(picture.y);
    in.img.i_stride[0] = picture.y_stride;
    in.img.plane[1] = const_cast<uint8_t*>(picture.uv);
    in.img.i_stride[1] = picture.uv_stride;
    in.i_pts = pts;

    x264_picture_t out;
    x264_nal_t* nals = nullptr;
    int nal_count = 0;
    const int size = x264_encoder_encode(m_encoder, &nals, &nal_count, &in, &out);
    if (size < 0) {
        if (const uint64_t due = m_encode_failures.Count())
            Log::Instance().Errorf("H.264 encoder: x264_encoder_encode failed (%d)%s", size,
                                   RepeatCounter::Suffix(due).c_str());
        return Status::FAILURE;
    }
    if (size == 0 || nal_count == 0) return Status::SUCCESS;
    // x264 lays the payloads of one call out back to back.
    unit.data = nals[0].p_payload;
    unit.size = static_cast<size_t>(size);
    unit.pts = out.i_pts;
    unit.dts = out.i_dts;
    unit.key = out.b_keyframe != 0;
    return Status::SUCCESS;
}
