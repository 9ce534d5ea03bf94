#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "status.h"

// Raw NV12 frames (luma plane then interleaved chroma, no padding) from a file
// or a FIFO. A file is read one frame per call and starts over at its end; a
// FIFO is read as its writer delivers, without blocking.
class Nv12FrameReader {
public:
    enum class Result { FRAME, PARTIAL, END };

    Nv12FrameReader() = default;
    ~Nv12FrameReader();
    Nv12FrameReader(const Nv12FrameReader&) = delete;
    Nv12FrameReader& operator=(const Nv12FrameReader&) = delete;

    // FAILURE_SYSCALL when the path cannot be opened, FAILURE_INVALID when a file
    // holds less than one frame; the reason is logged.
    Status Open(const std::string& path, int width, int height);
    void Close();

    bool IsFifo() const { return m_fifo; }
    int Descriptor() const { return m_fd; }
    const uint8_t* Frame() const { return m_frame.data(); }
    size_t FrameSize() const { return m_frame.size(); }

    // FRAME when Frame() holds a complete new frame; PARTIAL when a FIFO has
    // delivered only part of one so far; END when a FIFO's writer has gone or
    // reading failed (logged).
    Result Read();

private:
    Result ReadFile();
    Result ReadFifo();

    std::string m_path;
    int m_fd = -1;
    bool m_fifo = false;
    size_t m_filled = 0;
    std::vector<uint8_t> m_frame;
};
