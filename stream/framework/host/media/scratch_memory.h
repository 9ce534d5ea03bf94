#pragma once

#include <cstddef>
#include <cstdint>

namespace morwick {

// Private memory for a frame's intermediate planes, kept from frame to frame.
// It is asked for transparent huge pages: the first touch of a 2 MiB page
// costs a small part of what the first touches of 512 small pages cost, and
// a one-frame process pays that cost for every byte it uses.
class ScratchMemory {
public:
    ScratchMemory() = default;
    ~ScratchMemory();
    ScratchMemory(const ScratchMemory&) = delete;
    ScratchMemory& operator=(const ScratchMemory&) = delete;

    // At least `bytes` bytes, 64-byte aligned. Earlier contents are not kept
    // when the block has to grow. Throws std::bad_alloc (logged) when the
    // memory cannot be had, as a vector would.
    uint8_t* Reserve(size_t bytes);

    // Bytes to set aside for a piece, so that the next piece stays aligned.
    static size_t Piece(size_t bytes) { return (bytes + 63) / 64 * 64; }

private:
    uint8_t* m_address = nullptr;
    size_t m_size = 0;
};

}  // namespace morwick
