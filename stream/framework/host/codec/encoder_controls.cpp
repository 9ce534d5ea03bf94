#include "encoder_controls.h"

#include <linux/videodev2.h>

namespace {

// H.264 levels (table A-1): macroblocks a second, macroblocks a frame, and the
// largest bit rate of the High profile (1.25 times the others').
struct Level {
    int32_t menu;
    int64_t macroblocks_per_second;
    int64_t macroblocks_per_frame;
    int64_t high_bit_rate;
};
constexpr Level LEVELS[] = {
    {V4L2_MPEG_VIDEO_H264_LEVEL_1_0, 1485, 99, 80000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_1_1, 3000, 396, 240000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_1_2, 6000, 396, 480000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_1_3, 11880, 396, 960000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_2_0, 11880, 396, 2500000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_2_1, 19800, 792, 5000000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_2_2, 20250, 1620, 5000000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_3_0, 40500, 1620, 12500000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_3_1, 108000, 3600, 17500000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_3_2, 216000, 5120, 25000000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_4_0, 245760, 8192, 25000000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_4_1, 245760, 8192, 62500000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_4_2, 522240, 8704, 62500000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_5_0, 589824, 22080, 168750000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_5_1, 983040, 36864, 300000000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_5_2, 2073600, 36864, 300000000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_6_0, 4177920, 139264, 300000000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_6_1, 8355840, 139264, 600000000},
    {V4L2_MPEG_VIDEO_H264_LEVEL_6_2, 16711680, 139264, 1000000000},
};

std::string MenuItem(V4l2Node& node, uint32_t id, int64_t value) {
    v4l2_querymenu item{};
    item.id = id;
    item.index = static_cast<uint32_t>(value);
    if (value >= 0 && node.CallQuietly(VIDIOC_QUERYMENU, &item))
        return reinterpret_cast<const char*>(item.name);
    return std::to_string(value);
}

bool Write(V4l2Node& node, uint32_t id, int64_t value, const char* name) {
    v4l2_ext_control control{};
    control.id = id;
    control.value = static_cast<int32_t>(value);
    v4l2_ext_controls controls{};
    controls.which = V4L2_CTRL_WHICH_CUR_VAL;
    controls.count = 1;
    controls.controls = &control;
    return node.Call(VIDIOC_S_EXT_CTRLS, &controls, name);
}

bool Read(V4l2Node& node, uint32_t id, int64_t& value) {
    v4l2_ext_control control{};
    control.id = id;
    v4l2_ext_controls controls{};
    controls.which = V4L2_CTRL_WHICH_CUR_VAL;
    controls.count = 1;
    controls.controls = &control;
    if (!node.CallQuietly(VIDIOC_G_EXT_CTRLS, &controls)) return false;
    value = control.value;
    return true;
}

}  // namespace

int32_t EncoderControls::H264Level(int width, int height, int fps, int64_t bit_rate) {
    const int64_t per_frame = static_cast<int64_t>((width + 15) / 16) * ((height + 15) / 16);
    const int64_t per_second = per_frame * fps;
    for (const Level& level : LEVELS)
        if (per_frame <= level.macroblocks_per_frame &&
            per_second <= level.macroblocks_per_second && bit_rate <= level.high_bit_rate)
            return level.menu;
    return LEVELS[sizeof(LEVELS) / sizeof(LEVELS[0]) - 1].menu;
}

