#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

// `bytes` of writable memory that end where a PROT_NONE page begins.
class GuardedMemory {
public:
    explicit GuardedMemory(size_t bytes) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        m_length = (bytes + page - 1) / page * page + page;
        void* base = mmap(nullptr, m_length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) return;
        m_base = static_cast<uint8_t*>(base);
        if (mprotect(m_base + m_length - page, page, PROT_NONE) != 0) return;
        m_data = m_base + m_length - page - bytes;
    }
    ~GuardedMemory() {
        if (m_base) munmap(m_base, m_length);
    }
    GuardedMemory(const GuardedMemory&) = delete;
    GuardedMemory& operator=(const GuardedMemory&) = delete;

    uint8_t* Data() const { return m_data; }  // null when the memory could not be had

private:
    uint8_t* m_base = nullptr;
    uint8_t* m_data = nullptr;
    size_t m_length = 0;
};
