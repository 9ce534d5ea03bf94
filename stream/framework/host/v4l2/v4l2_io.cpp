#include "v4l2_io.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

class KernelIo final : public V4l2Io {
public:
    int Open(const std::string& path, int flags) override { return open(path.c_str(), flags); }
    int Close(int fd) override { return close(fd); }
    int Ioctl(int fd, unsigned long request, void* arg) override { return ioctl(fd, request, arg); }
    void* Map(size_t length, int protection, int fd, off_t offset) override {
        return mmap(nullptr, length, protection, MAP_SHARED, fd, offset);
    }
    int Unmap(void* data, size_t length) override { return munmap(data, length); }
};

}  // namespace

V4l2Io& V4l2Io::Kernel() {
    static KernelIo kernel;
    return kernel;
}
