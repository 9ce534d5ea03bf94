#include "scratch_memory.h"

#include <cerrno>
#include <new>
#include <sys/mman.h>

#include "log.h"

namespace morwick {

namespace {

constexpr size_t HUGE_PAGE = size_t{2} << 20;

size_t RoundUp(size_t bytes, size_t granule) { return (bytes + granule - 1) / granule * granule; }

}  // namespace

ScratchMemory::~ScratchMemory() {
    if (m_address) munmap(m_address, m_size);
}

uint8_t* ScratchMemory::Reserve(size_t bytes) {
    if (bytes <= m_size && m_address) return m_address;
    if (m_address) munmap(m_address, m_size);
    m_address = nullptr;
    m_size = 0;

    // Whole huge pages at a huge-page boundary: map one more and trim both ends.
    const size_t size = RoundUp(bytes ? bytes : 1, HUGE_PAGE);
    errno = 0;
    void* mapped = mmap(nullptr, size + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        Log::Instance().Errorf("ScratchMemory: mmap(%zu): (%d) %m", size + HUGE_PAGE, errno);
        throw std::bad_alloc();
    }
    auto* start = static_cast<uint8_t*>(mapped);
    auto* aligned = reinterpret_cast<uint8_t*>(RoundUp(reinterpret_cast<uintptr_t>(start), HUGE_PAGE));
    if (aligned > start) munmap(start, static_cast<size_t>(aligned - start));
    const size_t tail = HUGE_PAGE - static_cast<size_t>(aligned - start);
    if (tail) munmap(aligned + size, tail);
    // Only advice: where huge pages are off, small ones serve the same.
    madvise(aligned, size, MADV_HUGEPAGE);
    m_address = aligned;
    m_size = size;
    return m_address;
}

}  // namespace morwick
