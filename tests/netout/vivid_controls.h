#pragma once

// Sets the controls of the appliance's HDMI input (the kernel's vivid driver)
// from the test itself, by the names v4l2-ctl gives them: starting v4l2-ctl
// in the emulated appliance takes from half a second to seconds, too long to
// time a change within a run.

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace vivid_controls {

// "DV Timings Signal Mode" -> "dv_timings_signal_mode", as v4l2-ctl names it.
inline std::string Name(const char* text) {
    std::string name;
    bool gap = false;
    for (; *text != '\0'; ++text) {
        if (std::isalnum(static_cast<unsigned char>(*text))) {
            if (gap) name += '_';
            gap = false;
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
        } else if (!name.empty()) {
            gap = true;
        }
    }
    return name;
}

// Sets "name=value,name=value" in one call (a number, or the name of a menu
// item), after choosing `input` when it is not negative. Returns what failed,
// or nothing.
inline std::string Set(const std::string& device, int input, const std::string& controls) {
    const int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return "cannot open " + device + ": " + strerror(errno);
    std::string failure;
    if (input >= 0 && ioctl(fd, VIDIOC_S_INPUT, &input) < 0)
        failure = std::string("VIDIOC_S_INPUT: ") + strerror(errno);
    std::vector<v4l2_ext_control> values;
    std::stringstream list(controls);
    for (std::string item; failure.empty() && std::getline(list, item, ',');) {
        const size_t equals = item.find('=');
        const std::string name = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        v4l2_query_ext_ctrl query{};
        query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
        bool found = false;
        while (!found && ioctl(fd, VIDIOC_QUERY_EXT_CTRL, &query) == 0) {
            found = Name(query.name) == name;
            if (!found) query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
        }
        if (!found) {
            failure = "no control " + name;
            break;
        }
        v4l2_ext_control control{};
        control.id = query.id;
        char* end = nullptr;
        control.value = static_cast<int32_t>(std::strtol(value.c_str(), &end, 10));
        if (value.empty() || *end != '\0') {  // a menu item by its name
            found = false;
            for (int64_t index = query.minimum; !found && index <= query.maximum; ++index) {
                v4l2_querymenu item_query{};
                item_query.id = query.id;
                item_query.index = static_cast<uint32_t>(index);
                found = ioctl(fd, VIDIOC_QUERYMENU, &item_query) == 0 &&
                        value == reinterpret_cast<const char*>(item_query.name);
                control.value = static_cast<int32_t>(index);
            }
            if (!found) failure = name + " has no item " + value;
        }
        values.push_back(control);
    }
    if (failure.empty()) {
        v4l2_ext_controls set{};
        set.which = V4L2_CTRL_WHICH_CUR_VAL;
        set.count = static_cast<uint32_t>(values.size());
        set.controls = values.data();
        if (ioctl(fd, VIDIOC_S_EXT_CTRLS, &set) < 0)
            failure = "VIDIOC_S_EXT_CTRLS " + controls + ": " + strerror(errno);
    }
    close(fd);
    return failure;
}

// Writes `blocks` (empty: none, which leaves the input without a source)
// as the EDID of `input`, or reads it back; returns what failed, or nothing.
inline std::string Edid(const std::string& device, int input, std::vector<uint8_t>& blocks, bool write) {
    const int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return "cannot open " + device + ": " + strerror(errno);
    if (!write) blocks.assign(256 * 128, 0);
    v4l2_edid edid{};
    edid.pad = static_cast<uint32_t>(input);
    edid.blocks = static_cast<uint32_t>(blocks.size() / 128);
    edid.edid = blocks.data();
    std::string failure;
    if (ioctl(fd, write ? VIDIOC_S_EDID : VIDIOC_G_EDID, &edid) < 0)
        failure = std::string(write ? "VIDIOC_S_EDID: " : "VIDIOC_G_EDID: ") + strerror(errno);
    else if (!write)
        blocks.resize(edid.blocks * 128);
    close(fd);
    return failure;
}

}  // namespace vivid_controls
