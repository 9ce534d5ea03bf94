#include "v4l2_node.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

std::string V4l2Text(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

std::string FourccName(uint32_t fourcc) {
    std::string name;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((fourcc >> shift) & 0xFF);
        if (c >= 0x21 && c <= 0x7E) name += c;
    }
    return name.empty() ? "?" : name;
}

std::string FourccNames(const std::vector<uint32_t>& fourccs) {
    std::string names;
    for (uint32_t fourcc : fourccs) names += (names.empty() ? "" : ", ") + FourccName(fourcc);
    return names.empty() ? "none" : names;
}

V4l2Node::~V4l2Node() { Close(); }

Status V4l2Node::Fail(const std::string& step, int error) {
    m_error = V4l2Text("%s: (%d) %s", step.c_str(), error, strerror(error));
    m_errno = error;
    return Status::FAILURE_SYSCALL;
}

Status V4l2Node::Refuse(const std::string& why) {
    m_error = why;
    m_errno = 0;
    return Status::FAILURE_INVALID;
}

void V4l2Node::ClearError() {
    m_error.clear();
    m_errno = 0;
}

bool V4l2Node::CallQuietly(unsigned long request, void* arg) {
    int result;
    do {
        result = m_io.Ioctl(m_fd, request, arg);
    } while (result < 0 && errno == EINTR);
    return result == 0;
}

bool V4l2Node::Call(unsigned long request, void* arg, const char* name) {
    if (CallQuietly(request, arg)) return true;
    Fail(name, errno);
    return false;
}

Status V4l2Node::Open(const std::string& path) {
    Close();
    m_path = path;
    m_fd = m_io.Open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) return Fail("cannot open it", errno);
    v4l2_capability capability{};
    if (!Call(VIDIOC_QUERYCAP, &capability, "VIDIOC_QUERYCAP")) {
        const int error = m_errno;
        const std::string reason = m_error;
        Close();
        // ENOSYS: an emulator that does not know the request.
        if (error == ENOTTY || error == ENOSYS) return Refuse("not a V4L2 device (" + reason + ")");
        return Fail("VIDIOC_QUERYCAP", error);
    }
    m_driver = reinterpret_cast<const char*>(capability.driver);
    m_caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? capability.device_caps
                                                                    : capability.capabilities;
    return Status::SUCCESS;
}

void* V4l2Node::Map(size_t length, int protection, off_t offset, const std::string& what) {
    void* data = m_io.Map(length, protection, m_fd, offset);
    if (data != MAP_FAILED) return data;
    Fail("mmap of " + what, errno);
    return nullptr;
}

void V4l2Node::Close() {
    if (m_fd >= 0) m_io.Close(m_fd);
    m_fd = -1;
    m_caps = 0;
}
