#include "fifo_source.h"

#include "log.h"

FifoSource::FifoSource(const SourceSettings& settings, Deliver deliver,
                       std::unique_ptr<Nv12FrameReader> fifo)
    : m_settings(settings), m_deliver(std::move(deliver)), m_fifo(std::move(fifo)) {}

void FifoSource::Setup(IOEventData& data) {
    // A stalled or finished writer must not block select for ever: the loop
    // has its clock to check.
    data.AddTimeout(m_period, nullptr);
    if (!m_ended && data.AddReadFd(m_fifo->Descriptor()) != Status::SUCCESS) {
        Log::Instance().Errorf("%s: cannot wait for input; no more frames",
                               m_settings.name.c_str());
        m_ended = true;
    }
}

void FifoSource::Handle(IOEventData& data) {
    if (!m_ended && data.IsReadReady(m_fifo->Descriptor())) Read();
}

void FifoSource::Read() {
    switch (m_fifo->Read()) {
    case Nv12FrameReader::Result::FRAME: {
        const uint8_t* frame = m_fifo->Frame();
        const size_t luma = static_cast<size_t>(m_settings.width) * m_settings.height;
        SourcePicture picture;
        picture.picture = {frame, m_settings.width, frame + luma, m_settings.width};
        picture.made = FrameSlots::Clock::now();
        ++m_frames;
        m_deliver(picture);
        break;
    }
    case Nv12FrameReader::Result::PARTIAL: break;
    case Nv12FrameReader::Result::END:
        Log::Instance().Infof("%s: the input has ended after %llu frames", m_settings.name.c_str(),
                              static_cast<unsigned long long>(m_frames));
        m_ended = true;
        break;
    }
}
