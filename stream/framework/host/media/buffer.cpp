#include "buffer.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_map>

#include "log.h"

namespace {

size_t PageSize() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

// Maps the block's pages now, a piece at a time: each piece holds the
// process's memory map lock only briefly. Kernels before 5.14 refuse the
// advice (EINVAL) and qemu-user accepts it and does nothing, so the pages it
// did not map are then written one by one; the block is new, all zeros.
void Populate(uint8_t* address, size_t size, const std::string& name) {
    constexpr size_t PIECE = size_t{256} << 10;
    for (size_t offset = 0; offset < size; offset += PIECE) {
        errno = 0;
        if (madvise(address + offset, std::min(PIECE, size - offset), MADV_POPULATE_WRITE) < 0) {
            if (errno != EINVAL)
                Log::Instance().Warnf("madvise(%s, %zu, MADV_POPULATE_WRITE): (%d) %m", name.c_str(), size, errno);
            break;
        }
    }
    const size_t page = PageSize(), pages = size / page;
    std::unique_ptr<unsigned char[]> mapped(new unsigned char[pages]());
    const bool known = mincore(address, size, mapped.get()) == 0;
    volatile uint8_t* const bytes = address;
    for (size_t index = 0; index < pages; ++index)
        if (!known || !(mapped[index] & 1)) bytes[index * page] = 0;
}

// The live buffers of this process by descriptor address, so that a view of
// one can use the buffer's own mapping instead of mapping it again.
std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}

// Never destroyed, since a buffer held by a static object may go after it.
std::unordered_map<const void*, Buffer*>& Registry() {
    static auto& buffers = *new std::unordered_map<const void*, Buffer*>;
    return buffers;
}

}  // namespace

std::unique_ptr<Buffer> Buffer::Allocate(size_t size, const std::string& name, bool populate) {
    const Log& log = Log::Instance();
    if (size == 0 || size > UINT32_MAX - PageSize()) {
        log.Errorf("Buffer %s: cannot allocate %zu bytes", name.c_str(), size);
        return nullptr;
    }
    const size_t rounded = (size + PageSize() - 1) / PageSize() * PageSize();

    errno = 0;
    const int fd = memfd_create(name.c_str(), MFD_CLOEXEC);
    if (fd < 0) {
        log.Errorf("memfd_create(%s): (%d) %m", name.c_str(), errno);
        return nullptr;
    }
    errno = 0;
    if (ftruncate(fd, static_cast<off_t>(rounded)) < 0) {
        log.Errorf("ftruncate(%s, %zu): (%d) %m", name.c_str(), rounded, errno);
        close(fd);
        return nullptr;
    }
    // The pages are made through the descriptor, which does not hold up the
    // process's other threads as faulting them in through a mapping would.
    // A failure here costs only speed: the pages are then made when first written.
    errno = 0;
    if (populate && fallocate(fd, 0, 0, static_cast<off_t>(rounded)) < 0)
        log.Warnf("fallocate(%s, %zu): (%d) %m", name.c_str(), rounded, errno);
    errno = 0;
    void* address = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
        log.Errorf("mmap(%s, %zu): (%d) %m", name.c_str(), rounded, errno);
        close(fd);
        return nullptr;
    }
    if (populate) Populate(static_cast<uint8_t*>(address), rounded, name);
    return std::unique_ptr<Buffer>(new Buffer(fd, static_cast<uint8_t*>(address), rounded));
}

std::unique_ptr<Buffer> Buffer::Borrow(uint8_t* address, size_t size) {
    if (!address || size == 0 || size > UINT32_MAX) {
        Log::Instance().Errorf("Buffer: cannot borrow %zu bytes at %p", size, static_cast<void*>(address));
        return nullptr;
    }
    return std::unique_ptr<Buffer>(new Buffer(-1, address, size));
}

Buffer::Buffer(int fd, uint8_t* address, size_t size)
    : m_fd(fd), m_address(address), m_size(size) {
    m_handle.fd = fd;
    m_handle.size = static_cast<uint32_t>(size);
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry()[&m_handle] = this;
}

std::shared_ptr<Buffer> Buffer::FromData(const void* data) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    const auto found = Registry().find(data);
    return found == Registry().end() ? nullptr : found->second->weak_from_this().lock();
}

Buffer::~Buffer() {
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry().erase(&m_handle);
    }
    if (m_fd < 0) return;  // borrowed: the memory is its owner's
    munmap(m_address, m_size);
    close(m_fd);
}
