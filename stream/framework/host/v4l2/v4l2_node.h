#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "status.h"
#include "v4l2_io.h"

// One open V4L2 video node: its descriptor, its capabilities and its calls.
// Nothing here logs: a failed call returns false (or a status) and keeps its
// reason, naming the call, in Error(), for the device's user to say once with
// the path and to count what recurs.
class V4l2Node {
public:
    explicit V4l2Node(V4l2Io& io = V4l2Io::Kernel()) : m_io(io) {}
    ~V4l2Node();
    V4l2Node(const V4l2Node&) = delete;
    V4l2Node& operator=(const V4l2Node&) = delete;

    // Opens the node without blocking and asks its capabilities; a file that
    // is no V4L2 node is refused.
    Status Open(const std::string& path);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Descriptor() const { return m_fd; }
    const std::string& Path() const { return m_path; }
    // The node's own capabilities (device_caps where the driver gives them).
    uint32_t Caps() const { return m_caps; }
    const std::string& Driver() const { return m_driver; }

    // The ioctl, again after EINTR; false with "NAME: (errno) text" kept.
    bool Call(unsigned long request, void* arg, const char* name);
    // The same for the calls of a teardown, whose failure changes nothing:
    // the reason of an earlier failure is kept.
    bool CallQuietly(unsigned long request, void* arg);
    // A buffer's memory, mapped shared; null with the reason kept.
    void* Map(size_t length, int protection, off_t offset, const std::string& what);
    void Unmap(void* data, size_t length) { m_io.Unmap(data, length); }
    // The errno of the last failed call, 0 after a refusal.
    int LastErrno() const { return m_errno; }

    // Keeps why a step failed and gives its status: FAILURE_SYSCALL for an
    // errno, FAILURE_INVALID for what the node cannot do.
    Status Fail(const std::string& step, int error);
    Status Refuse(const std::string& why);
    void ClearError();
    // The reason of the last failure: "VIDIOC_S_FMT: (16) Device or resource busy".
    const std::string& Error() const { return m_error; }
    // The last failure was ENODEV: the node is gone.
    bool Gone() const { return m_errno == ENODEV; }

private:
    V4l2Io& m_io;
    std::string m_path;
    int m_fd = -1;
    uint32_t m_caps = 0;
    std::string m_driver;
    std::string m_error;
    int m_errno = 0;
};

// printf into a string, for the reasons a device gives.
std::string V4l2Text(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "NV12", or the fourcc's printable characters.
std::string FourccName(uint32_t fourcc);
// "NV12, NV21, ..."; "none" for no formats.
std::string FourccNames(const std::vector<uint32_t>& fourccs);
