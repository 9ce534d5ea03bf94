// overload_monitor: shows the overload interrupt line (GPIO 208) on the red
// (GPIO 234) and blue (GPIO 235) status LEDs and records the LED state as one
// character in a state file. Holds a wake lock while it runs; ends on SIGHUP,
// SIGABRT or SIGTERM with the signal number as exit status.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diagnostics.h"
#include "gpio.h"
#include "wake_lock.h"

const char* FILEPATH = "/data/local/lumaset/tmp/tmp/overload";
FILE* fp = nullptr;
// Cleared from signal context, so it must be lock-free atomic rather than a plain bool.
std::atomic<bool> monitor_overload{true};

namespace morwick {

class VeskOverloadDetector;

class VeskOverloadDetectorListener {
public:
    virtual ~VeskOverloadDetectorListener() = default;
    // Called on the poll thread once per interrupt event; level true = high.
    virtual void OnVeskOverloadDetectorInterrupt(VeskOverloadDetector* detector, bool level) = 0;
};

class VeskOverloadDetector : public VeskOverloadDetectorListener {
public:
    // Fixed underlying type: callers may pass values outside the four names.
    enum LED_STATE : int {
        LED_OFF = 0,
        LED_RED = 1,
        LED_BLUE = 2,
        LED_PURPLE = 3,
    };

    VeskOverloadDetector();
    ~VeskOverloadDetector() override;

    VeskOverloadDetector(const VeskOverloadDetector&) = delete;
    VeskOverloadDetector& operator=(const VeskOverloadDetector&) = delete;

    void SetListener(VeskOverloadDetectorListener* listener);
    void ThreadInterruptPoll();
    void HandleInterrupt(bool level);
    void OnVeskOverloadDetectorInterrupt(VeskOverloadDetector* detector, bool level) override;
    // Expects m_mutex held by the caller; failures are thrown, never returned.
    Status SetLedState(LED_STATE state);
    LED_STATE GetLedState();

private:
    std::mutex m_mutex;
    // Written under m_mutex, read by GetLedState without it.
    std::atomic<LED_STATE> m_led_state;
    Gpio m_overload_interrupt_gpio;
    Gpio m_overload_led_red_gpio;
    Gpio m_overload_led_blue_gpio;
    std::atomic<bool> m_running;
    std::thread m_thread;
    bool m_thread_started;
    VeskOverloadDetectorListener* m_listener;

    // Failures that recur with every event are logged once, then counted.
    RepeatCounter m_red_failures;
    RepeatCounter m_blue_failures;
    RepeatCounter m_state_file_failures;
    RepeatCounter m_listener_failures;
};

namespace {

constexpr int POLL_TIMEOUT_MS = 10;
// A line whose level cannot be read, or that reports an error without an edge,
// for this long is given up; a shorter fault (a bus glitch) is waited out.
constexpr auto LINE_FAULT_LIMIT = std::chrono::seconds(1);

// What one poll result says about the line.
enum class LineEvent { NONE, LEVEL, UNREADABLE, ERROR_WITHOUT_EDGE };

}  // namespace

VeskOverloadDetector::VeskOverloadDetector()
    : m_led_state(LED_OFF),
      m_overload_interrupt_gpio(208, "in", "both"),
      m_overload_led_red_gpio(234, "out", "none"),
      m_overload_led_blue_gpio(235, "out", "none"),
      m_running(true),
      m_thread(),
      m_thread_started(false),
      m_listener(nullptr) {
    SetListener(this);
}

VeskOverloadDetector::~VeskOverloadDetector() {
    m_running = false;
    if (m_thread.joinable()) m_thread.join();
}

void VeskOverloadDetector::SetListener(VeskOverloadDetectorListener* listener) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listener = listener;
    if (listener != nullptr && !m_thread_started) {
        m_thread = std::thread([this] { ThreadInterruptPoll(); });
        m_thread_started = true;
    }
}

