#include "paced_source.h"

#include <algorithm>

#include "log.h"

PacedSource::PacedSource(const SourceSettings& settings, Deliver deliver)
    : m_settings(settings),
      m_deliver(std::move(deliver)),
      m_pattern(std::make_unique<TestPattern>(settings.width, settings.height)) {}

PacedSource::PacedSource(const SourceSettings& settings, Deliver deliver,
                         std::unique_ptr<Nv12FrameReader> file)
    : m_settings(settings), m_deliver(std::move(deliver)), m_file(std::move(file)) {}

std::string PacedSource::Describe() const {
    return m_pattern ? "the test pattern" : m_settings.input + " (file, looped)";
}

void PacedSource::Start(const FrameSlots& slots) {
    m_slots = slots;
    m_next_slot = 0;
}

void PacedSource::Setup(IOEventData& data) {
    if (m_ended) {
        // No deadline of our own, but the loop must still wake to check its clock.
        data.AddTimeout(m_slots.Period(), nullptr);
        return;
    }
    data.AddTimeout(m_slots.Time(m_next_slot), [this] { ProduceDueFrame(); });
}

void PacedSource::Handle(IOEventData&) {
    // Another descriptor woke the loop, so no timeout callback runs this cycle.
    ProduceDueFrame();
}

void PacedSource::ProduceDueFrame() {
    if (m_ended) return;
    const auto now = FrameSlots::Clock::now();
    if (now < m_slots.Time(m_next_slot)) return;
    const int64_t slot = std::max(m_next_slot, m_slots.At(now));
    m_missed += static_cast<uint64_t>(slot - m_next_slot);
    m_next_slot = slot + 1;

    SourcePicture picture;
    if (m_pattern) {
        m_pattern->Draw(static_cast<uint32_t>(m_drawn));
        picture.picture = {m_pattern->Y(), m_pattern->Stride(), m_pattern->UV(),
                           m_pattern->Stride()};
    } else {
        if (m_file->Read() != Nv12FrameReader::Result::FRAME) {
            Log::Instance().Errorf("%s: the input gives no more frames", m_settings.name.c_str());
            m_ended = true;
            return;
        }
        const uint8_t* frame = m_file->Frame();
        const size_t luma = static_cast<size_t>(m_settings.width) * m_settings.height;
        picture.picture = {frame, m_settings.width, frame + luma, m_settings.width};
    }
    ++m_drawn;
    picture.slot = slot;
    picture.made = FrameSlots::Clock::now();
    m_deliver(picture);
}
