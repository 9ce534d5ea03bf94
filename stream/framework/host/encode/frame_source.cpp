#include "frame_source.h"

#include <sys/stat.h>

#include "capture_source.h"
#include "fifo_source.h"
#include "log.h"
#include "paced_source.h"

int64_t FrameSlots::At(Clock::time_point when) const {
    if (when <= m_start) return 0;
    const int64_t elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(when - m_start).count();
    return elapsed * m_fps / 1000000000;
}

Status MakeFrameSource(const SourceSettings& settings, FrameSource::Deliver deliver,
                       std::unique_ptr<FrameSource>& source) {
    if (settings.input.empty()) {
        source = std::make_unique<PacedSource>(settings, std::move(deliver));
        return Status::SUCCESS;
    }
    struct stat info {};
    if (stat(settings.input.c_str(), &info) == 0) {
        if (S_ISCHR(info.st_mode)) {
            auto capture = std::make_unique<CaptureSource>(settings, std::move(deliver));
            const Status status = capture->Open();
            if (status == Status::SUCCESS) source = std::move(capture);
            return status;
        }
        if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode)) {
            Log::Instance().Errorf(
                "%s: %s is neither a capture device, a FIFO nor a file of raw NV12 "
                "frames",
                settings.name.c_str(), settings.input.c_str());
            return Status::FAILURE_INVALID;
        }
    }
    // A missing path is the reader's to report.
    auto reader = std::make_unique<Nv12FrameReader>();
    const Status status = reader->Open(settings.input, settings.width, settings.height);
    if (status != Status::SUCCESS) return status;
    if (reader->IsFifo())
        source = std::make_unique<FifoSource>(settings, std::move(deliver), std::move(reader));
    else
        source = std::make_unique<PacedSource>(settings, std::move(deliver), std::move(reader));
    return Status::SUCCESS;
}