void VeskOverloadDetector::ThreadInterruptPoll() {
    const char* thread_name = "overload_interrupt";
    DIAG_ERRNO(prctl(PR_SET_NAME, thread_name, 0, 0, 0));

    pollfd entry{};
    entry.fd = m_overload_interrupt_gpio.GetInterruptFD();
    entry.events = POLLPRI;

    // Since when the line has been failing without a good read in between.
    bool failing = false;
    std::chrono::steady_clock::time_point failing_since;

    while (m_running) {
        entry.revents = 0;
        const int result = poll(&entry, 1, POLL_TIMEOUT_MS);
        if (result < 0) {
            if (errno == EINTR) continue;
            DIAG_MESSAGE("Error polling overload_interrupt: %m");
            m_running = false;
            return;
        }
        if (result == 0) continue;

        LineEvent event = LineEvent::NONE;
        int read_errno = 0;
        if (entry.revents & POLLPRI) {
            const int level = m_overload_interrupt_gpio.GetValue();
            read_errno = errno;
            // A level that could not be read is no level: the LEDs and the state file
            // keep showing the last one that was.
            if (level < 0) {
                event = LineEvent::UNREADABLE;
            } else {
                event = LineEvent::LEVEL;
                // One failed listener call must not blind the daemon to later overloads.
                try {
                    HandleInterrupt(level != 0);
                } catch (const std::exception& failure) {
                    if (const uint64_t due = m_listener_failures.Count(failure.what()))
                        error("(%d)[%s:%d] %s():\n\tInterrupt listener failed: %s%s",
                              diagnostics::ThreadId(), LUMASET_SOURCE_NAME, __LINE__, __func__,
                              failure.what(), RepeatCounter::Suffix(due).c_str());
                } catch (...) {
                    if (m_listener_failures.Count())
                        DIAG_MESSAGE("Interrupt listener failed with an unknown exception");
                }
            }
        } else if (entry.revents & (POLLERR | POLLHUP)) {
            event = LineEvent::ERROR_WITHOUT_EDGE;
        }
        if (entry.revents & POLLNVAL) {
            DIAG_MESSAGE("Fatal error polling overload_interrupt");
            m_running = false;
            return;
        }
        if (event == LineEvent::LEVEL || event == LineEvent::NONE) {
            failing = false;
            continue;
        }

        // The fault shows at every poll: wait a poll cycle before the next look, and
        // give the line up once it has kept failing for the limit.
        const auto now = std::chrono::steady_clock::now();
        if (!failing) {
            failing = true;
            failing_since = now;
        } else if (now - failing_since >= LINE_FAULT_LIMIT) {
            if (event == LineEvent::UNREADABLE) {
                errno = read_errno;
                DIAG_MESSAGE("Fatal error polling overload_interrupt: its level cannot be read: %m");
            } else {
                DIAG_MESSAGE("Fatal error polling overload_interrupt: it reports an error without an edge");
            }
            m_running = false;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(POLL_TIMEOUT_MS));
    }
}

void VeskOverloadDetector::HandleInterrupt(bool level) {
    VeskOverloadDetectorListener* listener;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        listener = m_listener;
    }
    // Called without the mutex: a listener may take it.
    if (listener != nullptr) listener->OnVeskOverloadDetectorInterrupt(this, level);
}

void VeskOverloadDetector::OnVeskOverloadDetectorInterrupt(VeskOverloadDetector* /*detector*/,
                                                           bool level) {
    std::lock_guard<std::mutex> lock(m_mutex);
    SetLedState(level ? LED_RED : LED_OFF);
}

// Errno diagnostic for a call on the state file; the text also names the path.
#define STATE_FILE_ERROR(call)                                                     \
    diagnostics::CheckErrno(-1, LUMASET_SOURCE_NAME, __LINE__, __func__,           \
                            (std::string(call) + " on " + FILEPATH).c_str(), &m_state_file_failures)

