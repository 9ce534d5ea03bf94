#pragma once

#include <memory>
#include <string>

#include "frame_source.h"
#include "nv12_frame_reader.h"

// Raw NV12 frames from a FIFO, each encoded as soon as its writer has sent all
// of it; the stream ends with the writer.
class FifoSource final : public FrameSource {
public:
    FifoSource(const SourceSettings& settings, Deliver deliver,
               std::unique_ptr<Nv12FrameReader> fifo);

    std::string Describe() const override { return m_settings.input + " (FIFO)"; }
    void Start(const FrameSlots& slots) override { m_period = slots.Period(); }
    void Setup(IOEventData& data) override;
    void Handle(IOEventData& data) override;
    uint64_t MissedSlots() const override { return 0; }

private:
    void Read();

    SourceSettings m_settings;
    Deliver m_deliver;
    std::unique_ptr<Nv12FrameReader> m_fifo;
    FrameSlots::Clock::duration m_period{};
    uint64_t m_frames = 0;
    bool m_ended = false;
};
