#pragma once

#include <memory>
#include <string>

#include "frame_source.h"
#include "nv12_frame_reader.h"
#include "test_pattern.h"

// One picture per frame slot, made when its slot is due: the moving test
// pattern, or the next frame of a raw NV12 file (looped). A loop that runs
// late skips the slots it missed instead of bursting to catch up.
class PacedSource final : public FrameSource {
public:
    // The test pattern.
    PacedSource(const SourceSettings& settings, Deliver deliver);
    // Frames of an opened file.
    PacedSource(const SourceSettings& settings, Deliver deliver,
                std::unique_ptr<Nv12FrameReader> file);

    std::string Describe() const override;
    void Start(const FrameSlots& slots) override;
    void Setup(IOEventData& data) override;
    void Handle(IOEventData& data) override;
    uint64_t MissedSlots() const override { return m_missed; }

private:
    void ProduceDueFrame();

    SourceSettings m_settings;
    Deliver m_deliver;
    std::unique_ptr<TestPattern> m_pattern;
    std::unique_ptr<Nv12FrameReader> m_file;
    FrameSlots m_slots{{}, 1};
    int64_t m_next_slot = 0;
    uint64_t m_drawn = 0;
    uint64_t m_missed = 0;
    bool m_ended = false;
};
