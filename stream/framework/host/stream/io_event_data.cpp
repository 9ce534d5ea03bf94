#include "io_event_data.h"

#include <algorithm>

#include "log.h"

IOEventData::IOEventData() {
    FD_ZERO(&m_read);
    FD_ZERO(&m_write);
    FD_ZERO(&m_error);
}

bool IOEventData::Fits(int fd) {
    return fd >= 0 && fd < FD_SETSIZE;
}

Status IOEventData::Add(fd_set& set, int fd, const char* what) {
    // FD_SET beyond FD_SETSIZE writes past the set.
    if (!Fits(fd)) {
        Log::Instance().Errorf("IOEventData: refusing %s descriptor %d: select can only watch 0..%d",
                               what, fd, FD_SETSIZE - 1);
        return Status::FAILURE_INVALID;
    }
    FD_SET(fd, &set);
    m_fd_max = std::max(m_fd_max, fd);
    return Status::SUCCESS;
}

Status IOEventData::AddReadFd(int fd) { return Add(m_read, fd, "read"); }
Status IOEventData::AddWriteFd(int fd) { return Add(m_write, fd, "write"); }
Status IOEventData::AddErrorFd(int fd) { return Add(m_error, fd, "error"); }

bool IOEventData::IsReadReady(int fd) const { return Fits(fd) && FD_ISSET(fd, &m_read); }
bool IOEventData::IsWriteReady(int fd) const { return Fits(fd) && FD_ISSET(fd, &m_write); }
bool IOEventData::IsErrorReady(int fd) const { return Fits(fd) && FD_ISSET(fd, &m_error); }

void IOEventData::AddTimeout(Clock::time_point deadline, TimeoutCallback callback) {
    m_timeouts.push_back({deadline, std::move(callback)});
}

void IOEventData::AddTimeout(Clock::duration delay, TimeoutCallback callback) {
    AddTimeout(Clock::now() + delay, std::move(callback));
}

int IOEventData::GetFdMax() const { return m_fd_max; }
fd_set* IOEventData::GetFdsRead() { return &m_read; }
fd_set* IOEventData::GetFdsWrite() { return &m_write; }
fd_set* IOEventData::GetFdsError() { return &m_error; }

bool IOEventData::HasTimeout() const { return !m_timeouts.empty(); }

IOEventData::Clock::time_point IOEventData::GetDeadline() const {
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& entry : m_timeouts) earliest = std::min(earliest, entry.deadline);
    return earliest;
}

timeval IOEventData::GetTimeout() const {
    timeval timeout{0, 0};
    if (m_timeouts.empty()) return timeout;
    const auto left = GetDeadline() - Clock::now();
    if (left <= Clock::duration::zero()) return timeout;
    // Rounded up: waking a fraction of a microsecond early would find nothing due.
    const auto micros = std::chrono::ceil<std::chrono::microseconds>(left).count();
    timeout.tv_sec = static_cast<time_t>(micros / 1000000);
    timeout.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    return timeout;
}

void IOEventData::HandleTimeout() {
    const auto now = Clock::now();
    std::vector<Timeout> due;
    auto keep = std::partition(m_timeouts.begin(), m_timeouts.end(),
                               [now](const Timeout& entry) { return entry.deadline > now; });
    std::move(keep, m_timeouts.end(), std::back_inserter(due));
    m_timeouts.erase(keep, m_timeouts.end());
    std::stable_sort(due.begin(), due.end(),
                     [](const Timeout& a, const Timeout& b) { return a.deadline < b.deadline; });
    // Taken out first, so a callback may add timeouts of its own.
    for (auto& entry : due)
        if (entry.callback) entry.callback();
}