void EncoderControls::SetOne(V4l2Node& node, uint32_t id, const char* what, int64_t value) {
    v4l2_query_ext_ctrl query{};
    query.id = id;
    if (!node.CallQuietly(VIDIOC_QUERY_EXT_CTRL, &query)) {
        m_skipped.push_back(std::string(what) + ": the driver has no such control");
        return;
    }
    if ((query.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY)) != 0) {
        m_skipped.push_back(std::string(what) + ": the driver does not let it be set");
        return;
    }
    const bool menu = query.type == V4L2_CTRL_TYPE_MENU;
    if (menu) {
        v4l2_querymenu item{};
        item.id = id;
        item.index = static_cast<uint32_t>(value);
        if (value < query.minimum || value > query.maximum ||
            !node.CallQuietly(VIDIOC_QUERYMENU, &item)) {
            m_skipped.push_back(std::string(what) + ": the driver does not offer " +
                                MenuItem(node, id, value) + " (it keeps " +
                                MenuItem(node, id, query.default_value) + ")");
            return;
        }
    }
    if (!Write(node, id, value, "VIDIOC_S_EXT_CTRLS")) {
        m_skipped.push_back(std::string(what) + ": the driver refuses it (" + node.Error() + ")");
        node.ClearError();
        return;
    }
    int64_t taken = value;
    if (!Read(node, id, taken)) taken = value;  // a control that cannot be read keeps what was set
    Set set{id,   what, value, taken, query.default_value,
            menu, menu ? MenuItem(node, id, taken) : std::to_string(taken)};
    if (taken != value)
        m_differences.push_back(std::string(what) + " " +
                                (menu ? MenuItem(node, id, value) : std::to_string(value)) +
                                " taken as " + set.shown);
    m_set.push_back(set);
}

void EncoderControls::Apply(V4l2Node& node, const Wanted& wanted) {
    m_set.clear();
    m_differences.clear();
    m_skipped.clear();
    const bool h264 = wanted.coded == V4L2_PIX_FMT_H264;
    // The sender paces at the stream's rate: a constant one.
    SetOne(node, V4L2_CID_MPEG_VIDEO_BITRATE_MODE, "bit rate mode", V4L2_MPEG_VIDEO_BITRATE_MODE_CBR);
    SetOne(node, V4L2_CID_MPEG_VIDEO_BITRATE, "bit rate", wanted.bit_rate);
    // A key frame every second, and no frame held back for reordering.
    SetOne(node, V4L2_CID_MPEG_VIDEO_GOP_SIZE, "GOP size", wanted.fps);
    SetOne(node, V4L2_CID_MPEG_VIDEO_B_FRAMES, "B-frames", 0);
    if (h264) {
        SetOne(node, V4L2_CID_MPEG_VIDEO_H264_I_PERIOD, "IDR period", wanted.fps);
        SetOne(node, V4L2_CID_MPEG_VIDEO_H264_PROFILE, "profile", V4L2_MPEG_VIDEO_H264_PROFILE_HIGH);
        SetOne(node, V4L2_CID_MPEG_VIDEO_H264_LEVEL, "level",
               H264Level(wanted.width, wanted.height, wanted.fps, wanted.bit_rate));
    }
    // The headers with the first frame and again with every key frame, so a
    // receiver that joins late can start.
    SetOne(node, V4L2_CID_MPEG_VIDEO_HEADER_MODE, "header mode",
           V4L2_MPEG_VIDEO_HEADER_MODE_JOINED_WITH_1ST_FRAME);
    SetOne(node, V4L2_CID_MPEG_VIDEO_REPEAT_SEQ_HEADER, "headers repeated", 1);
    if (h264) SetOne(node, V4L2_CID_MPEG_VIDEO_PREPEND_SPSPPS_TO_IDR, "SPS/PPS before each IDR", 1);
}

void EncoderControls::Restore(V4l2Node& node) {
    for (Set& set : m_set) {
        if (set.taken == set.driver_default) continue;
        if (Write(node, set.id, set.driver_default, "VIDIOC_S_EXT_CTRLS")) {
            set.taken = set.driver_default;
            set.shown = set.menu ? MenuItem(node, set.id, set.taken) : std::to_string(set.taken);
        }
    }
    node.ClearError();
}

std::string EncoderControls::Describe() const {
    std::string text;
    for (const Set& set : m_set) text += (text.empty() ? "" : ", ") + std::string(set.what) + " " + set.shown;
    return text.empty() ? "no encoder controls" : text;
}