namespace {

// Opens the state file for writing ("w+") only as a regular file at its own path:
// others may write into its folder, and a symlink, FIFO or hard link planted there
// must not make the daemon overwrite what it points at. Nothing is truncated here:
// the new byte overwrites the old one and the rest is cut afterwards, so a daemon
// ended by a signal in the middle leaves the old state or the new one, never none.
FILE* OpenStateFile(const char* path) {
    const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st {};
    int failure = 0;
    if (fstat(fd, &st) < 0)
        failure = errno;
    else if (!S_ISREG(st.st_mode) || st.st_nlink != 1)
        failure = EINVAL;  // something else was put in its place
    FILE* stream = failure ? nullptr : fdopen(fd, "w+");
    if (stream == nullptr) {
        if (!failure) failure = errno;
        close(fd);
        errno = failure;
    }
    return stream;
}

}  // namespace

Status VeskOverloadDetector::SetLedState(LED_STATE state) {
    int red = 0;
    int blue = 0;
    char character = 'o';
    if (state == LED_PURPLE) {
        red = 1;
        blue = 1;
        character = 'p';
    } else if (state == LED_BLUE) {
        blue = 1;
        character = 'b';
    } else if (state == LED_RED) {
        red = 1;
        character = 'r';
    }

    const Status red_status = red ? DIAG_STATUS_COUNTED(m_overload_led_red_gpio.SetValue(1), m_red_failures)
                                  : DIAG_STATUS_COUNTED(m_overload_led_red_gpio.SetValue(0), m_red_failures);
    if (red_status != Status::SUCCESS) throw std::runtime_error("Unable to Set GPIO Value");

    const Status blue_status = blue ? DIAG_STATUS_COUNTED(m_overload_led_blue_gpio.SetValue(1), m_blue_failures)
                                    : DIAG_STATUS_COUNTED(m_overload_led_blue_gpio.SetValue(0), m_blue_failures);
    if (blue_status != Status::SUCCESS) throw std::runtime_error("Unable to Set GPIO Value");

    m_led_state = state;

    // The LEDs already show the state: a state file that cannot be written is
    // reported and skipped, never a reason to fail.
    errno = 0;
    fp = OpenStateFile(FILEPATH);
    if (fp == nullptr) {
        STATE_FILE_ERROR("open(FILEPATH, O_RDWR | O_CREAT | O_NOFOLLOW) as a regular file");
        return Status::SUCCESS;
    }
    errno = 0;
    const char* failed = fputc(character, fp) == EOF         ? "fputc(character, fp)"
                         : fflush(fp) == EOF                 ? "fflush(fp)"
                         : ftruncate(fileno(fp), 1) < 0      ? "ftruncate(fileno(fp), 1)"
                                                             : nullptr;
    if (failed) STATE_FILE_ERROR(failed);
    errno = 0;
    // After a failed write the close fails the same way: that was reported already.
    if (fclose(fp) == EOF && !failed) STATE_FILE_ERROR("fclose(fp)");
    fp = nullptr;
    return Status::SUCCESS;
}

VeskOverloadDetector::LED_STATE VeskOverloadDetector::GetLedState() { return m_led_state; }

}  // namespace morwick

void signal_handler(int signum) {
    monitor_overload = false;
    // _exit is async-signal-safe; exit() is not.
    _exit(signum);
}

int main() {
    signal(SIGABRT, signal_handler);
    signal(SIGTERM, signal_handler);
    signal(SIGHUP, signal_handler);

    try {
        morwick::VeskOverloadDetector detector;
        morwick::WakeLock wake_lock(0x1000001A);
        while (monitor_overload) sleep(1);
    } catch (const std::exception& failure) {
        error("(%d)[%s:%d] %s():\n\tUnable to start the overload detector: %s",
              diagnostics::ThreadId(), LUMASET_SOURCE_NAME, __LINE__, __func__, failure.what());
        return 1;
    } catch (...) {
        DIAG_MESSAGE("Unable to start the overload detector");
        return 1;
    }
    return 0;
}
