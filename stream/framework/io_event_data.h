#pragma once

#include <chrono>
#include <functional>
#include <sys/select.h>
#include <sys/time.h>
#include <vector>

#include "status.h"

// What one select() cycle waits for: three descriptor sets, the highest
// descriptor, and deadlines with the callbacks to run when they are due.
// Components fill it in SetupIOEvents; the loop hands it to select and then
// either to HandleTimeout (select returned 0) or to every component's
// HandleIOEvents (descriptors ready). It lives for one cycle.
class IOEventData {
public:
    using Clock = std::chrono::steady_clock;
    using TimeoutCallback = std::function<void()>;

    IOEventData();
    IOEventData(const IOEventData&) = delete;
    IOEventData& operator=(const IOEventData&) = delete;

    // A descriptor fd_set cannot hold (< 0 or >= FD_SETSIZE) is refused with
    // a logged error and FAILURE_INVALID; the sets stay untouched.
    Status AddReadFd(int fd);
    Status AddWriteFd(int fd);
    Status AddErrorFd(int fd);

    // After select: whether fd is in the corresponding (select-updated) set.
    bool IsReadReady(int fd) const;
    bool IsWriteReady(int fd) const;
    bool IsErrorReady(int fd) const;

    // The callback runs from HandleTimeout once the deadline has passed.
    // An empty callback just bounds the wait.
    void AddTimeout(Clock::time_point deadline, TimeoutCallback callback);
    void AddTimeout(Clock::duration delay, TimeoutCallback callback);

    // -1 when no descriptor was added, so select gets 0.
    int GetFdMax() const;
    fd_set* GetFdsRead();
    fd_set* GetFdsWrite();
    fd_set* GetFdsError();

    bool HasTimeout() const;
    // Time left to the earliest deadline, rounded up to the microsecond and
    // never negative; zero when there is no deadline.
    timeval GetTimeout() const;
    // The earliest deadline; Clock::time_point::max() when there is none.
    Clock::time_point GetDeadline() const;

    // Runs, in deadline order, the callbacks whose deadline has passed; each
    // runs at most once. Safe to call more than once per cycle.
    void HandleTimeout();

private:
    struct Timeout {
        Clock::time_point deadline;
        TimeoutCallback callback;
    };
    Status Add(fd_set& set, int fd, const char* what);
    static bool Fits(int fd);

    fd_set m_read;
    fd_set m_write;
    fd_set m_error;
    int m_fd_max = -1;
    std::vector<Timeout> m_timeouts;
};
